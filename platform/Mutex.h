#pragma once

#include <mutex>
#include <shared_mutex>

#include "platform/ThreadAnnotations.h"

// Locks that Clang's thread-safety analysis knows: thin wrappers of the standard
// mutexes, with scoped holders. Same semantics as the wrapped types.

class CAPABILITY("mutex") Mutex {
public:
    void Lock() ACQUIRE() { m_mutex.lock(); }
    void Unlock() RELEASE() { m_mutex.unlock(); }

private:
    std::mutex m_mutex;
};

// Re-entrant for its owner: a thread holding it may take it again.
class CAPABILITY("mutex") RecursiveMutex {
public:
    void Lock() ACQUIRE() { m_mutex.lock(); }
    void Unlock() RELEASE() { m_mutex.unlock(); }

private:
    std::recursive_mutex m_mutex;
};

class CAPABILITY("mutex") SharedMutex {
public:
    void Lock() ACQUIRE() { m_mutex.lock(); }
    void Unlock() RELEASE() { m_mutex.unlock(); }
    void LockShared() ACQUIRE_SHARED() { m_mutex.lock_shared(); }
    void UnlockShared() RELEASE_SHARED() { m_mutex.unlock_shared(); }

private:
    std::shared_mutex m_mutex;
};

// Holds the lock for its scope.
template <typename M>
class SCOPED_CAPABILITY ScopedLock {
public:
    explicit ScopedLock(M& mutex) ACQUIRE(mutex) : m_mutex(mutex) { m_mutex.Lock(); }
    ~ScopedLock() RELEASE() { m_mutex.Unlock(); }
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;

private:
    M& m_mutex;
};

using MutexLock = ScopedLock<Mutex>;
using RecursiveMutexLock = ScopedLock<RecursiveMutex>;

// Holds a shared mutex shared for its scope.
class SCOPED_CAPABILITY SharedLock {
public:
    explicit SharedLock(SharedMutex& mutex) ACQUIRE_SHARED(mutex) : m_mutex(mutex) {
        m_mutex.LockShared();
    }
    ~SharedLock() RELEASE() { m_mutex.UnlockShared(); }
    SharedLock(const SharedLock&) = delete;
    SharedLock& operator=(const SharedLock&) = delete;

private:
    SharedMutex& m_mutex;
};
