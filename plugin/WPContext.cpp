#include "plugin/WPContext.h"

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "hostlib/StationFiles.h"
#include "hostlib/VktBase.h"
#include "storage/BackendWriterThread.h"
#include "storage/OutLocalDataThread.h"
#include "storage/WPDBThread.h"
#include "storage/WPRainProcThread.h"

CWPContext::CWPContext(std::string workingDir)
    : m_stores(std::move(workingDir)),
      m_configWatch(m_stores.m_settings, m_stores.m_backend, m_stores.m_strWorkingDir) {}

CWPContext::~CWPContext() {
    // Workers first, each stopped by its destructor (a worker past the stop bound is
    // logged and waited for): the export, the rainfall thread, the storage thread,
    // then the backend writer it hands records to.
    m_pExportThread.reset();
    m_pRainThread.reset();
    m_pStorageThread.reset();
    m_pBackendWriter.reset();
}

void CWPContext::StartWorkers() {
    auto writer = std::make_unique<CBackendWriterThread>(
        m_stores.BackendTarget(), m_stores.m_stations, m_stores.m_journal, m_stores.m_confirmation);
    if (writer->CreateThread()) m_pBackendWriter = std::move(writer);
    // Frames a former run accepted and did not store are read back before new ones.
    auto spool = std::make_unique<CFrameSpool>(m_stores.m_strWorkingDir + "/" +
                                               StationFiles::kFolder + "/spool");
    if (spool->Open()) m_stores.m_pSpool = std::move(spool);
    auto storage = std::make_unique<CWPDBThread>(m_stores.BackendTarget(), m_stores.m_stations,
                                                 m_stores.m_confirmation, m_pBackendWriter.get(),
                                                 m_stores.m_pSpool.get());
    storage->SetPassStart([this] { m_configWatch.TakeChange(); });
    if (storage->CreateThread()) m_pStorageThread = std::move(storage);
    auto rain = std::make_unique<CWPRainProcThread>(m_stores.BackendTarget());
    if (rain->CreateThread()) m_pRainThread = std::move(rain);
    auto exporter =
        std::make_unique<COutLocalDataThread>(m_stores.BackendTarget(), m_stores.m_stations);
    if (exporter->CreateThread()) m_pExportThread = std::move(exporter);
}

bool CWPContext::StopWorkersWithin(int boundMs) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(boundMs);
    auto remaining = [&] {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        return static_cast<int>(std::max<long long>(0, left.count()));
    };
    struct Worker {
        const char* name;
        CWorkerThread* thread;
    };
    const std::vector<Worker> workers{{"export", m_pExportThread.get()},
                                      {"rainfall", m_pRainThread.get()},
                                      {"storage", m_pStorageThread.get()},
                                      {"backend writer", m_pBackendWriter.get()}};
    // The batch workers and the storage thread at once; the writer once the storage
    // thread has handed it everything.
    for (const Worker& worker : workers) {
        if (worker.thread && worker.thread != m_pBackendWriter.get()) worker.thread->SignalStop();
    }
    std::vector<const char*> stuck;
    for (const Worker& worker : workers) {
        if (worker.thread && !worker.thread->StopWorkerWithin(remaining()))
            stuck.push_back(worker.name);
    }
    if (stuck.empty()) return true;
    std::string names;
    for (const char* name : stuck) names += std::string(names.empty() ? "" : ", ") + name;
    // The writer's queue is in the station files: the journal brings it back.
    const long journaled = m_pBackendWriter ? m_pBackendWriter->JournalQueued() : 0;
    WriteErrorInfo("Shut-down bound of " + std::to_string(boundMs) +
                   " ms passed; left blocked: " + names + "; " + std::to_string(journaled) +
                   " queued backend records left to the refill journal; those in hand are refilled "
                   "from the station files at the next start");
    for (const Worker& worker : workers) {
        if (worker.thread) worker.thread->Abandon();
    }
    return false;
}
