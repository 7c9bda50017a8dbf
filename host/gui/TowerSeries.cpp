#include "host/gui/TowerSeries.h"

#include <QDateTime>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <map>
#include <system_error>

#include "host/PluginBackend.h"
#include "hostlib/HostStatement.h"
#include "hostlib/StationFiles.h"
#include "hostlib/VktBase.h"
#include "platform/OdbcQuery.h"
#include "platform/SqlText.h"

namespace {

constexpr int kLevels = TowerSeries::kLevels;
// A station file's column without a value holds this.
constexpr double kMissingValue = -99.0;
constexpr int kLoginSeconds = 5;
constexpr int kBackendRetrySeconds = 10;

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

// The backend's store of the tower, connected unless it failed a moment ago; the
// trouble when it cannot be read.
QString OpenBackend(Store& backend, int32_t tower, bool retryAsked, std::atomic<int64_t>& retry) {
    const PluginBackend settings = ReadPluginBackend();
    backend.table = PrefixedTable(settings.prefix, "FD_RUN_RTTOWER");
    backend.condition = "TOWERID=" + std::to_string(tower);
    const auto now = std::chrono::steady_clock::now();
    // The prefix goes into the statements only as the plug-in would write it there.
    if (!IsSchemaPrefix(settings.prefix)) return QString::fromUtf8("后台库前缀无效");
    if (!retryAsked && now.time_since_epoch().count() < retry)
        return QString::fromUtf8("后台库不可达");
    if (!backend.connection.Connect(settings.source, settings.user, settings.password,
                                    kLoginSeconds)) {
        retry = (now + std::chrono::seconds(kBackendRetrySeconds)).time_since_epoch().count();
        return QString::fromUtf8("后台库不可达");
    }
    if (!backend.ReadNewest()) return QString::fromUtf8("后台库读取失败");
    backend.reached = true;
    return QString();
}

// The tower's station file, when the plug-in has made it.
void OpenStation(Store& station, int32_t rtu) {
    station.table = "RTTOWER";
    const std::string stationFile = StationFiles::FilePath(".", rtu);
    std::error_code ec;
    station.reached = std::filesystem::exists(stationFile, ec) &&
                      station.connection.DriverConnect(
                          Odbc::SqliteConnectionString(stationFile, false), kLoginSeconds) &&
                      station.ReadNewest();
}

void AddPoints(TowerSeries& series, const Rows& rows) {
    for (const auto& [at, point] : rows) {
        for (int level = 0; level < kLevels; ++level) {
            if (!point.hasSpeed[level]) continue;
            series.speeds[level].append(QPointF(static_cast<qreal>(at), point.speed[level]));
            series.speedTop = std::max(series.speedTop, point.speed[level]);
        }
        if (point.hasRain) {
            series.rain.append(QPointF(static_cast<qreal>(at), point.rain));
            series.rainTop = std::max(series.rainTop, point.rain);
        }
    }
}

// Where the rows came from, in the description and the title.
void Describe(TowerSeries& series, const QString& name, size_t rows, size_t fromBackend,
              size_t fromStation, const QString& backendTrouble) {
    const QString range =
        QDateTime::fromMSecsSinceEpoch(series.newest).toString(QStringLiteral("MM-dd HH:mm"));
    const QString backendLacks =
        backendTrouble.isEmpty() ? QString::fromUtf8("后台库无此时段的行") : backendTrouble;
    QString source;
    if (fromStation == 0) {
        source = QString::fromUtf8("后台库 %1 行").arg(rows);
    } else if (fromBackend == 0) {
        source = QString::fromUtf8("单站库 %1 行").arg(fromStation) + " (" + backendLacks + ")";
    } else {
        source =
            QString::fromUtf8("后台库 %1 行, 单站库补 %2 行").arg(fromBackend).arg(fromStation);
    }
    series.description = name + QString::fromUtf8(": 至 %1 的24小时, ").arg(range) + source;
    if (fromStation > 0) {
        series.title += fromBackend == 0 ? QString::fromUtf8(" — 单站库数据 (%1)").arg(backendLacks)
                                         : QString::fromUtf8(" (含单站库数据)");
    }
}

}  // namespace

