#pragma once

#include <QChartView>
#include <cstdint>
#include <string>

class QLineSeries;

// The selected tower's last 24 hours as a consumer of the stored data reads them: the
// mean wind speed of every level and the hourly rainfall, from the backend tables
// through the data source, user and prefix of WPDB.ini in the host directory.
class CTowerChart : public QChartView {
    Q_OBJECT

public:
    explicit CTowerChart(QWidget* parent = nullptr);

    // Shows the RTU's tower (its output station number when it has one); 0: none.
    void ShowTower(int32_t nRTUID);
    // Reads the rows again; false (and an empty chart) when the backend cannot be read.
    bool Reload();

    int32_t Tower() const { return m_nRTUID; }
    // The points of the mean speed of `level` (1 to 7), and of the rainfall.
    int SpeedPoints(int level) const;
    int RainPoints() const;

private:
    int32_t m_nRTUID = 0;
    std::vector<QLineSeries*> m_speeds;  // owned by the chart
    QLineSeries* m_pRain = nullptr;
};
