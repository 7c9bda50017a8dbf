#include "host/gui/TowerChart.h"

#include <QChart>
#include <QDateTime>
#include <QDateTimeAxis>
#include <QLabel>
#include <QLegendMarker>
#include <QLineSeries>
#include <QPen>
#include <QValueAxis>
#include <algorithm>
#include <cctype>
#include <cmath>
#include <filesystem>
#include <map>

#include "host/PluginBackend.h"
#include "hostlib/HostStatement.h"
#include "hostlib/VktBase.h"
#include "platform/OdbcQuery.h"
#include "platform/SqlText.h"

namespace {

constexpr int kLevels = 7;
// A station file's column without a value holds this.
constexpr double kMissingValue = -99.0;
constexpr int kLoginSeconds = 5;
constexpr int kBackendRetrySeconds = 10;
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

// The RTU's output station number from VKTTOWPID, else the RTU number itself.
int32_t TowerIdOf(int32_t rtu) {
    int32_t tower = rtu;
    HostStatement hstmt;
    if (!hstmt) return tower;
    const std::string sql = "SELECT WPID FROM VKTTOWPID WHERE RTUID=" + std::to_string(rtu);
    if (Odbc::Succeeded(Odbc::ExecOn(hstmt.Get(), sql)) && Odbc::FetchRow(hstmt.Get())) {
        const std::string text = OdbcRow(hstmt.Get()).Text(1);
        if (!text.empty()) tower = std::atoi(text.c_str());
    }
    return tower;
}

// A date-time text of a table as milliseconds of local time; -1 when it is none.
qint64 Milliseconds(const std::string& text) {
    const DateTime time = ParseDBTime(text);
    if (!time.IsValid()) return -1;
    return QDateTime(QDate(time.GetYear(), time.GetMonth(), time.GetDay()),
                     QTime(time.GetHour(), time.GetMinute(), time.GetSecond()))
        .toMSecsSinceEpoch();
}

std::string TimeLiteralAt(qint64 ms) {
    const QDateTime at = QDateTime::fromMSecsSinceEpoch(ms);
    return TimeLiteral(DateTime(at.date().year(), at.date().month(), at.date().day(),
                                at.time().hour(), at.time().minute(), at.time().second()));
}

// A value as read: empty (NULL) and the station files' missing value are no value.
bool ReadValue(const OdbcRow& row, SQLUSMALLINT column, double& value) {
    const std::string text = row.Text(column);
    if (text.empty()) return false;
    value = std::atof(text.c_str());
    return std::fabs(value - kMissingValue) > 1e-6;
}

struct Point {
    double speed[kLevels] = {};
    bool hasSpeed[kLevels] = {};
    double rain = 0;
    bool hasRain = false;
};
using Rows = std::map<qint64, Point>;

// One store's 10-minute table of the tower: `table`, its rows chosen by `condition`.
struct Store {
    std::string table;
    std::string condition;  // "TOWERID=1", or empty for every row
    OdbcConnection connection;
    bool reached = false;
    qint64 newest = -1;
    Rows rows;

    // The newest row's time; false when the table cannot be read.
    bool ReadNewest() {
        std::string sql = "SELECT MAX(TIME) FROM " + table;
        if (!condition.empty()) sql += " WHERE " + condition;
        const std::optional<std::string> text = Odbc::QueryText(connection.Get(), sql);
        if (!text) return false;
        newest = Milliseconds(*text);
        return true;
    }

    void ReadRows(qint64 from) {
        std::string sql = "SELECT TIME";
        for (int level = 1; level <= kLevels; ++level) {
            sql += ",V" + std::to_string(level) + "AVGSP";
        }
        sql += ",RAIN FROM " + table + " WHERE " + (condition.empty() ? "" : condition + " AND ") +
               "TIME > " + TimeLiteralAt(from) + " ORDER BY TIME";
        Odbc::Query(connection.Get(), sql, [&](const OdbcRow& row) {
            const qint64 at = Milliseconds(row.Text(1));
            if (at < 0) return;
            Point point;
            for (int level = 0; level < kLevels; ++level) {
                point.hasSpeed[level] =
                    ReadValue(row, static_cast<SQLUSMALLINT>(2 + level), point.speed[level]);
            }
            // The hourly rainfall stands in the full hour's row.
            point.hasRain = QDateTime::fromMSecsSinceEpoch(at).time().minute() == 0 &&
                            ReadValue(row, 2 + kLevels, point.rain);
            rows[at] = point;
        });
    }
};

QString TowerTitle(int32_t rtu, int32_t tower) {
    QString name;
    if (auto def = CRTUDefRT::GetRTUDefRT(rtu)) name = QString::fromStdString(def->m_strName);
    QString title = QString::fromUtf8("%1 (RTU %2").arg(name).arg(rtu);
    if (tower != rtu) title += QString::fromUtf8(", 塔号 %1").arg(tower);
    return title + ")";
}

}  // namespace

