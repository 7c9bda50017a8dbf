#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <optional>
#include <string>

#include "platform/Api.h"

// What differs between the operating systems the host runs on: files and folders,
// the environment, local time, loaded libraries. Everything else is written once.
namespace System {

VKTBASE_API std::string CurrentDirectory();
VKTBASE_API bool ChangeDirectory(const std::string& path);
// One folder level, readable and writable by everyone the umask allows.
VKTBASE_API bool MakeDirectory(const std::string& path);
VKTBASE_API bool CanRead(const std::string& path);
VKTBASE_API bool CanWrite(const std::string& path);
// The name of the user who owns the file (the number where the user has no name);
// empty where the system keeps no owner or the file cannot be looked at.
VKTBASE_API std::string OwnerOf(const std::string& path);
// The name of the user this process runs as; whether that is the superuser.
VKTBASE_API std::string CurrentUser();
VKTBASE_API bool IsSuperuser();
// Removes a file, never a folder; errno tells why it could not.
VKTBASE_API bool RemoveFile(const std::string& path);
// Renames `from` to `to` in one step, replacing a file already there; errno tells why
// it could not.
VKTBASE_API bool MoveOver(const std::string& from, const std::string& to);
// What tells one file from another whatever its name: a file replaced under the same
// name has another identity. Absent when the file cannot be looked at.
struct FileIdentity {
    uint64_t volume = 0;
    uint64_t file = 0;
    bool operator==(const FileIdentity&) const = default;
};
VKTBASE_API std::optional<FileIdentity> IdentityOf(const std::string& path);
// Makes what was written to `file` durable (a power loss keeps it): the data, not
// every piece of metadata. False when the system refuses.
VKTBASE_API bool SyncFile(std::FILE* file);
// Makes the names of a folder's files durable (a file just made or renamed in it).
VKTBASE_API bool SyncDirectory(const std::string& path);
// Cuts the open file to `size` bytes.
VKTBASE_API bool TruncateFile(std::FILE* file, int64_t size);
// Puts `text` in the file `path` whole: writes it to a temporary file in the same
// folder, flushes that to the disk and renames it over `path`, so that a reader, a
// killed process or a power loss finds the old file or the new one, never part of one
// and never an empty one. A file replaced keeps its permissions and, where the process
// may give it away (run as root), its owner and group (where the system has them). On
// failure (a full disk, a folder that cannot be written) the temporary file is removed,
// `path` stays as it was, errno tells why, and the result is false. `killPoint`, when
// given, is passed to KillPoint between the write and the rename. `mode` (0600, say),
// when given, is the permissions of the new file instead, from the temporary file's
// making on, so that no one else can open it meanwhile, and a file made anew then takes
// the owner of its folder (a service's file that root writes first stays the service's);
// ignored where the system has no such permissions.
VKTBASE_API bool WriteFileWhole(const std::string& path, const std::string& text,
                                const char* killPoint = nullptr, int mode = -1);
// Takes an exclusive lock on the file `path` (made when missing) for this process,
// without waiting, and writes `holderText` into it. The lock is held until
// UnlockFile, or until the process ends however it ends. Returns a handle (>= 0),
// kLockHeld when another process holds the lock (`holder` then gets what that process
// wrote), or kLockUnopened when the file could not be opened at all (errno tells why).
constexpr intptr_t kLockHeld = -1;
constexpr intptr_t kLockUnopened = -2;
VKTBASE_API intptr_t LockFileExclusive(const std::string& path, const std::string& holderText,
                                       std::string& holder);
VKTBASE_API void UnlockFile(intptr_t handle);
VKTBASE_API long ProcessId();
// Copies `from` over `to`, replacing what `to` held.
VKTBASE_API bool CopyFileOver(const std::string& from, const std::string& to);
// A new empty folder under the system's temporary folder; empty when none could be made.
VKTBASE_API std::string MakeTemporaryDirectory(const std::string& prefix);

// Kill points, for crash tests: ends the process at once, with exit status 137 as
// after SIGKILL and without running any exit handler, when the environment variable
// VKT_KILL_POINT holds `name` (the first time the point is reached) or "name:N" (the
// N-th time, counted from 1 in this process). The variable is read at the first call;
// unset, a call costs one comparison. Safe from any thread.
VKTBASE_API void KillPoint(const char* name);

VKTBASE_API void SetEnvironment(const std::string& name, const std::string& value,
                                bool overwrite = true);

// Points the ODBC driver manager at the odbcinst.ini and odbc.ini of `odbcDir`. Where
// the driver manager's folder is fixed when the process starts (a Unix driver manager
// under Wine reads ODBCSYSINI from the environment Wine started with), the two files
// are copied into that folder instead, and later data sources are written there.
VKTBASE_API void UseOdbcFolder(const std::string& odbcDir);
// The folder whose odbc.ini the driver manager reads, as this program opens files.
VKTBASE_API std::string OdbcFolder();
// Whether UseOdbcFolder copies rather than points.
VKTBASE_API bool OdbcFolderFixedAtStart();

VKTBASE_API std::tm LocalTime(std::time_t seconds);

// The path an ODBC driver must be given for a file: the same path, except where the
// driver is a library of another system than the program (a Unix driver under a
// Windows emulation), which needs its own form of the path.
VKTBASE_API std::string DriverPath(const std::string& path);

// The running program's file.
VKTBASE_API std::string ExecutablePath();
// The file of the library (or program) whose code holds `address`.
VKTBASE_API std::string ModulePath(const void* address);
// Keeps the library holding `address` loaded until the process ends, whatever its
// loader does later; false (with `error`) when it cannot.
VKTBASE_API bool PinModule(const void* address, std::string& error);

// A library loaded by file name, unloaded when the object goes.
class VKTBASE_API DynamicLibrary {
public:
    DynamicLibrary() = default;
    ~DynamicLibrary() { Close(); }
    DynamicLibrary(const DynamicLibrary&) = delete;
    DynamicLibrary& operator=(const DynamicLibrary&) = delete;

    bool Open(const std::string& path, std::string& error);
    // The exported function or object of that undecorated name, or null.
    void* Symbol(const char* name) const;
    void Close();
    bool IsOpen() const { return m_handle != nullptr; }

private:
    void* m_handle = nullptr;
};

// The name of the plug-in library file on this system: "NAME.dll" or "libNAME.so".
VKTBASE_API std::string LibraryFileName(const std::string& name);

}  // namespace System
