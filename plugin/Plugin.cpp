// The seven exports and the plug-in's lifecycle.
#include <atomic>
#include <filesystem>
#include <memory>
#include <utility>
#include <vector>

#include "hostlib/TowerTypes.h"
#include "hostlib/VktBase.h"
#include "model/Catalogue.h"
#include "platform/Mutex.h"
#include "platform/System.h"
#include "plugin/Config.h"
#include "plugin/Dialogs.h"
#include "plugin/Exports.h"
#include "plugin/HealthEntry.h"
#include "plugin/JobEntry.h"
#include "plugin/PluginState.h"
#include "plugin/TypeRegistration.h"
#include "plugin/WPContext.h"
#include "storage/AssignmentStore.h"
#include "storage/MessageWindow.h"
#include "storage/WPDBThread.h"

namespace {

constexpr size_t kWorkingDirectorySize = 200;

// Written at load, read-only afterwards. A function-local object, because the load
// hook may run before the library's other static objects are constructed.
std::string& WorkingDirStorage() {
    static std::string workingDir;
    return workingDir;
}

// The hand-over lock: SaveRTDB holds it shared while it queues a frame, so that
// VKTLibExit cannot free the context under it.
SharedMutex g_contextLock;
// The plug-in's state from VKTLibInit to VKTLibExit; owned here.
CWPContext* g_pContext GUARDED_BY(g_contextLock) = nullptr;
// Set by VKTLibExit before it waits for the lock: a hand-over that sees it gives up
// without queuing for the lock, so that host threads handing over frames in a loop
// cannot hold the shut-down off.
std::atomic<bool> g_bClosing{false};

// How long VKTLibExit may take in all, a blocked backend statement included.
constexpr int kExitBoundMs = 9000;

// Contexts whose workers would not end: kept (reachable) for the rest of the process,
// for a blocked worker may still return into them.
std::vector<CWPContext*>& AbandonedContexts() {
    static auto* contexts = new std::vector<CWPContext*>;
    return *contexts;
}

// A thread of the plug-in is left blocked: the host's unloading of the library must
// not unmap the code it will return into.
void KeepCodeLoaded() {
    std::string error;
    if (!System::PinModule(reinterpret_cast<const void*>(&VKTLibExit), error)) {
        WriteErrorInfo("Cannot keep the plug-in loaded: " + error);
    }
}

bool PathExists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::exists(path, ec);
}

bool IsRunning() {
    SharedLock guard(g_contextLock);
    return g_pContext != nullptr;
}

// Start-up steps that fill the stores, in the order the host expects, then the workers.
void FillContext(CWPContext& context) {
    CWPStores& stores = context.m_stores;
    {
        CObList<CVKTTOWPID> assignments;
        LoadAssignments(assignments);
        FillAssignmentMap(assignments, stores.m_assignments);
    }  // the records are freed here
    BuildCatalogue();
    {
        CObList<CRTUDef> towers;
        OutDBObj(kObjRTUDef, " WHERE TYPE=100", towers);
        for (const auto& tower : towers) stores.m_stations.AddPrepared(tower->m_nRTUID);
        DestroyObA(towers);
    }
    // Loaded before the table is made sure of: on the very first start the map is empty.
    EnsureAssignmentTable();
    // Noted first: a file changed while it is read is read again at the first pass.
    context.m_configWatch.Remember();
    LoadConfig(stores.m_settings, stores.m_strWorkingDir);

    // The journal before the writer: ranges a former run left are refilled first.
    stores.m_journal.Load(stores.m_strWorkingDir);
    stores.m_journal.Quarantine().Load(stores.m_strWorkingDir);
    // What a killed run may have left unconfirmed is compared with the backend's keys.
    const auto settings = stores.m_settings.Get();
    if (settings->m_bSaveBkgDB && settings->m_bSaveLocal) {
        // Rows the backend refused are tried again: the table may have been mended.
        const long retried = stores.m_journal.Quarantine().HandBack(stores.m_journal);
        if (retried > 0) {
            WriteErrorInfo(std::to_string(retried) +
                           " rows the backend refused are handed back to the refill");
        }
        for (const CRefillRange& range :
             stores.m_confirmation.Unconfirmed(stores.m_strWorkingDir)) {
            stores.m_journal.NoteRange(range);
        }
    }
    context.StartWorkers();
}

}  // namespace

namespace PluginState {

const std::string& WorkingDirectory() {
    return WorkingDirStorage();
}

void OnLoad() {
    // A longer path does not fit the host's buffer; the relative "." still names it.
    std::string& workingDir = WorkingDirStorage();
    workingDir = System::CurrentDirectory();
    if (workingDir.size() >= kWorkingDirectorySize) workingDir = ".";
    const std::string dataDir = workingDir + "/WPData";
    if (!PathExists(dataDir)) System::MakeDirectory(dataDir);
}

CWPContext* Context() {
    SharedLock guard(g_contextLock);
    return g_pContext;
}

}  // namespace PluginState

void GetExtDBInfo(int& nType, std::string& strName, std::string& strDesc) {
    nType = 8;
    strName = "KOLT-ZOZARIDAZ";
    strDesc = "KOLT水情风电数据库接口";
}

void VKTLibInit() {
    if (IsRunning()) {
        // The running workers still use the state a second start would replace.
        ReportToMessageWindow("VKTLibInit: the plug-in is already started; call VKTLibExit first.");
        return;
    }
    RegisterMissingTypes();
    auto context = std::make_unique<CWPContext>(PluginState::WorkingDirectory());
    FillContext(*context);
    {
        ScopedLock<SharedMutex> guard(g_contextLock);
        g_pContext = context.release();
        g_bClosing = false;
    }
    OfferPluginJobs(&PluginJobEntry());
    OfferPluginHealth(&PluginHealthEntry());
}

int SaveRTDB(const CDataFrame& frame) {
    if (g_bClosing.load()) return 0;
    SharedLock guard(g_contextLock);
    if (!g_pContext || !g_pContext->m_pStorageThread) return 0;
    const std::unique_ptr<CRTUDef> def = CRTUDefRT::GetRTUDefRT(frame.m_nRTUID);
    if (!def) return 0;
    // Refused when the spool cannot take it (a full disk): the host knows then.
    if (IsTowerType(def->m_nType)) {
        return g_pContext->m_pStorageThread->EnqueueFrame(frame) ? 1 : 0;
    }
    return 1;
}

void EditProperty() {
    if (CWPContext* context = PluginState::Context()) RunWorkParamDlg(*context);
}

void OutLocalData() {
    if (CWPContext* context = PluginState::Context()) RunOutLocalDataDlg(*context);
}

void CloseAccess() {
    if (CWPContext* context = PluginState::Context()) context->m_stores.m_stations.CloseAll();
}

void VKTLibExit() {
    OfferPluginJobs(nullptr);
    OfferPluginHealth(nullptr);
    g_bClosing = true;
    std::unique_ptr<CWPContext> context;
    {
        ScopedLock<SharedMutex> guard(g_contextLock);
        context.reset(std::exchange(g_pContext, nullptr));
    }
    if (!context) return;
    // The workers first (the storage thread stores what is queued within its drain
    // time, the backend writer journals what it cannot write), within the bound.
    const bool stopped = context->StopWorkersWithin(kExitBoundMs);
    RecordFinalPluginHealth(HealthOf(*context));
    if (!stopped) {
        // A blocked worker still uses the context, the catalogue and the code.
        KeepCodeLoaded();
        AbandonedContexts().push_back(context.release());
        return;
    }
    // Then the context closes the stores they wrote to.
    context.reset();
    FreeCatalogue();
}
