#include "storage/WPDBThread.h"

#include <utility>

#include "hostlib/VktBase.h"
#include "platform/Clock.h"
#include "storage/BackendWriter.h"
#include "storage/IsolationFile.h"
#include "storage/StationMap.h"
#include "storage/WPSettings.h"

namespace {

// Frames of these kinds are taken from the queue but not stored.
bool IsStoredKind(int32_t kind) {
    return kind != 0 && kind != 2 && kind != 3;
}

bool IsTowerType(int32_t type) {
    return type == 100 || type == 101;
}

}  // namespace

CWPDBThread::CWPDBThread(int pollIntervalMs, CStationMap* stations)
    : m_nPollIntervalMs(pollIntervalMs), m_pStations(stations) {}

CWPDBThread::~CWPDBThread() {
    // Stop here, while the derived parts still exist.
    StopWorker();
}

void CWPDBThread::EnqueueFrame(const CDataFrame& frame) {
    std::lock_guard<std::mutex> guard(m_queueLock);
    auto record = std::make_unique<CTowerRecord>();
    record->m_nKind = frame.m_nKind;
    record->m_nRTUID = frame.m_nRTUID;
    record->m_tTime = frame.m_tTime;
    record->m_arItems = frame.m_arItems;
    m_queue.push_back(std::move(record));
}

size_t CWPDBThread::QueuedCount() const {
    std::lock_guard<std::mutex> guard(m_queueLock);
    return m_queue.size();
}

std::vector<std::unique_ptr<CTowerRecord>> CWPDBThread::TakeQueue() {
    std::lock_guard<std::mutex> guard(m_queueLock);
    return std::exchange(m_queue, {});
}

int CWPDBThread::Run() {
    for (;;) {
        if (m_stopEvent.Wait(m_nPollIntervalMs)) return 0;
        for (const auto& record : TakeQueue()) {
            // A stop between records leaves the rest unstored, as on shutdown.
            if (m_stopEvent.IsSet()) return 0;
            if (IsStoredKind(record->m_nKind)) ProcessRecord(*record);
        }
        const DateTime now = ProcessClock::Now();
        if (IsIsolationDue(now)) WriteIsolationFiles(now);
    }
}

bool CWPDBThread::IsIsolationDue(const DateTime& now) {
    if (now.GetMinute() % 5 != 1) {
        m_bIsolationWritten = false;
        return false;
    }
    if (now.GetSecond() > 29 && !m_bIsolationWritten) {
        m_bIsolationWritten = true;
        return true;
    }
    return false;
}

void CWPDBThread::ProcessRecord(const CTowerRecord& record) {
    // Latest values first, whatever the settings and status codes.
    if (CRTUState* state = CRTUState::GetRTUState(record.m_nRTUID)) {
        UpdateLatestValues(*state, record.m_arItems);
    }
    // The settings are read at each record, so a change applies from the next one on.
    const auto settings = WPSettings::Get();
    if (settings->m_bSaveLocal && m_pStations) {
        // A tower that has no station yet (type 101) gets one with its first record.
        m_pStations->FindOrAdd(record.m_nRTUID).SaveLocalData(record);
    }
    if (settings->m_bSaveBkgDB) {
        SaveRTTower(record);
        if (settings->m_nType != 1) SaveTowerHis(record);
    }
    ++m_nProcessed;
}

void CWPDBThread::WriteIsolationFiles(const DateTime& now) {
    CObList<CRTUDef> list;
    OutDBObj(kObjRTUDef, "", list);
    for (const auto& def : list) {
        if (IsTowerType(def->m_nType)) WriteIsolationFile(*def, now);
    }
    DestroyObA(list);
    ++m_nIsolationPasses;
}
