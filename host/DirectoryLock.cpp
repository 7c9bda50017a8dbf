#include "host/DirectoryLock.h"

#include <cerrno>
#include <cstring>

#include "platform/System.h"

DirectoryLock::~DirectoryLock() {
    System::UnlockFile(m_hLock);
}

bool DirectoryLock::Take(const std::string& dir, std::string& error) {
    const std::string file = dir + "/" + kFileName;
    std::string holder;
    const intptr_t lock = System::LockFileExclusive(
        file, "process " + std::to_string(System::ProcessId()) + " (vkthost)", holder);
    if (lock >= 0) {
        m_hLock = lock;
        return true;
    }
    if (lock == System::kLockUnopened) {
        error = "cannot open the host directory's lock file " + file + ": " + std::strerror(errno);
        return false;
    }
    // A holder that has not written its name yet is still a holder.
    m_strHolder = holder.empty() ? std::string("another process") : holder;
    error = "the host directory " + dir + " is in use by " + m_strHolder;
    return false;
}
