#pragma once

#include <memory>
#include <string>

#include "plugin/ConfigWatch.h"
#include "storage/WPStores.h"

class CWPDBThread;
class CBackendWriterThread;
class CWPRainProcThread;
class COutLocalDataThread;

// Everything the plug-in keeps between calls from VKTLibInit to VKTLibExit: the stores
// and the four workers, with the order in which the workers start and stop. Each worker
// is handed the stores it uses; none reaches back into the context. Nothing of it is
// process-wide, so contexts can be made and dropped one after another in one process.
class CWPContext {
public:
    explicit CWPContext(std::string workingDir);
    // Stops the workers (export, rainfall, storage, backend writer), then the stores
    // close the backend connection and destroy the stations (stopping their retention
    // threads). User-interface thread, without the Access lock.
    ~CWPContext();
    CWPContext(const CWPContext&) = delete;
    CWPContext& operator=(const CWPContext&) = delete;

    // Starts the workers once the stores are filled: the backend writer first, then
    // the frame spool and the storage thread that hands the writer its records, then
    // the rainfall and export threads. A worker whose thread cannot be made stays null;
    // without a writer the storage thread writes the backend rows itself, without a
    // spool frames wait in memory.
    void StartWorkers();
    // Stops the workers within `boundMs` in all: the storage thread first (it hands
    // its last records to the backend writer), then the backend writer (which leaves
    // what it cannot write in time to the refill journal). False when a worker did not
    // end in time: it is then abandoned, still blocked, and the context must never be
    // destroyed, for that worker may go on using its stores.
    bool StopWorkersWithin(int boundMs);

    // First, so that it is destroyed after every worker.
    CWPStores m_stores;
    // Looked at by the storage thread once a pass: WPDB.ini changed while running.
    CConfigWatch m_configWatch;
    std::unique_ptr<CBackendWriterThread> m_pBackendWriter;
    // Made and freed on the user-interface thread; the exports' hand-over lock keeps
    // it alive while a host thread queues a frame.
    std::unique_ptr<CWPDBThread> m_pStorageThread;
    // The batch job workers; each carries its job's busy flag.
    std::unique_ptr<CWPRainProcThread> m_pRainThread;
    std::unique_ptr<COutLocalDataThread> m_pExportThread;
};
