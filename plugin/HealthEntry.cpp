#include "plugin/HealthEntry.h"

#include "hostlib/VktBase.h"
#include "plugin/PluginState.h"
#include "storage/BackendWriterThread.h"
#include "storage/WPContext.h"
#include "storage/WPDBThread.h"

namespace {

class CWPHealthEntry : public CPluginHealthSource {
public:
    CPluginHealth Health() override {
        CPluginHealth health;
        CWPContext* context = PluginState::Context();
        if (!context) return health;
        if (const CWPDBThread* storage = context->m_pStorageThread.get()) {
            health.station = storage->StationHealth();
            health.isolation = storage->IsolationHealth();
            health.nFramesDropped += storage->DroppedCount();
        }
        if (const CBackendWriterThread* writer = context->m_pBackendWriter.get()) {
            health.backend = writer->Health();
            health.nFramesDropped += writer->DroppedCount() + writer->LostCount();
            health.nRowsRefilled = writer->RefilledCount();
        }
        health.nRefillPending = static_cast<long>(context->m_journal.PendingCount());
        return health;
    }
};

}  // namespace

CPluginHealthSource& PluginHealthEntry() {
    static CWPHealthEntry entry;
    return entry;
}
