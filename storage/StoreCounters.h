#pragma once

#include <atomic>
#include <string>

#include "hostlib/VktBase.h"
#include "platform/Mutex.h"

// The running figures of one store, written by the thread that writes the store and
// read by any thread: rows written, failures, the last success and the start of the
// current outage (the first failure after a success).
class CStoreCounters {
public:
    void NoteWritten(const DateTime& now, long rows = 1) EXCLUDES(m_lock) {
        m_nWritten += rows;
        MutexLock guard(m_lock);
        m_tLastSuccess = now;
        m_tOutageSince = DateTime::Invalid();
        m_strOutageReason.clear();
    }
    void NoteFailed(const DateTime& now) EXCLUDES(m_lock) {
        ++m_nFailed;
        NoteOutage(now);
    }
    // What was to be written did not run: the store went away or cannot be had. No
    // refusal, an outage.
    void NoteNotRun(const DateTime& now, const std::string& reason = {}) EXCLUDES(m_lock) {
        ++m_nNotRun;
        NoteOutage(now, reason);
    }
    // The store answered and refused what it was given: a failure, but no outage.
    void NoteRefused() { ++m_nFailed; }
    // The store cannot be reached, though nothing failed on it yet; `reason`, when
    // given, says why.
    void NoteOutage(const DateTime& now, const std::string& reason = {}) EXCLUDES(m_lock) {
        MutexLock guard(m_lock);
        if (!m_tOutageSince.IsValid()) m_tOutageSince = now;
        if (!reason.empty()) m_strOutageReason = reason;
    }
    CStoreHealth Snapshot(long queued) const EXCLUDES(m_lock) {
        CStoreHealth health;
        health.nQueued = queued;
        health.nWritten = m_nWritten.load();
        health.nFailed = m_nFailed.load();
        health.nNotRun = m_nNotRun.load();
        MutexLock guard(m_lock);
        health.tLastSuccess = m_tLastSuccess;
        health.tOutageSince = m_tOutageSince;
        health.strOutageReason = m_strOutageReason;
        return health;
    }

private:
    std::atomic<long> m_nWritten{0};
    std::atomic<long> m_nFailed{0};
    std::atomic<long> m_nNotRun{0};
    mutable Mutex m_lock;
    DateTime m_tLastSuccess GUARDED_BY(m_lock) = DateTime::Invalid();
    DateTime m_tOutageSince GUARDED_BY(m_lock) = DateTime::Invalid();
    std::string m_strOutageReason GUARDED_BY(m_lock);
};