TowerSeries CTowerSeriesModel::Read(int32_t rtu) {
    TowerSeries series;
    series.rtu = rtu;
    if (rtu == 0) {
        series.emptyText = QString::fromUtf8("选择一个测风塔以显示其曲线");
        return series;
    }
    const int32_t tower = TowerIdOf(rtu);
    const QString name = TowerTitle(rtu, tower);
    series.title = name + QString::fromUtf8(" 最近24小时: 各层平均风速与小时雨量");
    Store backend, station;
    const QString backendTrouble =
        OpenBackend(backend, tower, m_retryAsked.exchange(false), m_backendRetry);
    OpenStation(station, rtu);
    series.newest = std::max(backend.newest, station.newest);
    if (series.newest < 0) {
        const QString none = QString::fromUtf8("无数据");
        series.description = name + ": " + (backendTrouble.isEmpty() ? none : backendTrouble);
        series.emptyText = backendTrouble.isEmpty()
                               ? none
                               : backendTrouble + QString::fromUtf8("\n单站库也无此塔的数据");
        return series;
    }
    series.from = QDateTime::fromMSecsSinceEpoch(series.newest).addDays(-1).toMSecsSinceEpoch();
    if (backend.reached) backend.ReadRows(series.from);
    if (station.reached) station.ReadRows(series.from);
    // The backend's rows, and the station file's where the backend has none.
    Rows rows = backend.rows;
    size_t fromStation = 0;
    for (const auto& [at, point] : station.rows) {
        if (rows.emplace(at, point).second) ++fromStation;
    }
    AddPoints(series, rows);
    Describe(series, name, rows.size(), backend.rows.size(), fromStation, backendTrouble);
    return series;
}

CTowerSeriesLoader::CTowerSeriesLoader(std::function<void()> loaded) : m_loaded(std::move(loaded)) {
    try {
        m_thread = std::thread(&CTowerSeriesLoader::ReadRequests, this);
    } catch (const std::system_error&) {
        // Load reads on the asking thread.
    }
}

CTowerSeriesLoader::~CTowerSeriesLoader() {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_stop = true;
    }
    m_changed.notify_all();
    if (m_thread.joinable()) m_thread.join();
}

void CTowerSeriesLoader::Load(int32_t rtu) {
    uint64_t request = 0;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        request = ++m_asked;
        m_askedRtu = rtu;
    }
    m_changed.notify_all();
    if (m_thread.joinable()) return;
    TowerSeries series = m_model.Read(rtu);
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_read = request;
        m_result = std::move(series);
    }
    if (m_loaded) m_loaded();
}

void CTowerSeriesLoader::ReadRequests() {
    std::unique_lock<std::mutex> guard(m_lock);
    for (;;) {
        m_changed.wait(guard, [this] { return m_stop || m_asked != m_read; });
        if (m_stop) return;
        const uint64_t request = m_asked;
        const int32_t rtu = m_askedRtu;
        guard.unlock();
        TowerSeries series = m_model.Read(rtu);
        guard.lock();
        m_read = request;
        m_result = std::move(series);
        m_changed.notify_all();
        guard.unlock();
        if (m_loaded) m_loaded();
        guard.lock();
    }
}

void CTowerSeriesLoader::Wait() {
    std::unique_lock<std::mutex> guard(m_lock);
    m_changed.wait(guard, [this] { return m_stop || m_read == m_asked; });
}

std::optional<TowerSeries> CTowerSeriesLoader::TakeNewest() {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_read != m_asked || !m_result) return std::nullopt;
    std::optional<TowerSeries> taken = std::move(m_result);
    m_result.reset();
    return taken;
}
