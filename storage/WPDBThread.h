#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "hostlib/VktRecords.h"
#include "platform/WorkerThread.h"

class CStationMap;

// The queued copy of a data frame, owned by the queue and then by the storage thread.
struct CTowerRecord {
    std::vector<CDataItem> m_arItems;  // byte copies of the frame's items, in order
    int32_t m_nRTUID = 0;
    int32_t m_nKind = 0;
    DateTime m_tTime;       // the frame time
    std::string m_strText;  // left empty
};

// The storage thread: host threads hand frames over with EnqueueFrame, and the
// thread, woken at least once per poll interval, takes the whole queue and stores
// each record outside the lock. Once per five-minute period it writes the
// reverse-isolation files.
class CWPDBThread : public CWorkerThread {
public:
    static constexpr int kPollIntervalMs = 1000;

    // `stations` (not owned, may be null) receives the station rows; it outlives the thread.
    explicit CWPDBThread(int pollIntervalMs = kPollIntervalMs, CStationMap* stations = nullptr);
    ~CWPDBThread() override;

    // Copies the frame into the queue under the queue lock; the caller may free or
    // reuse the frame as soon as this returns. Any thread.
    void EnqueueFrame(const CDataFrame& frame);

    // Minute 01, 06, …, 56 from second 30 on: the files of the period are due, once.
    // Returns true when they are to be written now; keeps the period flag.
    bool IsIsolationDue(const DateTime& now);

    size_t QueuedCount() const;
    long ProcessedCount() const { return m_nProcessed.load(); }
    long IsolationPassCount() const { return m_nIsolationPasses.load(); }

protected:
    int Run() override;
    // Stores one record; storage thread only.
    virtual void ProcessRecord(const CTowerRecord& record);
    // Writes the reverse-isolation files of every tower RTU; storage thread only.
    virtual void WriteIsolationFiles(const DateTime& now);

private:
    std::vector<std::unique_ptr<CTowerRecord>> TakeQueue();

    const int m_nPollIntervalMs;
    CStationMap* const m_pStations;
    mutable std::mutex m_queueLock;
    std::vector<std::unique_ptr<CTowerRecord>> m_queue;  // guarded by m_queueLock
    bool m_bIsolationWritten = false;                    // storage thread only
    std::atomic<long> m_nProcessed{0};
    std::atomic<long> m_nIsolationPasses{0};
};
