#include "host/gui/LatestValues.h"

#include <QStringList>
#include <cmath>

#include "hostlib/VktBase.h"

namespace {

// Quantities of the host itself, which no plug-in registers.
struct HostQuantity {
    int32_t id;
    const char* name;
    const char* unit;
};
constexpr HostQuantity kHostQuantities[] = {
    {100, "雨量计数", "mm"},
    {101, "小时雨量", "mm"},
    {2300, "气压", "hPa"},
};

// In the one-line summary after the levels, when the frame has them.
constexpr int32_t kAirIds[] = {8000, 8100, 2300};

constexpr int kMaxLevels = 7;
constexpr int kOthersPerLine = 4;

// `brief`: for the one-line summary, to a tenth (whole numbers from 100 up).
QString ValueText(float value, const QString& unit, bool brief = false) {
    const double shown = static_cast<double>(value);
    const QString number = brief ? QString::number(shown, 'f', std::fabs(shown) >= 100 ? 0 : 1)
                                 : QString::number(shown, 'g', 6);
    if (unit.isEmpty()) return number;
    // Degrees, per cent and degrees Celsius follow the number directly.
    const bool tight =
        unit == QString::fromUtf8("°") || unit == "%" || unit == QString::fromUtf8("℃");
    return number + (tight ? "" : " ") + unit;
}

bool IsAbnormal(const CDataItem& item) {
    return (item.m_nStatus / 1000) % 10 > 2;
}

}  // namespace

int CLatestValues::LevelOf(int32_t id) {
    const bool wind =
        (id >= 7000 && id < 8000) || (id >= 9000 && id < 9400) || (id >= 10000 && id < 10100);
    return wind && id % 100 < kMaxLevels ? id % 100 + 1 : 0;
}

const CLatestValues::Quantity& CLatestValues::QuantityOf(int32_t id) {
    auto it = m_known.find(id);
    if (it != m_known.end()) return it->second;
    Quantity quantity;
    if (auto type = GetDataType(id)) {
        quantity.name = QString::fromStdString(type->m_strName);
        quantity.unit = QString::fromStdString(type->m_strUnit);
        // "3层10分钟平均风速": the level is shown apart.
        const QString prefix = QString::number(LevelOf(id)) + QString::fromUtf8("层");
        if (LevelOf(id) > 0 && quantity.name.startsWith(prefix))
            quantity.name.remove(0, prefix.size());
    } else {
        quantity.name = QString::fromUtf8("数据%1").arg(id);
        for (const HostQuantity& own : kHostQuantities) {
            if (own.id == id) {
                quantity.name = QString::fromUtf8(own.name);
                quantity.unit = QString::fromUtf8(own.unit);
            }
        }
    }
    return m_known.emplace(id, quantity).first->second;
}

CLatestValues::Text CLatestValues::Describe(const CDataFrame& frame) {
    std::map<int32_t, const CDataItem*> byId;
    for (const CDataItem& item : frame.m_arItems) byId[item.m_nDataID] = &item;
    auto valueOf = [&](int32_t id) {
        const CDataItem* item = byId.at(id);
        return ValueText(item->m_fValue, QuantityOf(id).unit, true);
    };

    QStringList summary;
    QStringList levelLines[kMaxLevels + 1];
    QStringList others;
    for (const auto& [id, item] : byId) {
        const Quantity& quantity = QuantityOf(id);
        QString text = quantity.name + " " + ValueText(item->m_fValue, quantity.unit);
        if (item->m_nKind == 8 && item->m_tTime.IsValid()) {
            text += " (" + QString::fromStdString(item->m_tTime.Format("%H:%M:%S")) + ")";
        }
        if (IsAbnormal(*item)) text += QString::fromUtf8(" (异常)");
        const int level = LevelOf(id);
        (level > 0 ? levelLines[level] : others) << text;
    }
    for (int level = 1; level <= kMaxLevels; ++level) {
        QStringList parts;
        for (int32_t base : {7000, 7100}) {
            // The 10-minute mean, else the hourly one.
            const int32_t id =
                byId.count(base + level - 1) ? base + level - 1 : base + 2000 + level - 1;
            if (byId.count(id)) parts << valueOf(id);
        }
        if (!parts.isEmpty()) summary << QString::fromUtf8("%1层 ").arg(level) + parts.join(' ');
    }
    for (int32_t id : kAirIds) {
        if (byId.count(id)) summary << QuantityOf(id).name + " " + valueOf(id);
    }

    QStringList details;
    details << QString::fromStdString(frame.m_tTime.Format());
    for (int level = 1; level <= kMaxLevels; ++level) {
        if (!levelLines[level].isEmpty()) {
            details << QString::fromUtf8("%1层: ").arg(level) + levelLines[level].join(", ");
        }
    }
    for (int at = 0; at < others.size(); at += kOthersPerLine) {
        details << others.mid(at, kOthersPerLine).join(", ");
    }
    return {QString::fromStdString(frame.m_tTime.Format("%H:%M")) + "  " + summary.join("  "),
            details.join('\n')};
}
