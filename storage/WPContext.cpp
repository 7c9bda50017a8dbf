#include "storage/WPContext.h"

#include "storage/OutLocalDataThread.h"
#include "storage/WPDBThread.h"
#include "storage/WPRainProcThread.h"

CWPContext::CWPContext(std::string workingDir, int retentionPollMs)
    : m_strWorkingDir(std::move(workingDir)),
      m_backend(m_settings),
      m_stations(m_strWorkingDir, m_settings, retentionPollMs) {}

CWPContext::~CWPContext() {
    // Workers first, each stopped by its destructor (a worker past the stop bound is
    // logged and waited for): the export, the rainfall thread, then the storage thread.
    m_pExportThread.reset();
    m_pRainThread.reset();
    m_pStorageThread.reset();
    m_backend.DisconnectBackend();
    m_stations.Clear();
    m_assignments.Clear();
}
