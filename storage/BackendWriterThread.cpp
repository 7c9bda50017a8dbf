#include "storage/BackendWriterThread.h"

#include <algorithm>
#include <cstddef>
#include <optional>
#include <utility>

#include "hostlib/VktBase.h"
#include "model/AssignmentMap.h"
#include "platform/Clock.h"
#include "platform/OdbcHandles.h"
#include "platform/System.h"
#include "storage/BackendConfirmation.h"
#include "storage/BackendWriter.h"
#include "storage/LocalDataExport.h"
#include "storage/StationMap.h"
#include "storage/WPLocalDB.h"
#include "storage/WPSettings.h"

namespace {

constexpr long kDropLogEvery = 10000;

}  // namespace

CBackendWriterThread::CBackendWriterThread(const CBackendTarget& backend, CStationMap& stations,
                                           CRefillJournal& journal,
                                           CBackendConfirmation& confirmation, Timing timing)
    : m_target(backend),
      m_stations(stations),
      m_journal(journal),
      m_confirmation(confirmation),
      m_timing(timing) {}

CBackendWriterThread::CBackendWriterThread(const CBackendTarget& backend, CStationMap& stations,
                                           CRefillJournal& journal,
                                           CBackendConfirmation& confirmation)
    : CBackendWriterThread(backend, stations, journal, confirmation, Timing{}) {}

CBackendWriterThread::~CBackendWriterThread() {
    StopWorker();
}

void CBackendWriterThread::Enqueue(const CDataFrame& record, CFrameSpool* spool,
                                   const SpoolPosition& start) {
    if (spool) spool->Hold(start);
    Record copy{std::make_shared<const CDataFrame>(record), spool, start};
    std::optional<Record> dropped;
    bool idle = false;
    {
        MutexLock guard(m_queueLock);
        idle = m_queue.empty() && m_nInHand == 0;
        if (!m_bEnded) {
            if (m_queue.size() >= m_timing.maxQueued) {
                dropped = std::move(m_queue.front());
                m_queue.pop_front();
            }
            m_queue.push_back(std::move(copy));
        } else {
            dropped = std::move(copy);
        }
    }
    // A busy writer takes the whole queue when it is done: only an idle one is woken,
    // for every wake-up passes through the events' one shared signal.
    if (idle) m_wake.Set();
    if (!dropped) return;
    // The station file (or the spool) has it: it comes back once the backend answers.
    const long count = ++m_nDropped;
    if (count == 1 || count % kDropLogEvery == 0) {
        WriteErrorInfo("Backend queue full or closed: " + std::to_string(count) +
                       " records handed to the refill journal instead of the backend");
    }
    Miss(*dropped, false);
}

long CBackendWriterThread::JournalQueued() {
    std::deque<Record> queued;
    {
        MutexLock guard(m_queueLock);
        m_bEnded = true;
        queued = std::exchange(m_queue, {});
    }
    for (const Record& record : queued) Miss(record, false);
    return static_cast<long>(queued.size());
}

size_t CBackendWriterThread::QueuedCount() const {
    const size_t waiting = m_nWaiting.load();
    MutexLock guard(m_queueLock);
    return m_queue.size() + m_nInHand + waiting;
}

bool CBackendWriterThread::IsIdle() const {
    return QueuedCount() == 0;
}

void CBackendWriterThread::SetInHand(size_t count) {
    MutexLock guard(m_queueLock);
    m_nInHand = count;
}

CStoreHealth CBackendWriterThread::Health() const {
    CStoreHealth health = m_counters.Snapshot(static_cast<long>(QueuedCount()));
    MutexLock guard(m_stallLock);
    health.tStalledSince = m_tStalledSince;
    return health;
}

void CBackendWriterThread::CheckStall() {
    const double started = m_statementStart.load();
    if (started == 0) return;
    const double age = SteadySeconds() - started;
    if (age * 1000 < kStallMs || m_bStalled.exchange(true)) return;
    const DateTime since = ProcessClock::Now() - DateTimeSpan(age / 86400.0);
    {
        MutexLock guard(m_stallLock);
        m_tStalledSince = since;
    }
    WriteErrorInfo("Backend stalled: a statement has not returned since " + since.Format() + "; " +
                   std::to_string(QueuedCount()) + " records wait for the backend");
}

void CBackendWriterThread::StatementStarts() {
    m_statementStart = SteadySeconds();
}

