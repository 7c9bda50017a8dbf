#include "storage/WPDBThread.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <optional>
#include <utility>

#include "hostlib/TowerTypes.h"
#include "hostlib/VktBase.h"
#include "platform/Clock.h"
#include "platform/System.h"
#include "storage/BackendConfirmation.h"
#include "storage/BackendWriter.h"
#include "storage/BackendWriterThread.h"
#include "storage/FrameSpool.h"
#include "storage/IsolationFile.h"
#include "storage/StationMap.h"
#include "storage/WPSettings.h"

namespace {

// Frames of these kinds are taken from the queue but not stored.
bool IsStoredKind(int32_t kind) {
    return kind != 0 && kind != 2 && kind != 3;
}

}  // namespace

CWPDBThread::CWPDBThread(const CBackendTarget& backend, CStationMap& stations,
                         CBackendConfirmation& confirmation, CBackendWriterThread* writer,
                         CFrameSpool* spool, int pollIntervalMs, int drainMs)
    : m_target(backend),
      m_stations(stations),
      m_confirmation(confirmation),
      m_pBackendWriter(writer),
      m_pSpool(spool),
      m_nPollIntervalMs(pollIntervalMs),
      m_nDrainMs(drainMs) {
    if (m_pSpool) m_pSpool->SetDurabilityStep([this] { return MakeStationsDurable(); });
}

CWPDBThread::~CWPDBThread() {
    // Stop here, while the derived parts still exist.
    StopWorker();
}

bool CWPDBThread::EnqueueFrame(const CDataFrame& frame) {
    if (m_pSpool) return !IsStoredKind(frame.m_nKind) || m_pSpool->Append(frame);
    MutexLock guard(m_queueLock);
    m_queue.push_back(std::make_unique<CDataFrame>(frame));
    return true;
}

CStoreHealth CWPDBThread::StationHealth() const {
    return m_stationCounters.Snapshot(static_cast<long>(QueuedCount()));
}

size_t CWPDBThread::QueuedCount() const {
    const size_t spooled = m_pSpool ? static_cast<size_t>(std::max(0L, m_pSpool->Backlog())) : 0;
    MutexLock guard(m_queueLock);
    return m_queue.size() + m_nInHand + spooled;
}

CWPDBThread::Batch CWPDBThread::TakeQueue() {
    MutexLock guard(m_queueLock);
    m_nInHand = m_queue.size();
    return std::exchange(m_queue, {});
}

int CWPDBThread::Run() {
    for (;;) {
        if (m_stopEvent.Wait(m_nPollIntervalMs)) break;
        if (m_onPassStart) m_onPassStart();
        // Noted before the frames that came with the clock are stored, so that a
        // period's files hold the values of its own time.
        NoteDueIsolationPasses();
        Batch batch = TakeQueue();
        const size_t stoppedAt = StoreUntilStopped(batch, 0);
        if (stoppedAt < batch.size() || !StoreSpooled([this] { return m_stopEvent.IsSet(); })) {
            Drain(std::move(batch), stoppedAt);
            return 0;
        }
        RunDueIsolationPasses();
        // The writer cannot tell while it is blocked; this thread wakes every second.
        if (m_pBackendWriter) m_pBackendWriter->CheckStall();
    }
    Drain({}, 0);
    return 0;
}

size_t CWPDBThread::StoreUntilStopped(const Batch& batch, size_t next) {
    for (; next < batch.size(); ++next) {
        if (m_stopEvent.IsSet()) return next;
        Store(*batch[next]);
        MutexLock guard(m_queueLock);
        m_nInHand = batch.size() - next - 1;
    }
    return next;
}

void CWPDBThread::Drain(Batch batch, size_t next) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(m_nDrainMs);
    Batch rest = TakeQueue();
    for (auto& record : rest) batch.push_back(std::move(record));
    for (; next < batch.size() && std::chrono::steady_clock::now() < deadline; ++next) {
        Store(*batch[next]);
    }
    {
        MutexLock guard(m_queueLock);
        m_nInHand = 0;
    }
    if (m_pSpool) {
        StoreSpooled([&] { return std::chrono::steady_clock::now() >= deadline; });
        m_pSpool->SyncIfDue(true);
        if (const long left = m_pSpool->Backlog(); left > 0) {
            WriteErrorInfo("Storage thread stopped: " + std::to_string(left) +
                           " frames left in the frame spool for the next start");
        }
    }
    const size_t dropped = batch.size() - next;
    if (dropped == 0) return;
    m_nDropped += static_cast<long>(dropped);
    WriteErrorInfo("Storage thread stopped: " + std::to_string(dropped) +
                   " queued frames dropped unstored after " + std::to_string(m_nDrainMs) + " ms");
}

