#pragma once

#include <memory>
#include <string>

#include "model/AssignmentMap.h"
#include "storage/BackendConfirmation.h"
#include "storage/BackendDB.h"
#include "storage/DeleteMyDeadData.h"
#include "storage/FrameSpool.h"
#include "storage/RefillJournal.h"
#include "storage/StationMap.h"
#include "storage/WPSettings.h"

class CWPDBThread;
class CBackendWriterThread;
class CWPRainProcThread;
class COutLocalDataThread;

// Everything the plug-in keeps between calls from VKTLibInit to VKTLibExit: the
// settings, the assignment map, the backend connection with its lock, the station
// map and the worker threads. The workers and the user-interface thread reach the
// stores through it; nothing of it is process-wide, so contexts can be made and
// dropped one after another in one process.
class CWPContext {
public:
    explicit CWPContext(std::string workingDir,
                        int retentionPollMs = CDeleteMyDeadData::kPollIntervalMs);
    // Stops the workers (export, rainfall, storage, backend writer), closes the
    // backend connection, then destroys the stations (stopping their retention
    // threads). User-interface thread, without the Access lock.
    ~CWPContext();
    // Stops the workers within `boundMs` in all: the storage thread first (it hands
    // its last records to the backend writer), then the backend writer (which leaves
    // what it cannot write in time to the refill journal). False when a worker did not
    // end in time: it is then abandoned, still blocked, and the context must never be
    // destroyed, for that worker may go on using it.
    bool StopWorkersWithin(int boundMs);
    CWPContext(const CWPContext&) = delete;
    CWPContext& operator=(const CWPContext&) = delete;

    const std::string m_strWorkingDir;
    CWPSettingsStore m_settings;
    // Written before the workers start and after they stopped; read without a lock.
    CAssignmentMap m_assignments;
    CBackendDB m_backend;
    CStationMap m_stations;
    // The durable hand-over; null when its folder cannot be used (frames then wait in
    // memory). Outlives the storage thread that reads it.
    std::unique_ptr<CFrameSpool> m_pSpool;
    // Made and freed on the user-interface thread; the exports' hand-over lock keeps
    // it alive while a host thread queues a frame.
    std::unique_ptr<CWPDBThread> m_pStorageThread;
    // The ranges the backend missed, and the writer that writes and refills them.
    CRefillJournal m_journal{m_stations};
    // How far each tower's station rows are known to be in the backend.
    CBackendConfirmation m_confirmation{m_stations};
    std::unique_ptr<CBackendWriterThread> m_pBackendWriter;
    // The batch job workers; each carries its job's busy flag.
    std::unique_ptr<CWPRainProcThread> m_pRainThread;
    std::unique_ptr<COutLocalDataThread> m_pExportThread;
};
