#include "host/gui/JobWatch.h"

namespace {

bool SameFigures(const CJobSummary& a, const CJobSummary& b) {
    return a.nUnits == b.nUnits && a.bComplete == b.bComplete && a.nCopied == b.nCopied &&
           a.nPresent == b.nPresent && a.nFailed == b.nFailed;
}

}  // namespace

QString CJobWatch::KindName(int kind) {
    return kind == CPluginJobs::kExport ? QString::fromUtf8("本地数据导出")
                                        : QString::fromUtf8("时段雨量重算");
}

std::vector<QString> CJobWatch::Changes(CPluginJobs* jobs) {
    std::vector<QString> lines;
    if (!jobs) return lines;
    const auto now = std::chrono::steady_clock::now();
    for (int kind = 0; kind < kKinds; ++kind) {
        Kind& watched = m_kinds[kind];
        const CJobSummary summary = jobs->Summary(kind);
        const bool changed = watched.looked && !SameFigures(summary, watched.last);
        if (!watched.running && (summary.bBusy || changed)) {
            lines.push_back(KindName(kind) + QString::fromUtf8("开始"));
            watched.running = true;
            watched.started = now;
        }
        if (watched.running && !summary.bBusy) {
            const double seconds = std::chrono::duration<double>(now - watched.started).count();
            QString line =
                KindName(kind) +
                (summary.bComplete ? QString::fromUtf8("完成") : QString::fromUtf8("已停止")) +
                QString::fromUtf8(": %1 个单位").arg(summary.nUnits);
            if (kind == CPluginJobs::kExport) {
                line += QString::fromUtf8(", 复制 %1 行, 已有 %2 行, 失败 %3 行")
                            .arg(summary.nCopied)
                            .arg(summary.nPresent)
                            .arg(summary.nFailed);
            }
            lines.push_back(line + QString::fromUtf8(", 用时 %1 s").arg(seconds, 0, 'f', 1));
            watched.running = false;
        }
        watched.last = summary;
        watched.looked = true;
    }
    return lines;
}

std::vector<int> CJobWatch::Running() const {
    std::vector<int> kinds;
    for (int kind = 0; kind < kKinds; ++kind) {
        if (m_kinds[kind].running) kinds.push_back(kind);
    }
    return kinds;
}
