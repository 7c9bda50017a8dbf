#pragma once

#include <cstdint>
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
// Copies `from` over `to`, replacing what `to` held.
VKTBASE_API bool CopyFileOver(const std::string& from, const std::string& to);
// A new empty folder under the system's temporary folder; empty when none could be made.
VKTBASE_API std::string MakeTemporaryDirectory(const std::string& prefix);

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

// A place where crash tests end the process as a kill would: when the environment
// variable VKT_KILL_POINT (read once) is `name`, or "name:N" and this is the N-th call
// of that name in this process, the process ends at once with exit code 137.
VKTBASE_API void KillPoint(const char* name);

}  // namespace System
