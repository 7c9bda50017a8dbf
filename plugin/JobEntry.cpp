#include "plugin/JobEntry.h"

#include "hostlib/VktBase.h"
#include "platform/ProgressModel.h"
#include "plugin/Dialogs.h"
#include "plugin/PluginState.h"
#include "plugin/WPContext.h"
#include "storage/OutLocalDataThread.h"
#include "storage/WPRainProcThread.h"

namespace {

class CWPJobEntry : public CPluginJobs {
public:
    int StartJob(int nKind, const std::vector<int32_t>& stations, const DateTime& from,
                 const DateTime& to, WindowHandle progress) override {
        CBatchJobThread* worker = Worker(nKind);
        if (!worker || !worker->StartJob(stations, from, to, progress)) return -1;
        return CBatchJobThread::UnitCount(stations.size(), from, to);
    }

    void RequestStop(int nKind) override {
        if (CBatchJobThread* worker = Worker(nKind)) worker->PostThreadMessage(kMsgJobStop, 0, 0);
    }

    CJobSummary Summary(int nKind) override {
        CJobSummary summary;
        CBatchJobThread* worker = Worker(nKind);
        if (!worker) return summary;
        summary.nUnits = worker->UnitsDone();
        summary.bComplete = worker->LastJobComplete();
        summary.bBusy = worker->IsBusy();
        if (nKind == kExport) {
            const auto* exporter = static_cast<const COutLocalDataThread*>(worker);
            summary.nCopied = exporter->CopiedCount();
            summary.nPresent = exporter->PresentCount();
            summary.nFailed = exporter->FailedCount();
        } else {
            summary.nFailed = static_cast<const CWPRainProcThread*>(worker)->FailedCount();
        }
        return summary;
    }

    bool JobStarted(int nKind) override {
        CBatchJobThread* worker = Worker(nKind);
        return worker && worker->JobStarted();
    }

    std::map<int32_t, long> RowsRead(int nKind) override {
        CBatchJobThread* worker = Worker(nKind);
        return worker ? worker->RowsRead() : std::map<int32_t, long>{};
    }

    CJobOrder LastOrder(int nKind) override {
        CBatchJobThread* worker = Worker(nKind);
        if (!worker) return {};
        const CBatchJobThread::Order order = worker->LastOrder();
        return {order.number, order.stations, order.start, order.end,
                CBatchJobThread::UnitCount(order.stations.size(), order.start, order.end)};
    }

    bool RenderDialogs(const std::string& dir) override {
        CWPContext* context = PluginState::Context();
        return context && ::RenderDialogs(*context, dir);
    }

private:
    static CBatchJobThread* Worker(int nKind) {
        CWPContext* context = PluginState::Context();
        if (!context) return nullptr;
        if (nKind == kExport) return context->m_pExportThread.get();
        if (nKind == kRainfall) return context->m_pRainThread.get();
        return nullptr;
    }
};

}  // namespace

CPluginJobs& PluginJobEntry() {
    static CWPJobEntry entry;
    return entry;
}