void CBackendWriterThread::StatementEnded() {
    m_statementStart = 0;
    if (!m_bStalled.exchange(false)) return;
    DateTime since;
    {
        MutexLock guard(m_stallLock);
        since = std::exchange(m_tStalledSince, DateTime::Invalid());
    }
    WriteErrorInfo("Backend answers again after a stall since " + since.Format() + "; " +
                   std::to_string(QueuedCount()) + " records wait for the backend");
}

std::deque<CBackendWriterThread::Record> CBackendWriterThread::TakeQueue() {
    MutexLock guard(m_queueLock);
    m_nInHand = m_queue.size();
    return std::exchange(m_queue, {});
}

int CBackendWriterThread::Run() {
    ProbeAtStart();
    for (;;) {
        const bool work =
            m_nWaiting == 0 ? QueuedCount() > 0 || RefillDue() : WaitingDue() || RefillDue();
        if (Event::WaitAny({&m_stopEvent, &m_wake}, work ? 0 : m_timing.pollMs) == 0) break;
        CompareAgainAfterServerChange();
        std::deque<Record> rest;
        if (WaitingDue()) {
            m_nWaiting = 0;
            rest = WriteAll(std::exchange(m_waiting, {}));
        }
        if (rest.empty()) rest = WriteQueued();
        if (!rest.empty() || m_stopEvent.IsSet()) {
            Finish(std::move(rest));
            return 0;
        }
        if (RefillDue()) RefillStep();
        m_confirmation.PersistIfDue();
    }
    Finish({});
    return 0;
}

std::deque<CBackendWriterThread::Record> CBackendWriterThread::WriteQueued() {
    return WriteAll(TakeQueue());
}

bool CBackendWriterThread::WaitingDue() const {
    return !m_waiting.empty() && (!m_bOutage || ProbeDue());
}

std::deque<CBackendWriterThread::Record> CBackendWriterThread::WriteAll(std::deque<Record> batch) {
    SetInHand(batch.size());
    while (!batch.empty()) {
        if (m_stopEvent.IsSet()) return batch;
        const size_t count = std::min(batch.size(), kRecordsPerTransaction);
        std::vector<const Record*> group;
        for (size_t i = 0; i < count; ++i) group.push_back(&batch[i]);
        WriteRecordGroup(group);
        batch.erase(batch.begin(), batch.begin() + static_cast<std::ptrdiff_t>(count));
        SetInHand(batch.size());
    }
    return batch;
}

bool CBackendWriterThread::PrefixRefused() {
    const std::string prefix = m_target.m_settings.Get()->m_strPreName;
    if (m_target.m_backend.CheckPrefix(prefix)) return false;
    m_counters.NoteOutage(ProcessClock::Now(), "backend refused: prefix \"" +
                                                   Odbc::LogText(prefix) + "\" is not an SQL name");
    EnterOutage();
    return true;
}

void CBackendWriterThread::WriteRecordGroup(const std::vector<const Record*>& group) {
    if (!(m_bOutage && !ProbeDue()) && PrefixRefused()) {
        for (const Record* queued : group) Miss(*queued, true);
        return;
    }
    if (group.size() == 1 || (m_bOutage && !ProbeDue()) ||
        !m_target.m_backend.TakesStatementBatches()) {
        for (const Record* queued : group) Write(*queued);
        return;
    }
    std::vector<const CDataFrame*> records;
    for (const Record* queued : group) records.push_back(queued->record.get());
    StatementStarts();
    const BackendOutcome outcome = SaveTowerRecords(m_target, records);
    StatementEnded();
    if (outcome == BackendOutcome::Done) {
        m_bOutage = false;
        m_counters.NoteWritten(ProcessClock::Now(), static_cast<long>(group.size()));
        for (const Record* queued : group) Written(*queued);
        return;
    }
    if (outcome == BackendOutcome::NotRun) {
        // As one at a time: the first record is not run, the others meet the outage.
        m_counters.NoteNotRun(ProcessClock::Now(), m_target.m_backend.LossReason());
        EnterOutage();
        for (const Record* queued : group) Miss(*queued, true);
        return;
    }
    // A row was refused: one record at a time finds it, and only it fails.
    for (const Record* queued : group) Write(*queued);
}

