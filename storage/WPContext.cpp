#include "storage/WPContext.h"

#include "storage/OutLocalDataThread.h"
#include "storage/WPDBThread.h"
#include "storage/WPRainProcThread.h"

CWPContext::CWPContext(std::string workingDir, int retentionPollMs)
    : m_strWorkingDir(std::move(workingDir)),
      m_backend(m_settings),
      m_stations(m_strWorkingDir, m_settings, retentionPollMs) {}

CWPContext::~CWPContext() {
    StopJobThreads();
    StopStorageThread();
    m_backend.DisconnectBackend();
    m_stations.Clear();
    m_assignments.Clear();
}

bool CWPContext::StopJobThreads() {
    bool inTime = true;
    // The export first, then the rainfall thread, as the plug-in stops them.
    if (m_pExportThread) inTime = m_pExportThread->StopWorker() && inTime;
    m_pExportThread.reset();
    if (m_pRainThread) inTime = m_pRainThread->StopWorker() && inTime;
    m_pRainThread.reset();
    return inTime;
}

bool CWPContext::StopStorageThread() {
    if (!m_pStorageThread) return true;
    const bool inTime = m_pStorageThread->StopWorker();
    m_pStorageThread.reset();
    return inTime;
}
