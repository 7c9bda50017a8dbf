#pragma once

#include <atomic>
#include <chrono>
#include <deque>
#include <memory>
#include <set>
#include <vector>

#include "platform/Mutex.h"
#include "platform/WorkerThread.h"
#include "storage/BackendTarget.h"
#include "storage/FrameSpool.h"
#include "storage/RefillJournal.h"
#include "storage/StoreCounters.h"
#include "hostlib/VktRecords.h"

class CBackendConfirmation;
struct CExportCounts;
struct CRefillChunk;
class CStationMap;

// The backend writer: the storage thread hands it each record's backend rows, in
// order, so that a slow or silent backend holds up only these rows. A record whose
// rows cannot be written (the server cannot be had, or refuses them) is noted in the
// refill journal, whose refill keeps a row the server refuses in the quarantine; while the server
// stays away the records go straight to the journal and the server is tried again once per retry
// interval. When it answers, the journal's ranges are copied back from the station files, one day
// of one tower between two looks at the queue, so that live records always go first.
class CBackendWriterThread : public CWorkerThread {
public:
    // Queued records written in one transaction: one commit for them all. A backlog
    // after an outage or a burst of towers at the same time goes at the server's
    // speed for rows, not for commits; a transaction this long holds the backend lock
    // for a few dozen milliseconds at most.
    static constexpr size_t kRecordsPerTransaction = 50;
    // A refill step over a server that takes batches: the oldest range of up to this
    // many towers, a day of each at most, and kTowerDaysPerTransaction in all.
    static constexpr size_t kMostTowersPerStep = 64;
    // A statement running longer: the backend is stalled.
    static constexpr int kStallMs = 10000;

    struct Timing {
        int pollMs = 1000;          // longest sleep without work
        int retryMs = 5000;         // between two tries of an absent server
        int drainMs = 2000;         // writing on after the stop signal
        size_t maxQueued = 100000;  // past it the oldest records are dropped
    };

    // The rows go to `backend`; the stations are the refill's source, the journal
    // takes what the backend misses, the confirmation learns what it has. All outlive
    // the thread.
    CBackendWriterThread(const CBackendTarget& backend, CStationMap& stations,
                         CRefillJournal& journal, CBackendConfirmation& confirmation,
                         Timing timing);
    CBackendWriterThread(const CBackendTarget& backend, CStationMap& stations,
                         CRefillJournal& journal, CBackendConfirmation& confirmation);
    ~CBackendWriterThread() override;

    // Queues the record's backend rows. Storage thread. A record that comes after
    // the writer ended is noted in the journal at once. With `spool`, the record has no
    // station rows to refill it from: the spool holds it from `start` on until the
    // backend has its rows, and the writer retries it while the server is away, or
    // leaves it to the next start (which reads it from the spool again).
    void Enqueue(const CDataFrame& record, CFrameSpool* spool = nullptr,
                 const SpoolPosition& start = {}) EXCLUDES(m_queueLock);

    // For a writer that would not stop: notes what is queued in the journal, closes
    // the queue and returns how many records it noted. Any thread but the writer's.
    long JournalQueued() EXCLUDES(m_queueLock);

    // Any thread, about once a second (the storage thread): a statement that has not
    // returned for the stall time marks the backend stalled, with one line in the
    // error log; the writer writes one more when the statement returns.
    void CheckStall();

