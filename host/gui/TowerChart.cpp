#include "host/gui/TowerChart.h"

#include <QChart>
#include <QDateTime>
#include <QDateTimeAxis>
#include <QLabel>
#include <QLegendMarker>
#include <QLineSeries>
#include <QMetaObject>
#include <QPen>
#include <QValueAxis>
#include <algorithm>
#include <cmath>

namespace {

constexpr int kLevels = TowerSeries::kLevels;
// Below this width the chart is narrow: the time axis labels lose their date (the
// title names the day), and the legend takes a smaller font.
constexpr int kNarrowWidth = 520;
// A time axis label needs about this much room, with its date and without.
constexpr int kDateTimeLabelWidth = 110;
constexpr int kTimeLabelWidth = 60;

// One colour a level, told apart also by readers with a colour-vision deficiency;
// the rainfall dashed in black.
const QColor kLevelColours[kLevels] = {
    QColor(0x00, 0x72, 0xB2), QColor(0xE6, 0x9F, 0x00), QColor(0x00, 0x9E, 0x73),
    QColor(0xD5, 0x5E, 0x00), QColor(0xCC, 0x79, 0xA7), QColor(0x56, 0xB4, 0xE9),
    QColor(0x8C, 0x6D, 0x31),
};

}  // namespace

CTowerChart::CTowerChart(QWidget* parent)
    : QChartView(parent), m_loader([this] {
          QMetaObject::invokeMethod(
              this, [this] { DrawLoaded(); }, Qt::QueuedConnection);
      }) {
    auto* chart = new QChart;
    for (int level = 1; level <= kLevels; ++level) {
        auto* series = new QLineSeries;
        series->setName(QString::fromUtf8("%1层").arg(level));
        series->setPen(QPen(kLevelColours[level - 1], 1.5));
        chart->addSeries(series);
        m_speeds.push_back(series);
    }
    m_pRain = new QLineSeries;
    m_pRain->setName(QString::fromUtf8("小时雨量"));
    m_pRain->setPen(QPen(Qt::black, 2, Qt::DashLine));
    chart->addSeries(m_pRain);
    auto* time = new QDateTimeAxis;
    time->setFormat(QStringLiteral("MM-dd HH:mm"));
    time->setTickCount(5);
    auto* speed = new QValueAxis;
    speed->setTitleText(QString::fromUtf8("平均风速 m/s"));
    auto* rain = new QValueAxis;
    rain->setTitleText(QString::fromUtf8("小时雨量 mm"));
    chart->addAxis(time, Qt::AlignBottom);
    chart->addAxis(speed, Qt::AlignLeft);
    chart->addAxis(rain, Qt::AlignRight);
    for (QLineSeries* series : m_speeds) {
        series->attachAxis(time);
        series->attachAxis(speed);
    }
    m_pRain->attachAxis(time);
    m_pRain->attachAxis(rain);
    chart->legend()->setAlignment(Qt::AlignBottom);
    setChart(chart);
    setRenderHint(QPainter::Antialiasing);
    m_pEmpty = new QLabel(this);
    m_pEmpty->setAlignment(Qt::AlignCenter);
    m_pEmpty->setWordWrap(true);
    m_pEmpty->setAttribute(Qt::WA_TransparentForMouseEvents);
    QFont font = m_pEmpty->font();
    font.setPointSizeF(font.pointSizeF() * 1.5);
    m_pEmpty->setFont(font);
    ShowEmpty(QString::fromUtf8("选择一个测风塔以显示其曲线"));
}

void CTowerChart::resizeEvent(QResizeEvent* event) {
    QChartView::resizeEvent(event);
    m_pEmpty->setGeometry(rect().adjusted(20, 20, -20, -20));
    // Labels cut short would read "12-0…" and "小…": on a narrow chart fewer and
    // shorter time labels, and a smaller legend.
    const bool narrow = width() < kNarrowWidth;
    for (QAbstractAxis* axis : chart()->axes(Qt::Horizontal)) {
        if (auto* time = qobject_cast<QDateTimeAxis*>(axis)) {
            time->setFormat(narrow ? QStringLiteral("HH:mm") : QStringLiteral("MM-dd HH:mm"));
            time->setTickCount(
                std::clamp(width() / (narrow ? kTimeLabelWidth : kDateTimeLabelWidth), 2, 5));
        }
    }
    QFont legendFont = font();
    if (narrow) legendFont.setPointSizeF(legendFont.pointSizeF() * 0.85);
    chart()->legend()->setFont(legendFont);
}

void CTowerChart::ShowTower(int32_t nRTUID) {
    m_nRTUID = nRTUID;
    Reload();
}

int CTowerChart::SpeedPoints(int level) const {
    return level >= 1 && level <= kLevels ? m_speeds[level - 1]->count() : 0;
}

int CTowerChart::RainPoints() const {
    return m_pRain->count();
}

QStringList CTowerChart::LegendNames() const {
    QStringList names;
    for (QLegendMarker* marker : chart()->legend()->markers()) {
        if (marker->isVisible() && chart()->legend()->isVisible()) names << marker->label();
    }
    return names;
}

QString CTowerChart::EmptyText() const {
    return m_pEmpty->isHidden() ? QString() : m_pEmpty->text();
}

void CTowerChart::ShowEmpty(const QString& text) {
    for (QLineSeries* series : m_speeds) series->clear();
    m_pRain->clear();
    for (QAbstractSeries* series : chart()->series()) series->setVisible(false);
    for (QAbstractAxis* axis : chart()->axes()) axis->setVisible(false);
    chart()->legend()->setVisible(false);
    m_pEmpty->setText(text);
    m_pEmpty->show();
    emit reloaded();
}

void CTowerChart::Reload() {
    m_loader.Load(m_nRTUID);
}

bool CTowerChart::WaitForLoad() {
    m_loader.Wait();
    DrawLoaded();
    return EmptyText().isEmpty();
}

bool CTowerChart::ReloadAndWait() {
    Reload();
    return WaitForLoad();
}

void CTowerChart::DrawLoaded() {
    if (std::optional<TowerSeries> series = m_loader.TakeNewest()) Draw(*series);
}

void CTowerChart::Draw(const TowerSeries& series) {
    chart()->setTitle(series.title);
    m_strDescription = series.description;
    if (series.newest < 0) {
        ShowEmpty(series.emptyText);
        return;
    }
    for (int level = 0; level < kLevels; ++level) m_speeds[level]->replace(series.speeds[level]);
    m_pRain->replace(series.rain);
    // Lines and legend entries for what the tower has, and only that.
    QChart* shown = chart();
    for (QAbstractSeries* line : shown->series()) {
        const bool drawn = static_cast<QLineSeries*>(line)->count() > 0;
        line->setVisible(drawn);
        for (QLegendMarker* marker : shown->legend()->markers(line)) marker->setVisible(drawn);
    }
    shown->legend()->setVisible(true);
    for (QAbstractAxis* axis : shown->axes()) {
        axis->setVisible(true);
        if (auto* time = qobject_cast<QDateTimeAxis*>(axis)) {
            time->setRange(QDateTime::fromMSecsSinceEpoch(series.from),
                           QDateTime::fromMSecsSinceEpoch(series.newest));
        } else if (auto* value = qobject_cast<QValueAxis*>(axis)) {
            const double highest =
                value->alignment() == Qt::AlignRight ? series.rainTop : series.speedTop;
            value->setRange(0, std::max(1.0, std::ceil(highest * 1.1)));
        }
    }
    m_pEmpty->hide();
    emit reloaded();
}
