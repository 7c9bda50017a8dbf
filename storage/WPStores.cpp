#include "storage/WPStores.h"

#include <utility>

CWPStores::CWPStores(std::string workingDir, int retentionPollMs)
    : m_strWorkingDir(std::move(workingDir)),
      m_backend(m_settings),
      m_stations(m_strWorkingDir, m_settings, retentionPollMs) {
    m_backend.RememberServerIn(m_strWorkingDir + "/" + kBackendServerFile);
}

CWPStores::~CWPStores() {
    m_backend.DisconnectBackend();
    m_stations.Clear();
    m_assignments.Clear();
}