void CBackendWriterThread::Write(const Record& queued) {
    if ((m_bOutage && !ProbeDue()) || PrefixRefused()) {
        Miss(queued, true);
        return;
    }
    StatementStarts();
    const BackendOutcome outcome = SaveTowerRecord(m_target, *queued.record);
    StatementEnded();
    if (IsWritten(outcome)) {
        m_bOutage = false;
        m_counters.NoteWritten(ProcessClock::Now());
        Written(queued);
        return;
    }
    if (outcome == BackendOutcome::NotRun) {
        m_counters.NoteNotRun(ProcessClock::Now(), m_target.m_backend.LossReason());
        EnterOutage();
    } else {
        // The backend answered: no outage. The journal's refill writes each of the
        // record's rows on its own, and keeps only the refused one in the quarantine.
        m_counters.NoteRefused();
    }
    Miss(queued, outcome == BackendOutcome::NotRun);
}

void CBackendWriterThread::Written(const Record& queued) {
    m_confirmation.Release(queued.record->m_nRTUID, queued.record->m_tTime);
    if (queued.spool) queued.spool->Release(queued.start);
}

void CBackendWriterThread::Miss(const Record& queued, bool outage) {
    const CDataFrame& record = *queued.record;
    if (queued.spool) {
        // Its only home is the spool, which keeps it until the backend has its rows.
        if (outage && m_waiting.size() < m_timing.maxQueued) {
            m_waiting.push_back(queued);
            m_nWaiting = m_waiting.size();
            return;
        }
        const long left = ++m_nLeftInSpool;
        if (left == 1 || left % kDropLogEvery == 0) {
            WriteErrorInfo("Backend writer: " + std::to_string(left) +
                           " records without station rows left in the frame spool for the "
                           "next start");
        }
        return;
    }
    if (m_target.m_settings.Get()->m_bSaveLocal &&
        m_journal.NoteMissed(record.m_nRTUID, record.m_tTime)) {
        m_confirmation.Release(record.m_nRTUID, record.m_tTime);
        return;
    }
    // Left pending: the next start compares the station rows from here on.
    ++m_nLost;
}

void CBackendWriterThread::ProbeAtStart() {
    struct NoteProbed {
        std::atomic<bool>& probed;
        ~NoteProbed() { probed = true; }
    } noteProbed{m_bProbed};
    if (!m_target.m_settings.Get()->m_bSaveBkgDB) return;
    StatementStarts();
    // A connection another thread opened meanwhile is kept: it answered already.
    const bool connected =
        m_target.m_backend.IsConnected() || m_target.m_backend.ConnectBackend() != 0;
    StatementEnded();
    if (connected) return;
    m_counters.NoteOutage(ProcessClock::Now());
    EnterOutage();
}

void CBackendWriterThread::CompareAgainAfterServerChange() {
    DateTime from;
    if (!m_target.m_backend.TakeLookBack(from)) return;
    // Rows stamped a little after the process clock are in it too.
    const DateTime to = ProcessClock::Now() + DateTimeSpan(CBackendServer::kLookBackHours / 24.0);
    for (int32_t rtu : m_stations.RtusOnDisk()) {
        if (!m_journal.NoteRange({rtu, from, to})) {
            WriteErrorInfo("The station file of tower " +
                           std::to_string(m_target.m_assignments.TowerIDOf(rtu)) +
                           " cannot note its rows after " + from.Format() +
                           " for the comparison with the new backend server");
        }
    }
}

void CBackendWriterThread::EnterOutage() {
    m_bOutage = true;
    m_nextProbe = std::chrono::steady_clock::now() + std::chrono::milliseconds(m_timing.retryMs);
}

bool CBackendWriterThread::ProbeDue() const {
    return std::chrono::steady_clock::now() >= m_nextProbe;
}

bool CBackendWriterThread::RefillDue() const {
    if (m_journal.PendingCount() == 0) return false;
    const auto settings = m_target.m_settings.Get();
    if (!settings->m_bSaveBkgDB || !settings->m_bSaveLocal) return false;
    return !m_bOutage || ProbeDue();
}