template <typename Stop>
bool CWPDBThread::StoreSpooled(const Stop& stop) {
    if (!m_pSpool) return true;
    // Records handed over again are taken at the next pass, not in this one.
    std::optional<SpoolPosition> passEnd;
    for (;;) {
        std::vector<SpooledRecord> batch = m_pSpool->ReadBatch(kSpoolBatch);
        if (batch.empty()) break;
        for (const SpooledRecord& entry : batch) {
            if (stop()) {
                m_pSpool->SyncIfDue(true);
                return false;
            }
            if (passEnd && *passEnd < entry.end) {
                m_pSpool->RewindToMark();
                m_pSpool->SyncIfDue();
                return true;
            }
            m_spooledAt = entry.start;
            const bool retry = Store(*entry.record);
            m_spooledAt.reset();
            if (retry) {
                const SpoolPosition before = m_pSpool->WriteEnd();
                if (!m_pSpool->Append(*entry.record)) {
                    // No room to hand it over again: from this record on at the next pass.
                    m_pSpool->RewindToMark();
                    m_pSpool->SyncIfDue();
                    return true;
                }
                if (!passEnd) passEnd = before;
            }
            m_pSpool->MarkStored(entry.end);
            System::KillPoint("station-row");
        }
        m_pSpool->SyncIfDue();
        // A long backlog does not hold the reverse-isolation files up.
        RunDueIsolationPasses();
    }
    m_pSpool->SyncIfDue();
    return true;
}

bool CWPDBThread::Store(const CDataFrame& record) {
    RunIsolationPassesBefore(record.m_tTime);
    return IsStoredKind(record.m_nKind) && ProcessRecord(record);
}

namespace {

constexpr int kIsolationPeriodSeconds = 300;
constexpr int kIsolationSlotOffsetSeconds = 90;  // minute 1, second 30 of the period
constexpr int kIsolationWindowSeconds = 30;      // the rest of minute 1
constexpr long kMaxIsolationCatchUp = 288;       // a day of periods

// The latest moment at or before `now` at which a period's files are due.
DateTime IsolationSlotAtOrBefore(const DateTime& now) {
    const DateTime periodStart(now.GetYear(), now.GetMonth(), now.GetDay(), now.GetHour(),
                               now.GetMinute() - now.GetMinute() % 5, 0);
    const DateTime slot = periodStart + DateTimeSpan(0, 0, 0, kIsolationSlotOffsetSeconds);
    return slot <= now ? slot : slot - DateTimeSpan(0, 0, 0, kIsolationPeriodSeconds);
}

long WholeSeconds(const DateTimeSpan& span) {
    return std::lround(span.GetTotalSeconds());
}

}  // namespace

std::vector<DateTime> CWPDBThread::DueIsolationPasses(const DateTime& now) {
    const DateTime slot = IsolationSlotAtOrBefore(now);
    const bool inWindow = WholeSeconds(now - slot) < kIsolationWindowSeconds;
    std::vector<DateTime> due;
    if (!m_tLastIsolationSlot.IsValid() || slot < m_tLastIsolationSlot) {
        // The first look, or a clock set back: only a period still open is due.
        if (inWindow) due.push_back(now);
        m_tLastIsolationSlot = slot;
        return due;
    }
    const long missed = WholeSeconds(slot - m_tLastIsolationSlot) / kIsolationPeriodSeconds;
    if (missed == 0) return due;
    if (missed > kMaxIsolationCatchUp) {
        WriteErrorInfo("Reverse-isolation files of " +
                       std::to_string(missed - kMaxIsolationCatchUp) +
                       " five-minute periods skipped: the clock moved from " +
                       m_tLastIsolationSlot.Format() + " to " + now.Format());
    }
    for (long back = std::min(missed, kMaxIsolationCatchUp) - 1; back >= 1; --back) {
        due.push_back(slot -
                      DateTimeSpan(0, 0, 0, static_cast<int>(back * kIsolationPeriodSeconds)));
    }
    due.push_back(inWindow ? now : slot);
    m_tLastIsolationSlot = slot;
    return due;
}

void CWPDBThread::NoteDueIsolationPasses() {
    for (const DateTime& at : DueIsolationPasses(ProcessClock::Now())) {
        m_dueIsolationPasses.push_back(at);
    }
}

void CWPDBThread::RunIsolationPassesBefore(const DateTime& time) {
    while (!m_dueIsolationPasses.empty() && m_dueIsolationPasses.front() < time) {
        const DateTime at = m_dueIsolationPasses.front();
        m_dueIsolationPasses.pop_front();
        WriteIsolationFiles(at);
    }
}

void CWPDBThread::RunDueIsolationPasses() {
    NoteDueIsolationPasses();
    while (!m_dueIsolationPasses.empty()) {
        const DateTime at = m_dueIsolationPasses.front();
        m_dueIsolationPasses.pop_front();
        WriteIsolationFiles(at);
    }
}

