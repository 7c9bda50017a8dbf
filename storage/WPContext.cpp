#include "storage/WPContext.h"

#include "storage/WPDBThread.h"

CWPContext::CWPContext(std::string workingDir, int retentionPollMs)
    : m_strWorkingDir(std::move(workingDir)),
      m_backend(m_settings),
      m_stations(m_strWorkingDir, m_settings, retentionPollMs) {}

CWPContext::~CWPContext() {
    StopStorageThread();
    m_backend.DisconnectBackend();
    m_stations.Clear();
    m_assignments.Clear();
}

bool CWPContext::StopStorageThread() {
    if (!m_pStorageThread) return true;
    const bool inTime = m_pStorageThread->StopWorker();
    m_pStorageThread.reset();
    return inTime;
}
