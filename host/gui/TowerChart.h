#pragma once

#include <QChartView>
#include <QString>
#include <QStringList>
#include <chrono>
#include <cstdint>
#include <vector>

class QLabel;
class QLineSeries;

// The selected tower's last 24 hours before its newest row, as a consumer of the
// stored data reads them: the mean wind speed of every level the tower has and the
// hourly rainfall, from the backend table through the data source, user and prefix of
// WPDB.ini in the host directory, and from the tower's station file where the backend
// lacks rows (it does not answer, or has not caught up). Without rows the chart says
// so instead of drawing empty axes. User-interface thread.
class CTowerChart : public QChartView {
    Q_OBJECT

public:
    explicit CTowerChart(QWidget* parent = nullptr);

    // Shows the RTU's tower (its output station number in the backend when it has
    // one); 0: none.
    void ShowTower(int32_t nRTUID);
    // Reads the rows again; false when there are none to draw. Emits reloaded().
    bool Reload();
    // The backend answers again (the plug-in writes to it): the next Reload tries it,
    // however recently a connect of the chart's own failed.
    void RetryBackend() { m_backendRetry = {}; }

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

    int32_t m_nRTUID = 0;
    std::vector<QLineSeries*> m_speeds;  // owned by the chart
    QLineSeries* m_pRain = nullptr;
    QLabel* m_pEmpty = nullptr;
    QString m_strDescription;
    // After a failed connect the backend is left alone for a while, so that a server
    // that does not answer does not hold the window up at every refresh.
    std::chrono::steady_clock::time_point m_backendRetry;
};
