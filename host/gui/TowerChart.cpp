#include "host/gui/TowerChart.h"

#include <QChart>
#include <QDateTime>
#include <QDateTimeAxis>
#include <QLineSeries>
#include <QPen>
#include <QValueAxis>
#include <algorithm>
#include <cctype>

#include "hostlib/VktBase.h"
#include "platform/IniFile.h"
#include "platform/OdbcHandles.h"

namespace {

constexpr int kLevels = 7;

struct Backend {
    std::string source, user, password, prefix;
};

// What WPDB.ini says, with the plug-in's defaults.
Backend BackendOfHost() {
    const std::string ini = "./WPDB.ini";
    return {IniFile::GetString(ini, "DATABASE", "SOURCENAME", "DAVAD"),
            IniFile::GetString(ini, "DATABASE", "USER", "fd"),
            IniFile::GetString(ini, "DATABASE", "PASSWORD", "wendol"),
            IniFile::GetString(ini, "DATABASE", "PRENAME", "")};
}

// A prefix goes into the statement only when it is a plain name (or two joined by a dot).
bool IsPlainName(const std::string& text) {
    return std::all_of(text.begin(), text.end(),
                       [](unsigned char c) { return std::isalnum(c) || c == '_' || c == '.'; });
}

// The RTU's output station number from VKTTOWPID, else the RTU number itself.
int32_t TowerIdOf(int32_t rtu) {
    int32_t tower = rtu;
    SQLHSTMT hstmt = LockHSTMT();
    if (hstmt) {
        std::string sql = "SELECT WPID FROM VKTTOWPID WHERE RTUID=" + std::to_string(rtu);
        if (Odbc::Succeeded(Odbc::ExecOn(hstmt, sql)) && Odbc::Succeeded(SQLFetch(hstmt))) {
            const std::string text = Odbc::GetText(hstmt, 1);
            if (!text.empty()) tower = std::atoi(text.c_str());
        }
    }
    UnLockHSTMT(hstmt);
    return tower;
}

qint64 Milliseconds(const std::string& text) {
    const QDateTime time = QDateTime::fromString(QString::fromStdString(text.substr(0, 19)),
                                                 QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    return time.isValid() ? time.toMSecsSinceEpoch() : -1;
}

}  // namespace

CTowerChart::CTowerChart(QWidget* parent) : QChartView(parent) {
    auto* chart = new QChart;
    chart->setTitle(QString::fromUtf8("最近24小时"));
    for (int level = 1; level <= kLevels; ++level) {
        auto* series = new QLineSeries;
        series->setName(QString::fromUtf8("%1层").arg(level));
        chart->addSeries(series);
        m_speeds.push_back(series);
    }
    m_pRain = new QLineSeries;
    m_pRain->setName(QString::fromUtf8("雨量"));
    m_pRain->setPen(QPen(QColor(0x1F, 0x3A, 0x93), 3));
    chart->addSeries(m_pRain);
    auto* time = new QDateTimeAxis;
    time->setFormat(QStringLiteral("MM-dd HH:mm"));
    auto* speed = new QValueAxis;
    speed->setTitleText(QStringLiteral("m/s"));
    auto* rain = new QValueAxis;
    rain->setTitleText(QStringLiteral("mm"));
    chart->addAxis(time, Qt::AlignBottom);
    chart->addAxis(speed, Qt::AlignLeft);
    chart->addAxis(rain, Qt::AlignRight);
    for (QLineSeries* series : m_speeds) {
        series->attachAxis(time);
        series->attachAxis(speed);
    }
    m_pRain->attachAxis(time);
    m_pRain->attachAxis(rain);
    setChart(chart);
    setRenderHint(QPainter::Antialiasing);
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

bool CTowerChart::Reload() {
    for (QLineSeries* series : m_speeds) series->clear();
    m_pRain->clear();
    if (m_nRTUID == 0) return false;
    const Backend backend = BackendOfHost();
    if (!IsPlainName(backend.prefix)) return false;
    const std::string table =
        (backend.prefix.empty() ? "" : backend.prefix + ".") + "FD_RUN_RTTOWER";
    OdbcConnection connection;
    if (!connection.Connect(backend.source, backend.user, backend.password, kLoginTimeoutSeconds)) {
        return false;
    }
    const std::string tower = std::to_string(TowerIdOf(m_nRTUID));
    // The newest row first, then the day before it: the chart follows the data, not the
    // wall clock, so a replay of older frames shows too.
    SQLHSTMT raw = nullptr;
    if (!Odbc::Succeeded(SQLAllocHandle(SQL_HANDLE_STMT, connection.Get(), &raw))) return false;
    OdbcStatement stmt(raw);
    if (!Odbc::Succeeded(
            Odbc::ExecOn(raw, "SELECT MAX(TIME) FROM " + table + " WHERE TOWERID=" + tower)) ||
        !Odbc::Succeeded(SQLFetch(raw))) {
        return false;
    }
    const std::string newest = Odbc::GetText(raw, 1);
    SQLFreeStmt(raw, SQL_CLOSE);
    const qint64 newestMs = Milliseconds(newest);
    if (newestMs < 0) return true;  // no rows yet
    const QDateTime from = QDateTime::fromMSecsSinceEpoch(newestMs).addDays(-1);
    std::string sql = "SELECT TIME";
    for (int level = 1; level <= kLevels; ++level) sql += ",V" + std::to_string(level) + "AVGSP";
    sql += ",RAIN FROM " + table + " WHERE TOWERID=" + tower + " AND TIME > {ts '" +
           from.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")).toStdString() + "'} ORDER BY TIME";
    if (!Odbc::Succeeded(Odbc::ExecOn(raw, sql))) return false;
    double top = 1, rainTop = 1;
    while (Odbc::Succeeded(SQLFetch(raw))) {
        const qint64 at = Milliseconds(Odbc::GetText(raw, 1));
        if (at < 0) continue;
        for (int level = 1; level <= kLevels; ++level) {
            const std::string value = Odbc::GetText(raw, static_cast<SQLUSMALLINT>(1 + level));
            if (value.empty()) continue;
            const double speed = std::atof(value.c_str());
            m_speeds[level - 1]->append(static_cast<qreal>(at), speed);
            top = std::max(top, speed);
        }
        const std::string rain = Odbc::GetText(raw, 2 + kLevels);
        if (!rain.empty() && QDateTime::fromMSecsSinceEpoch(at).time().minute() == 0) {
            m_pRain->append(static_cast<qreal>(at), std::atof(rain.c_str()));
            rainTop = std::max(rainTop, std::atof(rain.c_str()));
        }
    }
    QChart* shown = chart();
    const auto axes = shown->axes();
    for (QAbstractAxis* axis : axes) {
        if (auto* time = qobject_cast<QDateTimeAxis*>(axis)) {
            time->setRange(from, QDateTime::fromMSecsSinceEpoch(newestMs));
        } else if (auto* value = qobject_cast<QValueAxis*>(axis)) {
            value->setRange(0, (value->alignment() == Qt::AlignRight ? rainTop : top) * 1.1);
        }
    }
    shown->setTitle(QString::fromUtf8("塔 %1 最近24小时: 各层平均风速 (m/s) 与小时雨量 (mm)")
                        .arg(QString::fromStdString(tower)));
    return true;
}
