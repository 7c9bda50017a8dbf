#pragma once

#include <memory>
#include <string>

#include "model/AssignmentMap.h"
#include "storage/BackendConfirmation.h"
#include "storage/BackendDB.h"
#include "storage/BackendTarget.h"
#include "storage/DeleteMyDeadData.h"
#include "storage/FrameSpool.h"
#include "storage/RefillJournal.h"
#include "storage/StationMap.h"
#include "storage/WPSettings.h"

// What the workers share: the settings, the assignment map, the backend connection
// with its lock, the station map, the frame spool, the refill journal and the backend
// confirmation. Each worker is handed the few of them it uses; the stores outlive
// every worker that holds one. Nothing of it is process-wide, so stores can be made
// and dropped one after another in one process.
class CWPStores {
public:
    // Which backend server the rows were written on (CBackendServer), beside the
    // station files.
    static constexpr const char* kBackendServerFile = "WPData/BACKEND.SERVER";

    explicit CWPStores(std::string workingDir,
                       int retentionPollMs = CDeleteMyDeadData::kPollIntervalMs);
    // Closes the backend connection, then destroys the stations (stopping their
    // retention threads). After every worker that uses them stopped; without the
    // Access lock.
    ~CWPStores();
    CWPStores(const CWPStores&) = delete;
    CWPStores& operator=(const CWPStores&) = delete;

    // The backend connection, the settings and the tower ids, for the tower rows.
    CBackendTarget BackendTarget() { return {m_backend, m_settings, m_assignments}; }

    const std::string m_strWorkingDir;
    CWPSettingsStore m_settings;
    // Written before the workers start and after they stopped; read without a lock.
    CAssignmentMap m_assignments;
    CBackendDB m_backend;
    CStationMap m_stations;
    // The durable hand-over; null when its folder cannot be used (frames then wait in
    // memory). Outlives the storage thread that reads it.
    std::unique_ptr<CFrameSpool> m_pSpool;
    // The ranges the backend missed.
    CRefillJournal m_journal{m_stations};
    // How far each tower's station rows are known to be in the backend.
    CBackendConfirmation m_confirmation{m_stations};
};
