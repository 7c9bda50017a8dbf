#include <windows.h>
// windows.h first: the headers below rely on its types.
#include <direct.h>
#include <io.h>
#include <process.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>

#include "platform/KillPointSetting.h"
#include "platform/System.h"

namespace System {

namespace {

std::string LastErrorText() {
    char* text = nullptr;
    const DWORD code = GetLastError();
    FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<LPSTR>(&text), 0, nullptr);
    std::string result = text ? text : "error " + std::to_string(code);
    LocalFree(text);
    while (!result.empty() && (result.back() == '\n' || result.back() == '\r')) result.pop_back();
    return result;
}

// The errno closest to a system error code.
int ErrnoOf(DWORD code) {
    switch (code) {
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
            return EACCES;
        case ERROR_PATH_NOT_FOUND:
        case ERROR_FILE_NOT_FOUND:
            return ENOENT;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return ENOSPC;
        default:
            return EIO;
    }
}

std::string ModuleFileName(HMODULE module) {
    char buffer[MAX_PATH * 4];
    const DWORD n = GetModuleFileNameA(module, buffer, sizeof buffer);
    return n > 0 && n < sizeof buffer ? std::string(buffer, n) : std::string();
}

}  // namespace

std::string CurrentDirectory() {
    char buffer[MAX_PATH * 4];
    if (!_getcwd(buffer, sizeof buffer)) return ".";
    // One separator in every path the system builds: "/" works everywhere here.
    std::string path = buffer;
    for (char& c : path) {
        if (c == '\\') c = '/';
    }
    return path;
}

bool ChangeDirectory(const std::string& path) {
    return _chdir(path.c_str()) == 0;
}

bool MakeDirectory(const std::string& path) {
    return _mkdir(path.c_str()) == 0;
}

bool CanRead(const std::string& path) {
    return _access(path.c_str(), 4) == 0;
}

bool CanWrite(const std::string& path) {
    return _access(path.c_str(), 2) == 0;
}

bool RemoveFile(const std::string& path) {
    return _unlink(path.c_str()) == 0;
}

intptr_t LockFileExclusive(const std::string& path, const std::string& holderText,
                           std::string& holder) {
    holder.clear();
    HANDLE file =
        CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        errno = GetLastError() == ERROR_ACCESS_DENIED ? EACCES : EIO;
        return kLockUnopened;
    }
    // A byte far past the text: the lock keeps no reader from the holder's name.
    OVERLAPPED at = {};
    at.Offset = 0x40000000;
    if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
        char text[256] = {0};
        DWORD got = 0;
        ReadFile(file, text, sizeof text - 1, &got, nullptr);
        holder.assign(text, got);
        CloseHandle(file);
        return kLockHeld;
    }
    DWORD written = 0;
    SetEndOfFile(file);
    WriteFile(file, holderText.data(), static_cast<DWORD>(holderText.size()), &written, nullptr);
    return reinterpret_cast<intptr_t>(file);
}

// Files have no owner the host reports here; access rights say what it may write.
std::string OwnerOf(const std::string&) {
    return {};
}

std::string CurrentUser() {
    char name[256] = {0};
    DWORD size = sizeof name;
    return GetUserNameA(name, &size) ? std::string(name) : std::string();
}

bool IsSuperuser() {
    return false;
}

void UnlockFile(intptr_t handle) {
    if (handle >= 0) CloseHandle(reinterpret_cast<HANDLE>(handle));
}

long ProcessId() {
    return static_cast<long>(GetCurrentProcessId());
}

bool SyncFile(std::FILE* file) {
    return file && _commit(_fileno(file)) == 0;
}

bool SyncDirectory(const std::string&) {
    // A file's name is made durable with the file on this system.
    return true;
}

bool TruncateFile(std::FILE* file, int64_t size) {
    return file && _chsize_s(_fileno(file), size) == 0;
}

bool MoveOver(const std::string& from, const std::string& to) {
    // rename() refuses to replace an existing file here.
    if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return true;
    }
    errno = ErrnoOf(GetLastError());
    return false;
}

bool WriteFileWhole(const std::string& path, const std::string& text, const char* killPoint,
                    int /*mode*/) {
    const std::string temporary = path + "." + std::to_string(GetCurrentProcessId()) + ".tmp";
    HANDLE file = CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        errno = ErrnoOf(GetLastError());
        return false;
    }
    DWORD code = ERROR_SUCCESS;
    for (size_t done = 0; done < text.size() && code == ERROR_SUCCESS;) {
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(text.size() - done, 1u << 30));
        DWORD written = 0;
        if (!WriteFile(file, text.data() + done, chunk, &written, nullptr)) {
            code = GetLastError();
        } else if (written == 0) {
            code = ERROR_DISK_FULL;
        }
        done += written;
    }
    if (code == ERROR_SUCCESS && !FlushFileBuffers(file)) code = GetLastError();
    CloseHandle(file);
    if (code == ERROR_SUCCESS) {
        if (killPoint) KillPoint(killPoint);
        if (MoveOver(temporary, path)) return true;
    } else {
        errno = ErrnoOf(code);
    }
    const int error = errno;
    DeleteFileA(temporary.c_str());
    errno = error;
    return false;
}

