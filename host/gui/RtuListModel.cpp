#include "host/gui/RtuListModel.h"

#include <QBrush>
#include <QColor>

#include "hostlib/HostSide.h"
#include "hostlib/VktBase.h"

namespace {

const QColor kQuietColour(0x99, 0x99, 0x99);

// "87.0%", or "-" for a store that could not be read.
QString Share(const Availability::StoreCount& store, int expected) {
    return store.present ? QString::fromStdString(Availability::Percent(*store.present, expected))
                         : QStringLiteral("-");
}

// "81/93 (87.0%)", or why the store could not be read.
QString CountText(const Availability::StoreCount& store, int expected) {
    if (!store.present)
        return QString::fromUtf8("未读取: ") + QString::fromStdString(store.trouble);
    return QStringLiteral("%1/%2 (%3)")
        .arg(*store.present)
        .arg(expected)
        .arg(Share(store, expected));
}

}  // namespace

void CRtuListModel::Load() {
    CObList<CRTUDef> rtus;
    OutDBObj(kObjRTUDef, "ORDER BY ID ASC", rtus);
    beginResetModel();
    m_rows.clear();
    for (const auto& def : rtus) {
        Row row;
        row.rtu = def->m_nRTUID;
        row.name = QString::fromStdString(def->m_strName);
        row.type = def->m_nType;
        m_rows.push_back(row);
    }
    endResetModel();
    DestroyObA(rtus);
}

int CRtuListModel::RowOf(int rtu) const {
    for (size_t row = 0; row < m_rows.size(); ++row) {
        if (m_rows[row].rtu == rtu) return static_cast<int>(row);
    }
    return -1;
}

void CRtuListModel::ShowLatest(int rtu, const QString& stateTime, const QString& summary,
                               const QString& details) {
    const int row = RowOf(rtu);
    if (row < 0) return;
    m_rows[row].stateTime = stateTime;
    m_rows[row].latest = summary;
    m_rows[row].latestDetails = details;
    RowChanged(row);
}

void CRtuListModel::ShowQuiet(int rtu, bool quiet, const QString& tip) {
    const int row = RowOf(rtu);
    if (row < 0 || (m_rows[row].quiet == quiet && m_rows[row].quietTip == tip)) return;
    m_rows[row].quiet = quiet;
    m_rows[row].quietTip = tip;
    RowChanged(row);
}

void CRtuListModel::ShowToday(const Availability::DayFigure& figure) {
    const int row = RowOf(figure.rtu);
    if (row < 0) return;
    const int expected = figure.expected;
    m_rows[row].today = QString::fromUtf8("单站 %1  后台 %2")
                            .arg(Share(figure.station, expected), Share(figure.backend, expected));
    m_rows[row].todayTip =
        QString::fromUtf8("今日 %1 至 %2 应有 %3 条十分钟记录\n单站库: %4\n后台库: %5")
            .arg(QString::fromStdString(figure.from.Format("%H:%M")),
                 QString::fromStdString(figure.now.Format("%H:%M")), QString::number(expected),
                 CountText(figure.station, expected), CountText(figure.backend, expected));
    RowChanged(row);
}

void CRtuListModel::RowChanged(int row) {
    emit dataChanged(index(row, 0), index(row, kColumns - 1));
}

int CRtuListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int CRtuListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kColumns;
}

QVariant CRtuListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= static_cast<int>(m_rows.size())) return {};
    const Row& row = m_rows[index.row()];
    switch (role) {
        case Qt::DisplayRole:
            switch (index.column()) {
                case kRtu:
                    return QString::number(row.rtu);
                case kName:
                    return row.name;
                case kType:
                    return QString::number(row.type);
                case kStateTime:
                    return row.stateTime;
                case kLatest:
                    return row.latest;
                case kToday:
                    return row.today;
            }
            return {};
        case Qt::ToolTipRole:
            if (index.column() == kLatest) return row.latestDetails;
            if (index.column() == kToday && !row.todayTip.isEmpty()) return row.todayTip;
            return row.quietTip.isEmpty() ? QVariant() : QVariant(row.quietTip);
        case Qt::ForegroundRole:
            return row.quiet ? QVariant(QBrush(kQuietColour)) : QVariant();
        default:
            return {};
    }
}

QVariant CRtuListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
    static const char* const kHeadings[kColumns] = {
        "RTU", "名称", "类型", "状态时间", "最新值 (各层平均风速与风向)", "今日完整率"};
    return section >= 0 && section < kColumns ? QString::fromUtf8(kHeadings[section]) : QVariant();
}
