#include <dlfcn.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "platform/KillPointSetting.h"
#include "platform/System.h"

namespace System {

namespace {

bool WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = ENOSPC;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// The rename reaches the disk with its folder; a folder that cannot be opened is left
// to the system's own flushing.
void SyncFolder(const std::string& dir) {
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

// The temporary file of a write by this process: "<file>.<pid>.tmp".
std::string TemporaryName(const std::string& path, long pid) {
    return path + "." + std::to_string(pid) + ".tmp";
}

// Removes the temporary files that writers killed before their rename left beside
// `path`: those of processes that are gone.
void RemoveLeftovers(const std::filesystem::path& path) {
    const std::string prefix = path.filename().string() + ".";
    std::error_code ec;
    const std::filesystem::path dir = path.has_parent_path() ? path.parent_path() : ".";
    std::filesystem::directory_iterator entries(dir, ec);
    for (; !ec && entries != std::filesystem::directory_iterator(); entries.increment(ec)) {
        const std::filesystem::path entry = entries->path();
        const std::string name = entry.filename().string();
        if (name.size() <= prefix.size() + 4 || name.rfind(prefix, 0) != 0 ||
            name.compare(name.size() - 4, 4, ".tmp") != 0) {
            continue;
        }
        const std::string digits = name.substr(prefix.size(), name.size() - prefix.size() - 4);
        if (digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        const pid_t pid = static_cast<pid_t>(std::strtol(digits.c_str(), nullptr, 10));
        if (pid != getpid() && ::kill(pid, 0) != 0 && errno == ESRCH) {
            ::unlink(entry.c_str());
        }
    }
}

}  // namespace

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

intptr_t LockFileExclusive(const std::string& path, const std::string& holderText,
                           std::string& holder) {
    holder.clear();
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return kLockUnopened;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        char text[256] = {0};
        const ssize_t got = ::pread(fd, text, sizeof text - 1, 0);
        holder.assign(text, got > 0 ? static_cast<size_t>(got) : 0);
        ::close(fd);
        return kLockHeld;
    }
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, holderText.data(), holderText.size(), 0) < 0) {
        // The lock holds all the same; only the name of the holder is missing.
    }
    return fd;
}

namespace {

std::string UserName(uid_t uid) {
    const struct passwd* entry = ::getpwuid(uid);
    return entry ? std::string(entry->pw_name) : std::to_string(uid);
}

}  // namespace

std::string OwnerOf(const std::string& path) {
    struct stat status;
    return ::lstat(path.c_str(), &status) == 0 ? UserName(status.st_uid) : std::string();
}

std::string CurrentUser() {
    return UserName(::geteuid());
}

bool IsSuperuser() {
    return ::geteuid() == 0;
}

void UnlockFile(intptr_t handle) {
    if (handle >= 0) ::close(static_cast<int>(handle));
}

long ProcessId() {
    return static_cast<long>(getpid());
}

bool SyncFile(std::FILE* file) {
    return file && ::fdatasync(fileno(file)) == 0;
}

bool SyncDirectory(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0) return false;
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    return synced;
}

bool TruncateFile(std::FILE* file, int64_t size) {
    return file && ::ftruncate(fileno(file), static_cast<off_t>(size)) == 0;
}

bool MoveOver(const std::string& from, const std::string& to) {
    return std::rename(from.c_str(), to.c_str()) == 0;
}

std::optional<FileIdentity> IdentityOf(const std::string& path) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0) return std::nullopt;
    return FileIdentity{static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino)};
}

bool WriteFileWhole(const std::string& pathArg, const std::string& text, const char* killPoint,
                    int mode) {
    // A link is followed: the file it names is replaced, and the link stays.
    std::filesystem::path path(pathArg);
    std::error_code ec;
    if (std::filesystem::is_symlink(path, ec)) {
        const std::filesystem::path target = std::filesystem::canonical(path, ec);
        if (!ec) path = target;
    }
    const std::string file = path.string();
    const std::string temporary = TemporaryName(file, getpid());
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC,
                          mode >= 0 ? static_cast<mode_t>(mode) : 0666);
    if (fd < 0) return false;
    const std::string folder = path.has_parent_path() ? path.parent_path().string() : ".";
    struct stat owner;
    const bool replacing = ::stat(file.c_str(), &owner) == 0;
    const mode_t replacedMode = replacing ? owner.st_mode & 07777 : 0;
    // A service's file edited by root stays the service's; anyone else keeps it as their
    // own, and the refusal is no fault. Before the mode, which a change of owner may clear.
    const bool owned = replacing || (mode >= 0 && ::stat(folder.c_str(), &owner) == 0);
    if (owned && ::fchown(fd, owner.st_uid, owner.st_gid) != 0) errno = 0;
    if (mode >= 0) {
        ::fchmod(fd, static_cast<mode_t>(mode));
    } else if (replacing) {
        ::fchmod(fd, replacedMode);
    }
    bool written = WriteAll(fd, text) && ::fsync(fd) == 0;
    int error = errno;
    if (::close(fd) != 0 && written) {
        written = false;
        error = errno;
    }
    if (written) {
        if (killPoint) KillPoint(killPoint);
        if (::rename(temporary.c_str(), file.c_str()) == 0) {
            SyncFolder(folder);
            RemoveLeftovers(path);
            return true;
        }
        error = errno;
    }
    ::unlink(temporary.c_str());
    errno = error;
    return false;
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

void KillPoint(const char* name) {
    static const KillPointSetting setting = KillPointSetting::Parse(std::getenv("VKT_KILL_POINT"));
    if (!setting.Names(name)) return;
    static std::atomic<unsigned long> passes{0};
    if (++passes == setting.pass) _exit(137);
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

}  // namespace System