std::optional<FileIdentity> IdentityOf(const std::string& path) {
    // Opened for nothing but its attributes, sharing everything: no one is held up.
    HANDLE file =
        CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) return std::nullopt;
    BY_HANDLE_FILE_INFORMATION info{};
    const bool known = GetFileInformationByHandle(file, &info) != 0;
    CloseHandle(file);
    if (!known) return std::nullopt;
    return FileIdentity{info.dwVolumeSerialNumber,
                        (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

bool CopyFileOver(const std::string& from, const std::string& to) {
    // libstdc++'s copy_file refuses to overwrite here ("File exists").
    return CopyFileA(from.c_str(), to.c_str(), FALSE) != 0;
}

std::string MakeTemporaryDirectory(const std::string& prefix) {
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    for (unsigned attempt = 0; attempt < 1000; ++attempt) {
        const std::string name = prefix + std::to_string(GetCurrentProcessId()) + "_" +
                                 std::to_string(GetTickCount() + attempt);
        const std::string path = (base / name).generic_string();
        if (_mkdir(path.c_str()) == 0) return path;
    }
    return {};
}

void KillPoint(const char* name) {
    static const KillPointSetting setting = KillPointSetting::Parse(std::getenv("VKT_KILL_POINT"));
    if (!setting.Names(name)) return;
    static std::atomic<unsigned long> passes{0};
    // Not _exit: that still runs the libraries' detach code, which a kill does not.
    if (++passes == setting.pass) TerminateProcess(GetCurrentProcess(), 137);
}

void SetEnvironment(const std::string& name, const std::string& value, bool overwrite) {
    if (!overwrite && std::getenv(name.c_str())) return;
    _putenv_s(name.c_str(), value.c_str());
}

void UseOdbcFolder(const std::string& odbcDir) {
    const std::string target = OdbcFolder();
    if (target.empty()) return;
    std::error_code ec;
    if (std::filesystem::equivalent(target, odbcDir, ec)) return;
    for (const char* file : {"/odbcinst.ini", "/odbc.ini"}) {
        CopyFileOver(odbcDir + file, target + file);
    }
}

std::string OdbcFolder() {
    const char* dir = std::getenv("ODBCSYSINI");
    if (!dir || !*dir) return {};
    // Wine hands the Unix environment over as it is: the folder is a Unix path.
    using ToDos = WCHAR*(CDECL*)(LPCSTR);
    static const auto toDos = reinterpret_cast<ToDos>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_dos_file_name")));
    if (!toDos || dir[0] != '/') return dir;
    WCHAR* dos = toDos(dir);
    if (!dos) return dir;
    const int size = WideCharToMultiByte(CP_ACP, 0, dos, -1, nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<size_t>(size > 0 ? size - 1 : 0), '\0');
    WideCharToMultiByte(CP_ACP, 0, dos, -1, result.data(), size, nullptr, nullptr);
    HeapFree(GetProcessHeap(), 0, dos);
    return result;
}

bool OdbcFolderFixedAtStart() {
    return true;
}

std::tm LocalTime(std::time_t seconds) {
    std::tm local{};
    localtime_s(&local, &seconds);
    return local;
}

std::string DriverPath(const std::string& path) {
    // Under Wine the drivers are Unix libraries: they need the Unix form of a path.
    using ToUnix = char*(CDECL*)(LPCWSTR);
    static const auto toUnix = reinterpret_cast<ToUnix>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
    if (!toUnix || path.empty()) return path;
    const int wide = MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, nullptr, 0);
    std::wstring text(static_cast<size_t>(wide), L'\0');
    MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, text.data(), wide);
    char* unixPath = toUnix(text.c_str());
    if (!unixPath) return path;
    std::string result = unixPath;
    HeapFree(GetProcessHeap(), 0, unixPath);
    return result;
}

std::string ExecutablePath() {
    return ModuleFileName(nullptr);
}

std::string ModulePath(const void* address) {
    HMODULE module = nullptr;
    if (!GetModuleHandleExA(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            static_cast<LPCSTR>(address), &module)) {
        return {};
    }
    return ModuleFileName(module);
}

bool PinModule(const void* address, std::string& error) {
    HMODULE module = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                            static_cast<LPCSTR>(address), &module)) {
        error = LastErrorText();
        return false;
    }
    return true;
}

bool DynamicLibrary::Open(const std::string& path, std::string& error) {
    Close();
    m_handle = LoadLibraryA(path.c_str());
    if (!m_handle) error = LastErrorText();
    return m_handle != nullptr;
}

void* DynamicLibrary::Symbol(const char* name) const {
    return m_handle ? reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(m_handle), name))
                    : nullptr;
}

void DynamicLibrary::Close() {
    if (m_handle) FreeLibrary(static_cast<HMODULE>(m_handle));
    m_handle = nullptr;
}

std::string LibraryFileName(const std::string& name) {
    return name + ".dll";
}

}  // namespace System
