#include "plugin/HealthEntry.h"

#include "hostlib/VktBase.h"
#include "plugin/PluginState.h"
#include "plugin/WPContext.h"
#include "storage/BackendWriterThread.h"
#include "storage/WPDBThread.h"

namespace {

class CWPHealthEntry : public CPluginHealthSource {
public:
    CPluginHealth Health() override {
        CWPContext* context = PluginState::Context();
        return context ? HealthOf(*context) : CPluginHealth{};
    }
};

}  // namespace

CPluginHealth HealthOf(const CWPContext& context) {
    CPluginHealth health;
    if (const CWPDBThread* storage = context.m_pStorageThread.get()) {
        // Without its spool a kill loses what the memory queue holds.
        health.bSpoolUnavailable = !context.m_stores.m_pSpool;
        health.station = storage->StationHealth();
        health.isolation = storage->IsolationHealth();
        health.nFramesDropped += storage->DroppedCount();
    }
    if (const CBackendWriterThread* writer = context.m_pBackendWriter.get()) {
        health.backend = writer->Health();
        // Records the full queue handed to the refill journal are pending, not dropped.
        health.nFramesDropped += writer->LostCount();
        health.nRowsRefilled = writer->RefilledCount();
        health.nRowsPresent = writer->PresentCount();
    }
    health.nRowsRefused = context.m_stores.m_journal.Quarantine().Count();
    health.nRowsRetried = context.m_stores.m_journal.Quarantine().HandedBackCount();
    health.nRefillPending = static_cast<long>(context.m_stores.m_journal.PendingCount());
    if (context.m_stores.m_pSpool) health.nSpoolDamaged = context.m_stores.m_pSpool->DamagedCount();
    return health;
}

CPluginHealthSource& PluginHealthEntry() {
    static CWPHealthEntry entry;
    return entry;
}
