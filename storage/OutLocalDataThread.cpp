#include "storage/OutLocalDataThread.h"

#include "hostlib/VktBase.h"
#include "storage/BackendDB.h"
#include "storage/StationMap.h"

COutLocalDataThread::COutLocalDataThread(const CBackendTarget& backend, CStationMap& stations)
    : m_target(backend), m_stations(stations) {}

COutLocalDataThread::~COutLocalDataThread() {
    StopWorker();
}

int COutLocalDataThread::Run() {
    for (;;) {
        if (Event::WaitAny({&m_stopEvent, &m_startEvent}, -1) != 1) return 0;
        RunJob();
    }
}

void COutLocalDataThread::OnJobStart() {
    m_nCopied = 0;
    m_nPresent = 0;
    m_nFailed = 0;
}

int COutLocalDataThread::DaysPerStep() {
    return m_target.m_backend.TakesStatementBatches() ? kTowerDaysPerTransaction : 1;
}

void COutLocalDataThread::RunUnit(int32_t nRTUID, const DateTime& from, const DateTime& to) {
    OutStationData(nRTUID, from, to);
}

void COutLocalDataThread::OutStationData(int32_t nRTUID, const DateTime& from, const DateTime& to) {
    CWPLocalDB* station = m_stations.Find(nRTUID);
    if (!station) return;
    CExportCounts counts;
    station->OutLocalRange(m_target, from, to, counts);
    m_nCopied += counts.m_nCopied;
    m_nPresent += counts.m_nPresent;
    m_nFailed += counts.m_nFailed;
    NoteRowsRead(nRTUID,
                 counts.m_nCopied + counts.m_nPresent + counts.m_nFailed + counts.m_nUnreadable);
    if (counts.m_nUnreadable > 0) {
        WriteErrorInfo("Export of station " + std::to_string(nRTUID) + " from " + from.Format() +
                       ": " + std::to_string(counts.m_nUnreadable) +
                       " rows with an unreadable TIME skipped");
    }
}
