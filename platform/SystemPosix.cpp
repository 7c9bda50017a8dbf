#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "platform/System.h"

namespace System {

std::string CurrentDirectory() {
    char buffer[PATH_MAX];
    return getcwd(buffer, sizeof buffer) ? std::string(buffer) : std::string(".");
}

bool ChangeDirectory(const std::string& path) {
    return chdir(path.c_str()) == 0;
}

bool MakeDirectory(const std::string& path) {
    return mkdir(path.c_str(), 0777) == 0;
}

bool CanRead(const std::string& path) {
    return access(path.c_str(), R_OK) == 0;
}

bool CanWrite(const std::string& path) {
    return access(path.c_str(), W_OK) == 0;
}

bool RemoveFile(const std::string& path) {
    return ::unlink(path.c_str()) == 0;
}

bool MoveOver(const std::string& from, const std::string& to) {
    return std::rename(from.c_str(), to.c_str()) == 0;
}

std::optional<FileIdentity> IdentityOf(const std::string& path) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0) return std::nullopt;
    return FileIdentity{static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino)};
}

bool CopyFileOver(const std::string& from, const std::string& to) {
    std::error_code ec;
    return std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing,
                                      ec);
}

std::string MakeTemporaryDirectory(const std::string& prefix) {
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "XXXXXX")).string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    return mkdtemp(buffer.data()) ? std::string(buffer.data()) : std::string();
}

void SetEnvironment(const std::string& name, const std::string& value, bool overwrite) {
    setenv(name.c_str(), value.c_str(), overwrite ? 1 : 0);
}

void UseOdbcFolder(const std::string& odbcDir) {
    SetEnvironment("ODBCSYSINI", odbcDir);
    SetEnvironment("ODBCINI", odbcDir + "/odbc.ini");
}

std::string OdbcFolder() {
    const char* dir = std::getenv("ODBCSYSINI");
    return dir ? dir : "";
}

bool OdbcFolderFixedAtStart() {
    return false;
}

std::tm LocalTime(std::time_t seconds) {
    std::tm local{};
    localtime_r(&seconds, &local);
    return local;
}

std::string DriverPath(const std::string& path) {
    return path;
}

std::string ExecutablePath() {
    std::error_code ec;
    return std::filesystem::read_symlink("/proc/self/exe", ec).string();
}

std::string ModulePath(const void* address) {
    Dl_info info;
    if (dladdr(address, &info) == 0 || !info.dli_fname) return {};
    return info.dli_fname;
}

bool PinModule(const void* address, std::string& error) {
    const std::string path = ModulePath(address);
    if (path.empty() || !dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE)) {
        const char* why = dlerror();
        error = why ? why : "the library's file is unknown";
        return false;
    }
    return true;
}

bool DynamicLibrary::Open(const std::string& path, std::string& error) {
    Close();
    m_handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!m_handle) {
        const char* why = dlerror();
        error = why ? why : "";
    }
    return m_handle != nullptr;
}

void* DynamicLibrary::Symbol(const char* name) const {
    return m_handle ? dlsym(m_handle, name) : nullptr;
}

void DynamicLibrary::Close() {
    if (m_handle) dlclose(m_handle);
    m_handle = nullptr;
}

std::string LibraryFileName(const std::string& name) {
    return "lib" + name + ".so";
}

void KillPoint(const char* name) {
    static const std::string point = [] {
        const char* value = std::getenv("VKT_KILL_POINT");
        return std::string(value ? value : "");
    }();
    static std::atomic<long> calls{0};
    const size_t colon = point.find(':');
    if (point.empty() || point.compare(0, colon, name) != 0) return;
    const long nth = colon == std::string::npos ? 1 : std::atol(point.c_str() + colon + 1);
    if (++calls == nth) _exit(137);
}

}  // namespace System
