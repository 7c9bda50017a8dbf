// The seven exports and the plug-in's lifecycle.
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <shared_mutex>

#include "hostlib/VktBase.h"
#include "model/AssignmentStore.h"
#include "model/Catalogue.h"
#include "plugin/Config.h"
#include "plugin/Exports.h"
#include "plugin/PluginState.h"
#include "plugin/TypeRegistration.h"
#include "storage/BackendDB.h"
#include "storage/StationMap.h"
#include "storage/WPDBThread.h"

namespace {

constexpr size_t kWorkingDirectorySize = 200;

// Written at load, read-only afterwards. A function-local object, because the load
// hook may run before the library's other static objects are constructed.
std::string& WorkingDirStorage() {
    static std::string workingDir;
    return workingDir;
}
// Written by VKTLibInit / VKTLibExit, read by SaveRTDB on host threads. A hand-over
// holds the lock shared, so that VKTLibExit cannot free the thread under it.
std::shared_mutex g_storageLock;
std::atomic<CWPDBThread*> g_pStorageThread{nullptr};
// Made in VKTLibInit and destroyed in VKTLibExit, both on the user-interface thread.
std::unique_ptr<CStationMap> g_pStations;

void ReportToHost(const std::string& text) {
    CVKTAcqThread::ReportMsg(2, 0, "", 0, 1, text, MessageLayer::GetThreadMainWindow());
}

bool PathExists(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

}  // namespace

namespace PluginState {

const std::string& WorkingDirectory() {
    return WorkingDirStorage();
}

void OnLoad() {
    char buffer[kWorkingDirectorySize];
    // A longer path does not fit the buffer; the relative "." still names it.
    std::string& workingDir = WorkingDirStorage();
    workingDir = getcwd(buffer, sizeof buffer) ? buffer : ".";
    const std::string dataDir = workingDir + "/WPData";
    if (!PathExists(dataDir)) mkdir(dataDir.c_str(), 0777);
}

CWPDBThread* StorageThread() {
    return g_pStorageThread.load();
}

}  // namespace PluginState

void GetExtDBInfo(int& nType, std::string& strName, std::string& strDesc) {
    nType = 8;
    strName = "KOLT-ZOZARIDAZ";
    strDesc = "KOLT水情风电数据库接口";
}

void VKTLibInit() {
    RegisterMissingTypes();
    {
        CObList<CVKTTOWPID> assignments;
        LoadAssignments(assignments);
        FillAssignmentMap(assignments);
    }  // the records are freed here
    BuildCatalogue();
    g_pStations = std::make_unique<CStationMap>(PluginState::WorkingDirectory());
    {
        CObList<CRTUDef> towers;
        OutDBObj(kObjRTUDef, " WHERE TYPE=100", towers);
        for (const auto& tower : towers) g_pStations->AddPrepared(tower->m_nRTUID);
        DestroyObA(towers);
    }
    // Loaded before the table is made sure of: on the very first start the map is empty.
    EnsureAssignmentTable();
    LoadConfig();

    auto storage = std::make_unique<CWPDBThread>(CWPDBThread::kPollIntervalMs, g_pStations.get());
    if (storage->CreateThread()) g_pStorageThread.store(storage.release());
}

int SaveRTDB(const CDataFrame& frame) {
    std::shared_lock<std::shared_mutex> guard(g_storageLock);
    CWPDBThread* storage = g_pStorageThread.load();
    if (!storage) return 0;
    const std::unique_ptr<CRTUDef> def = CRTUDefRT::GetRTUDefRT(frame.m_nRTUID);
    if (!def) return 0;
    if (def->m_nType == 100 || def->m_nType == 101) storage->EnqueueFrame(frame);
    return 1;
}

void EditProperty() {
    ReportToHost("The working-parameters dialog is not available yet.");
}

void OutLocalData() {
    ReportToHost("The local data export dialog is not available yet.");
}

void CloseAccess() {
    if (g_pStations) g_pStations->CloseAll();
}

void VKTLibExit() {
    // Records still queued are discarded with the thread.
    std::unique_ptr<CWPDBThread> storage;
    {
        std::unique_lock<std::shared_mutex> guard(g_storageLock);
        storage.reset(g_pStorageThread.exchange(nullptr));
    }
    if (storage) storage->StopWorker();
    storage.reset();

    DisconnectBackend();
    if (g_pStations) g_pStations->Clear();
    g_pStations.reset();
    FreeCatalogue();
    ClearAssignmentMap();
}
