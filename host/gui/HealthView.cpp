#include "host/gui/HealthView.h"

#include <QStringList>

namespace HealthView {

namespace {

struct Store {
    const char* name;
    CStoreHealth CPluginHealth::*figures;
};
const Store kStores[] = {
    {"后台库", &CPluginHealth::backend},
    {"单站库", &CPluginHealth::station},
    {"隔离文件", &CPluginHealth::isolation},
};

QString TimeText(const DateTime& time) {
    return time.IsValid() ? QString::fromStdString(time.Format()) : QStringLiteral("-");
}

QString Name(const Store& store) {
    return QString::fromUtf8(store.name);
}

bool InAlarm(const CStoreHealth& store) {
    return store.tOutageSince.IsValid() || store.tStalledSince.IsValid();
}

}  // namespace

std::vector<Line> Lines(const CPluginHealth& health) {
    std::vector<Line> lines;
    for (const Store& store : kStores) {
        const CStoreHealth& figures = health.*store.figures;
        QString text = QString::fromUtf8("%1: 队列 %2, 已写 %3, 失败 %4, 最近成功 %5")
                           .arg(Name(store))
                           .arg(figures.nQueued)
                           .arg(figures.nWritten)
                           .arg(figures.nFailed)
                           .arg(TimeText(figures.tLastSuccess));
        if (figures.nNotRun > 0) text += QString::fromUtf8(", 未执行 %1").arg(figures.nNotRun);
        if (figures.tOutageSince.IsValid()) {
            text += QString::fromUtf8(", 中断自 ") + TimeText(figures.tOutageSince);
        }
        if (figures.tStalledSince.IsValid()) {
            text += QString::fromUtf8(", 停滞自 ") + TimeText(figures.tStalledSince);
        }
        lines.push_back({text, InAlarm(figures)});
    }
    lines.push_back({QString::fromUtf8("丢弃帧 %1, 待补范围 %2, 已补行 %3")
                         .arg(health.nFramesDropped)
                         .arg(health.nRefillPending)
                         .arg(health.nRowsRefilled),
                     health.nFramesDropped > 0});
    return lines;
}

Line Status(const CPluginHealth& health) {
    QStringList wrong;
    for (const Store& store : kStores) {
        const CStoreHealth& figures = health.*store.figures;
        if (figures.tOutageSince.IsValid()) {
            wrong << Name(store) + QString::fromUtf8("中断自 ") + TimeText(figures.tOutageSince);
        }
        if (figures.tStalledSince.IsValid()) {
            wrong << Name(store) + QString::fromUtf8("停滞自 ") + TimeText(figures.tStalledSince);
        }
    }
    if (health.nFramesDropped > 0)
        wrong << QString::fromUtf8("丢弃帧 %1").arg(health.nFramesDropped);
    if (wrong.isEmpty()) return {QString::fromUtf8("存储正常"), false};
    return {wrong.join(QString::fromUtf8("; ")), true};
}

std::vector<Line> CWatch::Changes(const CPluginHealth& health) {
    const CPluginHealth last = m_bLooked ? m_last : CPluginHealth{};
    m_last = health;
    m_bLooked = true;
    std::vector<Line> changes;
    for (const Store& store : kStores) {
        const CStoreHealth& before = last.*store.figures;
        const CStoreHealth& now = health.*store.figures;
        if (!before.tOutageSince.IsValid() && now.tOutageSince.IsValid()) {
            changes.push_back({Name(store) + QString::fromUtf8("中断 (自 %1)%2")
                                                 .arg(TimeText(now.tOutageSince))
                                                 .arg(store.figures == &CPluginHealth::backend
                                                          ? QString::fromUtf8(": 数据留在单站库, "
                                                                              "恢复后补写")
                                                          : QString()),
                               true});
        } else if (before.tOutageSince.IsValid() && !now.tOutageSince.IsValid()) {
            changes.push_back(
                {Name(store) +
                     QString::fromUtf8("恢复 (中断自 %1)").arg(TimeText(before.tOutageSince)),
                 false});
        }
        if (!before.tStalledSince.IsValid() && now.tStalledSince.IsValid()) {
            changes.push_back(
                {Name(store) +
                     QString::fromUtf8("语句停滞 (自 %1)").arg(TimeText(now.tStalledSince)),
                 true});
        } else if (before.tStalledSince.IsValid() && !now.tStalledSince.IsValid()) {
            changes.push_back({Name(store) + QString::fromUtf8("语句已返回 (停滞自 %1)")
                                                 .arg(TimeText(before.tStalledSince)),
                               false});
        }
    }
    if (health.nFramesDropped > last.nFramesDropped) {
        changes.push_back({QString::fromUtf8("插件丢弃了 %1 帧 (共 %2)")
                               .arg(health.nFramesDropped - last.nFramesDropped)
                               .arg(health.nFramesDropped),
                           true});
    }
    if (health.nRowsRefilled > last.nRowsRefilled) {
        changes.push_back({QString::fromUtf8("后台库补写了 %1 行 (待补范围 %2)")
                               .arg(health.nRowsRefilled - last.nRowsRefilled)
                               .arg(health.nRefillPending),
                           false});
    }
    return changes;
}

}  // namespace HealthView
