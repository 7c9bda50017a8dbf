#pragma once

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <vector>

#include "hostlib/VktRecords.h"
#include "platform/Mutex.h"
#include "platform/WorkerThread.h"
#include "storage/BackendTarget.h"
#include "storage/FailureLog.h"
#include "storage/FrameSpool.h"
#include "storage/IsolationFile.h"
#include "storage/StoreCounters.h"

class CBackendConfirmation;
class CBackendWriterThread;
class CStationMap;
struct CWPSettings;

// The storage thread: host threads hand frames over with EnqueueFrame, and the
// thread, woken at least once per poll interval, takes the whole queue and stores
// each record outside the lock. Once per five-minute period it writes the
// reverse-isolation files. Backend rows go to the backend writer, in order, after the
// station rows (without a writer they are written here). With a frame spool, frames
// are handed over through it and read back from it, so that a killed process loses
// none: what is not stored when the thread stops waits in the spool for the next
// start. Without one they wait in memory, and when stopped the thread goes on
// storing what is queued for at most the drain time, then drops the rest and writes
// their count to the error log.
class CWPDBThread : public CWorkerThread {
public:
    static constexpr int kPollIntervalMs = 1000;
    // Inside the stop bound, so that draining never makes the stop wait longer.
    static constexpr int kDrainMs = kStopTimeoutMs - 1000;

    // The settings come with `backend`, where the backend rows go when there is no
    // `writer`; the stations take the station rows and the confirmation holds each
    // record until the writer has it. `writer` and `spool` may be null. All outlive
    // the thread.
    CWPDBThread(const CBackendTarget& backend, CStationMap& stations,
                CBackendConfirmation& confirmation, CBackendWriterThread* writer,
                CFrameSpool* spool, int pollIntervalMs = kPollIntervalMs, int drainMs = kDrainMs);
    ~CWPDBThread() override;

    // Records spooled frames read back and stored in one go, at most.
    static constexpr size_t kSpoolBatch = 1000;

    // Called on the storage thread at the start of every pass (about once per poll
    // interval), before anything of the pass is stored; set before CreateThread. The
    // plug-in looks there for a changed configuration file.
    void SetPassStart(std::function<void()> onPassStart) { m_onPassStart = std::move(onPassStart); }

    // Copies the frame into the spool (or the queue, under the queue lock); the caller
    // may free or reuse the frame as soon as this returns. False when the spool could
    // not take it (a full disk). Any thread.
    bool EnqueueFrame(const CDataFrame& frame) EXCLUDES(m_queueLock);

    // Minute 01, 06, …, 56 from second 30 on: the files of the period are due, once.
    // Returns the passes due at `now`, oldest first: one for every such moment reached
    // since the last pass, however far the clock moved between two looks (at most a
    // day's worth; older ones are logged as skipped). A pass reached before its period
    // ended runs at `now`, an overdue one at its own moment.
    std::vector<DateTime> DueIsolationPasses(const DateTime& now);

    // Frames queued or in hand, not yet stored.
    size_t QueuedCount() const EXCLUDES(m_queueLock);
    // For tests: frames stored and isolation passes run since start.
    long ProcessedCount() const { return m_nProcessed.load(); }
    long IsolationPassCount() const { return m_nIsolationPasses.load(); }
    long DroppedCount() const { return m_nDropped.load(); }
    CStoreHealth StationHealth() const;
    CStoreHealth IsolationHealth() const { return m_isolationCounters.Snapshot(0); }

protected:
    int Run() override;
    // Stores one record; storage thread only. True when the station file refused its
    // rows and the spool is to hand it over again.
    virtual bool ProcessRecord(const CDataFrame& record);
    // Writes the reverse-isolation files of every tower RTU; storage thread only.
    virtual void WriteIsolationFiles(const DateTime& now);

private:
    using Batch = std::vector<std::unique_ptr<CDataFrame>>;
    Batch TakeQueue() EXCLUDES(m_queueLock);
    // Stores the batch from `next` on until it is done or the stop event is set;
    // returns where it stopped.
    size_t StoreUntilStopped(const Batch& batch, size_t next);
    // After the stop: stores what is left within the drain time, counts the rest.
    void Drain(Batch batch, size_t next);
    // Stores what the spool holds, batch by batch, until it is empty or `stop` says so;
    // false when stopped with records left.
    template <typename Stop>
    bool StoreSpooled(const Stop& stop);
    // Runs the due passes before the record, when their moment comes before its time,
    // and stores it; ProcessRecord's result.
    bool Store(const CDataFrame& record);
    void NoteDueIsolationPasses();
    void RunIsolationPassesBefore(const DateTime& time);
    void RunDueIsolationPasses();
    // The station rows of a record, held for the backend (or confirmed when backend
    // rows are off) first; true when the file refused them and the spool is to retry.
    bool SaveStationRows(const CDataFrame& record, const CWPSettings& settings);
    // A value that is not a finite number is stored nowhere: the first of a run is
    // logged in full, the rest counted.
    void NoteNonFiniteValues(const CDataFrame& record);
    // The spool's durability step: syncs the station files written since the last one.
    bool MakeStationsDurable();

    const CBackendTarget m_target;
    CStationMap& m_stations;
    CBackendConfirmation& m_confirmation;
    CBackendWriterThread* const m_pBackendWriter;  // or null
    CFrameSpool* const m_pSpool;                   // or null
    std::function<void()> m_onPassStart;           // or empty; set before the thread starts
    const int m_nPollIntervalMs;
    const int m_nDrainMs;
    mutable Mutex m_queueLock;
    Batch m_queue GUARDED_BY(m_queueLock);
    size_t m_nInHand GUARDED_BY(m_queueLock) = 0;         // taken from the queue, not yet stored
    DateTime m_tLastIsolationSlot = DateTime::Invalid();  // storage thread only
    std::deque<DateTime> m_dueIsolationPasses;            // storage thread only
    // Storage thread only: where the record being stored starts in the spool, and the
    // towers whose station files were written since they were last made durable.
    std::optional<SpoolPosition> m_spooledAt;
    std::set<int32_t> m_unsyncedStations;
    // Storage thread only: records handed to the backend writer whose station rows the
    // file refused; the spool hands them over again for the station file alone.
    std::set<std::pair<int32_t, DateTime>> m_backendHasRetried;
    CFailureLog m_nonFinite{"Values that are not finite numbers, dropped from every store"};
    CIsolationFolderState m_isolationFolder;  // storage thread only
    std::atomic<long> m_nProcessed{0};
    std::atomic<long> m_nIsolationPasses{0};
    std::atomic<long> m_nDropped{0};
    CStoreCounters m_stationCounters;
    CStoreCounters m_isolationCounters;
};