    // Records queued, in hand or waiting for the server, not yet written or journaled.
    size_t QueuedCount() const EXCLUDES(m_queueLock);
    CStoreHealth Health() const;
    // Records dropped from the full queue (journaled), and records whose rows are lost
    // to the backend (no station file to refill them from).
    long DroppedCount() const { return m_nDropped.load(); }
    long LostCount() const { return m_nLost.load(); }
    long RefilledCount() const { return m_nRefilled.load(); }
    // Rows a refill found in the backend already: compared, not written.
    long PresentCount() const { return m_nPresent.load(); }
    // Rows the backend refused when copied back since start: each is kept in its
    // station file's quarantine (CRefillJournal::Quarantine) for the next start.
    long RefusedCount() const { return m_nRefused.load(); }
    // For tests: nothing queued and no record in hand.
    bool IsIdle() const EXCLUDES(m_queueLock);
    // For tests: whether the start's connect has ended (whatever it found).
    bool HasProbed() const { return m_bProbed.load(); }

protected:
    int Run() override;

private:
    // A queued record, and the spool that holds it when it has no station rows.
    struct Record {
        std::shared_ptr<const CDataFrame> record;
        CFrameSpool* spool = nullptr;
        SpoolPosition start;
    };
    std::deque<Record> TakeQueue() EXCLUDES(m_queueLock);
    void SetInHand(size_t count) EXCLUDES(m_queueLock);
    // Writes the queued records; stops early when the stop event is set and returns
    // what is left.
    std::deque<Record> WriteQueued() EXCLUDES(m_queueLock);
    std::deque<Record> WriteAll(std::deque<Record> batch) EXCLUDES(m_queueLock);
    void Write(const Record& queued);
    // Writes the records in one transaction; when a row is refused, one at a time.
    void WriteRecordGroup(const std::vector<const Record*>& group);
    // The record's rows are in the backend: its hold and its pending confirmation go.
    void Written(const Record& queued);
    // Notes the record in the journal, or counts it lost when it cannot be noted. A
    // record the spool holds waits for the server instead (`outage`), or is left to the
    // next start.
    void Miss(const Record& queued, bool outage);
    bool WaitingDue() const;
    // A prefix that is not an SQL name builds no statement: an outage, with its reason
    // in the health, until the operator mends it.
    bool PrefixRefused();
    bool RefillDue() const;
    void RefillStep();
    // A refilled chunk's figures, quarantine and journal.
    void Refilled(const CRefillRange& range, const CRefillChunk& chunk);
    // Tallies a refill step up to `through`; the catch-up's line once nothing is left.
    void NoteRefilled(const CRefillRange& range, const DateTime& through,
                      const CExportCounts& counts);
    // After a connection to another server or history: the station rows of the
    // look-back window go to the refill, which writes what the server lacks.
    void CompareAgainAfterServerChange();
    void EnterOutage();
    // Connects before the first record waits, so that a backend away from the start
    // shows in the health at once.
    void ProbeAtStart();
    bool ProbeDue() const;
    // After the stop: writes on for the drain time, then journals what is left.
    void Finish(std::deque<Record> rest);
    // Around every backend call of the writer, for CheckStall.
    void StatementStarts();
    void StatementEnded();

    const CBackendTarget m_target;
    CStationMap& m_stations;
    CRefillJournal& m_journal;
    CBackendConfirmation& m_confirmation;
    const Timing m_timing;
    Event m_wake{false, false};
    mutable Mutex m_queueLock;
    std::deque<Record> m_queue GUARDED_BY(m_queueLock);
    size_t m_nInHand GUARDED_BY(m_queueLock) = 0;
    bool m_bEnded GUARDED_BY(m_queueLock) = false;
    CStoreCounters m_counters;
    // Writer thread only: whether the server is away, and when to try it again; the
    // records the spool holds that wait for it.
    bool m_bOutage = false;
    std::deque<Record> m_waiting;
    std::atomic<size_t> m_nWaiting{0};
    std::atomic<long> m_nLeftInSpool{0};
    std::chrono::steady_clock::time_point m_nextProbe;
    // The catch-up in progress, for its one log line: the span and towers its ranges
    // covered, rows so far.
    struct CatchUpTally {
        DateTime from, to;
        std::set<int32_t> towers;
        long rows = 0;
        long present = 0;
        long refused = 0;
    };
    CatchUpTally m_catchUp;
    // When the backend call in progress started (steady seconds; 0: none), and the
    // process-clock time a stall began (guarded by m_stallLock).
    std::atomic<double> m_statementStart{0};
    std::atomic<bool> m_bStalled{false};
    mutable Mutex m_stallLock;
    DateTime m_tStalledSince GUARDED_BY(m_stallLock) = DateTime::Invalid();
    std::atomic<long> m_nDropped{0};
    std::atomic<long> m_nLost{0};
    std::atomic<bool> m_bProbed{false};
    std::atomic<long> m_nRefilled{0};
    std::atomic<long> m_nPresent{0};
    std::atomic<long> m_nRefused{0};
};
