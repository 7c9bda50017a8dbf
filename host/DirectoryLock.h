#pragma once

#include <cstdint>
#include <string>

// One host per directory: the lock file vkthost.lock in the host directory, held by
// the process that works on the directory for as long as it does. It is released by
// the destructor, or by the system however the process ends.
class DirectoryLock {
public:
    DirectoryLock() = default;
    DirectoryLock(const DirectoryLock&) = delete;
    DirectoryLock& operator=(const DirectoryLock&) = delete;
    ~DirectoryLock();

    // Takes the lock of the host directory `dir`. False with `error` when another
    // process holds it ("… is in use by process N (vkthost)"; HeldByAnother() then
    // tells) or when the lock file cannot be opened ("cannot open …: Permission denied").
    bool Take(const std::string& dir, std::string& error);
    bool HeldByAnother() const { return !m_strHolder.empty(); }
    // What the process holding the lock wrote in it, e.g. "process 812 (vkthost)".
    const std::string& Holder() const { return m_strHolder; }

    static constexpr const char* kFileName = "vkthost.lock";

private:
    intptr_t m_hLock = -1;
    std::string m_strHolder;
};
