#pragma once

#include <QAbstractTableModel>
#include <QString>
#include <vector>

#include "host/Availability.h"

// The RTUs of the host catalogue as the window lists them: number, name, type, the
// time of their state, their latest values and, for a wind tower, today's share of
// ten-minute records in each store; a row greyed while its RTU is quiet.
class CRtuListModel : public QAbstractTableModel {
public:
    enum Column { kRtu, kName, kType, kStateTime, kLatest, kToday, kColumns };

    // Every RTU of the catalogue, in the order of their numbers.
    void Load();

    // The row of RTU `rtu`, or -1.
    int RowOf(int rtu) const;
    int RtuAt(int row) const { return m_rows[row].rtu; }
    int TypeAt(int row) const { return m_rows[row].type; }
    int RtuCount() const { return static_cast<int>(m_rows.size()); }

    // What a frame of the RTU changed: its state time and its latest values (the
    // summary shown, the details in its tooltip).
    void ShowLatest(int rtu, const QString& stateTime, const QString& summary,
                    const QString& details);
    // Quiet rows are greyed; `tip` says for how long, on every column but the latest.
    void ShowQuiet(int rtu, bool quiet, const QString& tip);
    // Today's share of the tower's ten-minute records in its station file and the
    // backend (the counts and what could not be read in its tooltip).
    void ShowToday(const Availability::DayFigure& figure);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

private:
    struct Row {
        int rtu = 0;
        QString name;
        int type = 0;
        QString stateTime = QStringLiteral("-");
        QString latest, latestDetails;
        bool quiet = false;
        QString quietTip;
        QString today, todayTip;
    };

    void RowChanged(int row);

    std::vector<Row> m_rows;
};