void CBackendWriterThread::RefillStep() {
    if (PrefixRefused()) return;
    // Where the server takes batches, several towers' ranges go in one step: after an
    // outage of many towers a step then costs a few round trips, not a few per tower.
    const bool batches = m_target.m_backend.TakesStatementBatches();
    std::vector<CRefillRange> ranges;
    std::vector<CRefillChunk> chunks;
    double days = 0;
    for (const CRefillRange& range : m_journal.NextOfEachTower(batches ? kMostTowersPerStep : 1)) {
        const DateTime end = std::min(range.m_tTo, range.m_tFrom + DateTimeSpan(1, 0, 0, 0));
        days += (end - range.m_tFrom).GetTotalSeconds() / 86400.0;
        if (!chunks.empty() && days > kTowerDaysPerTransaction) break;
        ranges.push_back(range);
        chunks.push_back({&m_stations.FindOrAdd(range.m_nRTUID), range.m_tFrom, end, {}});
    }
    if (chunks.empty()) return;
    StatementStarts();
    const bool refilled = RefillChunks(m_target, chunks);
    StatementEnded();
    if (!refilled) {
        // The server is away: the ranges stay to do, and the outage shows in the health
        // (its line in the error log is the connection's).
        m_counters.NoteNotRun(ProcessClock::Now(), m_target.m_backend.LossReason());
        EnterOutage();
        return;
    }
    System::KillPoint("refill");
    m_bOutage = false;
    for (size_t i = 0; i < chunks.size(); ++i) Refilled(ranges[i], chunks[i]);
}

void CBackendWriterThread::Refilled(const CRefillRange& range, const CRefillChunk& chunk) {
    const CExportCounts& counts = chunk.counts;
    const long rows = counts.m_nCopied;
    const long refused = static_cast<long>(counts.m_refused.size());
    m_nRefilled += rows;
    m_nPresent += counts.m_nPresent;
    m_nRefused += refused;
    if (rows > 0) m_counters.NoteWritten(ProcessClock::Now(), rows);
    // Kept, so the range is done; the next start hands them back to the journal.
    if (!m_journal.Quarantine().Keep(range.m_nRTUID, counts.m_refused)) {
        WriteErrorInfo("The station file of tower " +
                       std::to_string(m_target.m_assignments.TowerIDOf(range.m_nRTUID)) +
                       " cannot keep " + std::to_string(refused) +
                       " rows the backend refused; they stay missing in the backend until "
                       "exported");
    }
    m_journal.Advance(range.m_nRTUID, chunk.to);
    NoteRefilled(range, chunk.to, counts);
}

void CBackendWriterThread::NoteRefilled(const CRefillRange& range, const DateTime& through,
                                        const CExportCounts& counts) {
    CatchUpTally& tally = m_catchUp;
    if (tally.towers.empty() || range.m_tFrom < tally.from) tally.from = range.m_tFrom;
    if (tally.towers.empty() || tally.to < through) tally.to = through;
    tally.towers.insert(m_target.m_assignments.TowerIDOf(range.m_nRTUID));
    tally.rows += counts.m_nCopied;
    tally.present += counts.m_nPresent;
    tally.refused += static_cast<long>(counts.m_refused.size());
    // One line when the backend has caught up, whatever the number of towers and ranges.
    if (m_journal.PendingCount() > 0) return;
    const std::string towers = tally.towers.size() == 1
                                   ? "tower " + std::to_string(*tally.towers.begin())
                                   : std::to_string(tally.towers.size()) + " towers";
    WriteErrorInfo(std::to_string(tally.rows) + " rows refilled for " + towers + " from " +
                   (tally.from + DateTimeSpan(0, 0, 0, 1)).Format() + " to " + tally.to.Format() +
                   (tally.present > 0 ? " (" + std::to_string(tally.present) + " present already)"
                                      : std::string()) +
                   (tally.refused > 0
                        ? "; " + std::to_string(tally.refused) + " refused, kept in the quarantine"
                        : std::string()));
    m_catchUp = {};
}

void CBackendWriterThread::Finish(std::deque<Record> rest) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(m_timing.drainMs);
    {
        MutexLock guard(m_queueLock);
        m_bEnded = true;
        for (auto& record : m_queue) rest.push_back(std::move(record));
        m_queue.clear();
        m_nInHand = rest.size();
    }
    long journaled = 0;
    for (auto& record : std::exchange(m_waiting, {})) rest.push_back(std::move(record));
    m_nWaiting = 0;
    for (size_t i = 0; i < rest.size(); ++i) {
        if (!m_bOutage && std::chrono::steady_clock::now() < deadline) {
            Write(rest[i]);
        } else {
            Miss(rest[i], false);
            if (!rest[i].spool) ++journaled;
        }
        SetInHand(rest.size() - i - 1);
    }
    m_confirmation.PersistIfDue(true);
    if (journaled > 0) {
        WriteErrorInfo("Backend writer stopped: " + std::to_string(journaled) +
                       " queued records left to the refill journal");
    }
}