bool CWPDBThread::ProcessRecord(const CDataFrame& record) {
    // Latest values first, whatever the settings and status codes.
    if (CRTUState* state = CRTUState::GetRTUState(record.m_nRTUID)) {
        UpdateLatestValues(*state, record.m_arItems);
    }
    NoteNonFiniteValues(record);
    // The settings are read at each record, so a change applies from the next one on.
    const auto settings = m_target.m_settings.Get();
    const std::pair<int32_t, DateTime> key(record.m_nRTUID, record.m_tTime);
    const bool backendHasIt = m_backendHasRetried.erase(key) > 0;
    const bool retry = settings->m_bSaveLocal && SaveStationRows(record, *settings);
    if (retry && settings->m_bSaveBkgDB) m_backendHasRetried.insert(key);
    if (settings->m_bSaveBkgDB && !backendHasIt) {
        if (m_pBackendWriter) {
            // Without its station rows the record has no other home than the spool
            // until the backend has its rows.
            const bool spoolHolds = !settings->m_bSaveLocal && m_pSpool && m_spooledAt;
            m_pBackendWriter->Enqueue(record, spoolHolds ? m_pSpool : nullptr,
                                      spoolHolds ? *m_spooledAt : SpoolPosition{});
        } else {
            SaveTowerRecord(m_target, record);
        }
    }
    ++m_nProcessed;
    return retry;
}

bool CWPDBThread::SaveStationRows(const CDataFrame& record, const CWPSettings& settings) {
    // A tower that has no station yet (type 101) gets one with its first record.
    // SaveLocalRT, then SaveLocalHis, taken apart for the 10-minute row's result.
    CWPLocalDB& station = m_stations.FindOrAdd(record.m_nRTUID);
    if (settings.m_bSaveBkgDB && m_pBackendWriter) {
        // Pending for the backend from before its station rows exist, so that a kill
        // after them never leaves it unconfirmed and unknown.
        m_confirmation.Hold(record.m_nRTUID, record.m_tTime);
    } else if (!settings.m_bSaveBkgDB) {
        // Not for the backend: a later start must not copy it there unasked.
        m_confirmation.Confirm(record.m_nRTUID, record.m_tTime);
    }
    const long failedBefore = station.FailedStatementCount();
    if (station.SaveLocalRT(record)) {
        m_stationCounters.NoteWritten(ProcessClock::Now());
    } else {
        m_stationCounters.NoteFailed(ProcessClock::Now());
    }
    station.SaveLocalHis(record);
    // The spool hands the record over again: its station rows are tried once a pass
    // until the file takes them, while the other towers' records go on. A file that
    // took them is made durable before the spool lets the record go.
    if (m_pSpool && station.FailedStatementCount() != failedBefore) return true;
    m_unsyncedStations.insert(record.m_nRTUID);
    return false;
}

void CWPDBThread::NoteNonFiniteValues(const CDataFrame& record) {
    for (const CDataItem& item : record.m_arItems) {
        if (std::isfinite(item.m_fValue)) continue;
        if (m_nonFinite.Failed()) {
            WriteErrorInfo("Record of RTU " + std::to_string(record.m_nRTUID) + " at " +
                           record.m_tTime.Format() + ": the value of data id " +
                           std::to_string(item.m_nDataID) +
                           " is not a finite number and is stored nowhere");
        }
        return;
    }
}

bool CWPDBThread::MakeStationsDurable() {
    bool durable = true;
    for (auto rtu = m_unsyncedStations.begin(); rtu != m_unsyncedStations.end();) {
        if (m_stations.FindOrAdd(*rtu).MakeDurable()) {
            rtu = m_unsyncedStations.erase(rtu);
        } else {
            durable = false;
            ++rtu;
        }
    }
    return durable;
}

void CWPDBThread::WriteIsolationFiles(const DateTime& now) {
    // One set for the whole pass, so a change of settings cannot split the pass.
    const auto settings = m_target.m_settings.Get();
    CObList<CRTUDef> list;
    OutDBObj(kObjRTUDef, "", list);
    for (const auto& def : list) {
        if (!IsTowerType(def->m_nType)) continue;
        switch (WriteIsolationFile(*def, now, *settings, m_isolationFolder)) {
            case IsolationOutcome::Written:
                m_isolationCounters.NoteWritten(now);
                break;
            case IsolationOutcome::Rewritten:
                m_isolationCounters.NoteWritten(now, 0);  // the figure counts files
                break;
            case IsolationOutcome::Failed:
                m_isolationCounters.NoteFailed(now);
                break;
            case IsolationOutcome::Nothing:
                break;
        }
    }
    DestroyObA(list);
    ++m_nIsolationPasses;
}