CTowerChart::CTowerChart(QWidget* parent) : QChartView(parent) {
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

bool CTowerChart::Reload() {
    if (m_nRTUID == 0) {
        chart()->setTitle(QString());
        m_strDescription.clear();
        ShowEmpty(QString::fromUtf8("选择一个测风塔以显示其曲线"));
        return false;
    }
    const int32_t tower = TowerIdOf(m_nRTUID);
    const QString title = TowerTitle(m_nRTUID, tower);
    chart()->setTitle(title + QString::fromUtf8(" 最近24小时: 各层平均风速与小时雨量"));

    // The backend, unless it failed a moment ago.
    const PluginBackend settings = ReadPluginBackend();
    Store backend;
    backend.table = PrefixedTable(settings.prefix, "FD_RUN_RTTOWER");
    backend.condition = "TOWERID=" + std::to_string(tower);
    QString backendTrouble;
    const auto now = std::chrono::steady_clock::now();
    // The prefix goes into the statements only as the plug-in would write it there.
    if (!IsSchemaPrefix(settings.prefix)) {
        backendTrouble = QString::fromUtf8("后台库前缀无效");
    } else if (now < m_backendRetry) {
        backendTrouble = QString::fromUtf8("后台库不可达");
    } else if (!backend.connection.Connect(settings.source, settings.user, settings.password,
                                           kLoginSeconds)) {
        backendTrouble = QString::fromUtf8("后台库不可达");
        m_backendRetry = now + std::chrono::seconds(kBackendRetrySeconds);
    } else if (!backend.ReadNewest()) {
        backendTrouble = QString::fromUtf8("后台库读取失败");
    } else {
        backend.reached = true;
    }
    // The tower's station file, when the plug-in has made it.
    Store station;
    station.table = "RTTOWER";
    const std::string stationFile = "WPData/WP_" + std::to_string(m_nRTUID) + ".MDB";
    std::error_code ec;
    station.reached = std::filesystem::exists(stationFile, ec) &&
                      station.connection.DriverConnect(
                          Odbc::SqliteConnectionString(stationFile, false), kLoginSeconds) &&
                      station.ReadNewest();

    const qint64 newest = std::max(backend.newest, station.newest);
    if (newest < 0) {
        m_strDescription =
            title + ": " +
            (backendTrouble.isEmpty() ? QString::fromUtf8("无数据") : backendTrouble);
        ShowEmpty(backendTrouble.isEmpty()
                      ? QString::fromUtf8("无数据")
                      : backendTrouble + QString::fromUtf8("\n单站库也无此塔的数据"));
        return false;
    }
    const qint64 from = QDateTime::fromMSecsSinceEpoch(newest).addDays(-1).toMSecsSinceEpoch();
    if (backend.reached) backend.ReadRows(from);
    if (station.reached) station.ReadRows(from);
    // The backend's rows, and the station file's where the backend has none.
    Rows rows = backend.rows;
    size_t fromStation = 0;
    for (const auto& [at, point] : station.rows) {
        if (rows.emplace(at, point).second) ++fromStation;
    }

    for (QLineSeries* series : m_speeds) series->clear();
    m_pRain->clear();
    double top = 0, rainTop = 0;
    for (const auto& [at, point] : rows) {
        for (int level = 0; level < kLevels; ++level) {
            if (!point.hasSpeed[level]) continue;
            m_speeds[level]->append(static_cast<qreal>(at), point.speed[level]);
            top = std::max(top, point.speed[level]);
        }
        if (point.hasRain) {
            m_pRain->append(static_cast<qreal>(at), point.rain);
            rainTop = std::max(rainTop, point.rain);
        }
    }
    // Lines and legend entries for what the tower has, and only that.
    QChart* shown = chart();
    for (QAbstractSeries* series : shown->series()) {
        const bool drawn = static_cast<QLineSeries*>(series)->count() > 0;
        series->setVisible(drawn);
        for (QLegendMarker* marker : shown->legend()->markers(series)) marker->setVisible(drawn);
    }
    shown->legend()->setVisible(true);
    for (QAbstractAxis* axis : shown->axes()) {
        axis->setVisible(true);
        if (auto* time = qobject_cast<QDateTimeAxis*>(axis)) {
            time->setRange(QDateTime::fromMSecsSinceEpoch(from),
                           QDateTime::fromMSecsSinceEpoch(newest));
        } else if (auto* value = qobject_cast<QValueAxis*>(axis)) {
            const double highest = value->alignment() == Qt::AlignRight ? rainTop : top;
            value->setRange(0, std::max(1.0, std::ceil(highest * 1.1)));
        }
    }
    m_pEmpty->hide();

    // Where the rows came from.
    const QString range =
        QDateTime::fromMSecsSinceEpoch(newest).toString(QStringLiteral("MM-dd HH:mm"));
    QString source;
    if (fromStation == 0) {
        source = QString::fromUtf8("后台库 %1 行").arg(rows.size());
    } else if (backend.rows.empty()) {
        source = QString::fromUtf8("单站库 %1 行").arg(fromStation) +
                 (backendTrouble.isEmpty() ? QString::fromUtf8(" (后台库无此时段的行)")
                                           : " (" + backendTrouble + ")");
    } else {
        source = QString::fromUtf8("后台库 %1 行, 单站库补 %2 行")
                     .arg(backend.rows.size())
                     .arg(fromStation);
    }
    m_strDescription = title + QString::fromUtf8(": 至 %1 的24小时, ").arg(range) + source;
    QString note;
    if (fromStation > 0) {
        note = backend.rows.empty()
                   ? QString::fromUtf8(" — 单站库数据 (%1)")
                         .arg(backendTrouble.isEmpty() ? QString::fromUtf8("后台库无此时段的行")
                                                       : backendTrouble)
                   : QString::fromUtf8(" (含单站库数据)");
    }
    shown->setTitle(title + QString::fromUtf8(" 最近24小时: 各层平均风速与小时雨量") + note);
    emit reloaded();
    return true;
}
