#pragma once

#include <QChartView>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <vector>

#include "host/gui/TowerSeries.h"

class QLabel;
class QLineSeries;

// The selected tower's last 24 hours before its newest row, as a consumer of the
// stored data reads them: the mean wind speed of every level the tower has and the
// hourly rainfall, from the backend table through the data source, user and prefix of
// WPDB.ini in the host directory, and from the tower's station file where the backend
// lacks rows (it does not answer, or has not caught up). Without rows the chart says
// so instead of drawing empty axes. The rows are read on a thread of the chart's own
// (CTowerSeriesLoader); the chart draws the newest read's series when it comes.
// User-interface thread.
class CTowerChart : public QChartView {
    Q_OBJECT

public:
    explicit CTowerChart(QWidget* parent = nullptr);

    // Shows the RTU's tower (its output station number in the backend when it has
    // one); 0: none.
    void ShowTower(int32_t nRTUID);
    // Reads the rows again, off this thread; the chart is drawn anew (and emits
    // reloaded()) once they have been read, unless a newer read was asked meanwhile.
    void Reload();
    // Waits for the newest read and draws it; false when there are no rows to draw.
    bool WaitForLoad();
    bool ReloadAndWait();
    // The backend answers again (the plug-in writes to it): the next Reload tries it,
    // however recently a connect of the chart's own failed.
    void RetryBackend() { m_loader.RetryBackend(); }
    // Draws `series`. Emits reloaded().
    void Draw(const TowerSeries& series);

    int32_t Tower() const { return m_nRTUID; }
    // For tests (the four below): the points of the mean speed of `level` (1 to 7),
    // and of the rainfall.
    int SpeedPoints(int level) const;
    int RainPoints() const;
    // The names the legend shows: the levels with points, then the rainfall's.
    QStringList LegendNames() const;
    // What stands instead of the axes ("无数据", "后台库不可达", …); empty while rows
    // are drawn.
    QString EmptyText() const;
    // Where the drawn rows came from, one line for the status bar; empty for no tower.
    QString Description() const { return m_strDescription; }

signals:
    // The chart was drawn anew (Description() may have changed).
    void reloaded();

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void ShowEmpty(const QString& text);
    void DrawLoaded();

    int32_t m_nRTUID = 0;
    std::vector<QLineSeries*> m_speeds;  // owned by the chart
    QLineSeries* m_pRain = nullptr;
    QLabel* m_pEmpty = nullptr;
    QString m_strDescription;
    // Last: its thread ends before the rest of the chart goes.
    CTowerSeriesLoader m_loader;
};
