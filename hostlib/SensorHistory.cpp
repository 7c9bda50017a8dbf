#include "hostlib/SensorHistory.h"

#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "hostlib/HostDatabase.h"
#include "hostlib/HostSide.h"
#include "hostlib/VktBase.h"
#include "platform/Mutex.h"
#include "platform/OdbcQuery.h"
#include "platform/WorkerThread.h"

namespace {

// Samples kept in memory per measuring point; older ones are looked up in the database.
constexpr size_t kSamplesInMemory = 2048;
// Rows past the keeping time are deleted at most once per this much acquired time.
constexpr int64_t kPruneEverySeconds = 600;
// A replay acquires faster than the flush interval: a batch this large is written at
// once, so that the file never holds much more than the keeping time.
constexpr size_t kLargestBatch = 200;
// Batched: one row a frame, its items as "sensor,second,value;" text.
constexpr const char* kFrameTable =
    "CREATE TABLE IF NOT EXISTS FRAMEHIS (TIME VARCHAR(19) NOT NULL, RTUID INT NOT NULL, "
    "ITEMS TEXT)";
constexpr const char* kFrameIndex = "CREATE INDEX IF NOT EXISTS IDXFRAMEHISTIME ON FRAMEHIS(TIME)";
constexpr const char* kFrameInsert = "INSERT INTO FRAMEHIS(TIME,RTUID,ITEMS) VALUES(?,?,?)";
// One transaction a frame, one row an item, kept for ever: how older hosts wrote it.
constexpr const char* kItemInsert =
    "INSERT OR REPLACE INTO SENSORHIS(SENSORID,TIME,VALUE) VALUES(?,?,?)";

struct Row {
    int32_t sensor;
    int64_t second;
    double value;
};

// A frame as the batched history stores it.
struct FrameRow {
    std::string time;
    int32_t rtu;
    std::string items;
};

class Flusher;

struct History {
    Mutex lock;
    VktHost::HistoryOptions options GUARDED_BY(lock);
    std::unordered_map<int32_t, std::map<int64_t, float>> samples GUARDED_BY(lock);
    std::vector<FrameRow> pending GUARDED_BY(lock);
    std::chrono::steady_clock::time_point pendingSince GUARDED_BY(lock);
    int64_t newest GUARDED_BY(lock) = 0;     // the newest item's second
    int64_t lastPrune GUARDED_BY(lock) = 0;  // `newest` at the last deletion
    std::unique_ptr<Flusher> flusher GUARDED_BY(lock);
};

// Never destroyed: the flusher may still run while the process exits.
History& TheHistory() {
    static auto* history = new History;
    return *history;
}

// Writes the queued batch once it is due, and at the end.
class Flusher : public CWorkerThread {
public:
    explicit Flusher(int intervalMs) : m_nIntervalMs(intervalMs) {}
    ~Flusher() override { StopWorker(); }

protected:
    int Run() override {
        while (!m_stopEvent.Wait(m_nIntervalMs / 4 + 1)) {
            if (IsDue()) SensorHistory::Flush();
        }
        SensorHistory::Flush();
        return 0;
    }

private:
    bool IsDue() {
        History& h = TheHistory();
        MutexLock guard(h.lock);
        return !h.pending.empty() && std::chrono::steady_clock::now() - h.pendingSince >=
                                         std::chrono::milliseconds(m_nIntervalMs);
    }
    const int m_nIntervalMs;
};

std::string TimeText(int64_t second) {
    return DateTime::FromSeconds(second).Format();
}

// A statement prepared once for many executions.
OdbcStatement Prepare(SQLHDBC hdbc, const char* text) {
    OdbcStatement stmt = Odbc::AllocStatement(hdbc);
    if (!stmt) return {};
    std::string sql = text;
    if (!Odbc::Succeeded(SQLPrepare(stmt.Get(), reinterpret_cast<SQLCHAR*>(sql.data()), SQL_NTS))) {
        return {};
    }
    return stmt;
}

bool BindText(SQLHSTMT hstmt, SQLUSMALLINT number, const std::string& text, SQLLEN& length) {
    length = static_cast<SQLLEN>(text.size());
    return Odbc::Succeeded(SQLBindParameter(hstmt, number, SQL_PARAM_INPUT, SQL_C_CHAR,
                                            SQL_LONGVARCHAR, text.size() + 1, 0,
                                            const_cast<char*>(text.data()), length, &length));
}

// Called inside a transaction's lambda, where the analysis cannot see the lock the
// transaction holds; the lock is recursive, so taking it again here is safe.
bool NoteIfFailed(bool ok, SQLHSTMT hstmt, const std::string& what) {
    if (!ok && hstmt) {
        RecursiveMutexLock guard(HostDatabase::g_statementLock);
        HostDatabase::NoteFailure(what, Odbc::Diagnostics(SQL_HANDLE_STMT, hstmt));
    }
    return ok;
}

// The frames of a batch, then (when due) the rows before `cutoff` deleted.
void WriteFrames(const std::vector<FrameRow>& rows, const std::string& cutoff) {
    ExecInTransaction([&](SQLHDBC hdbc) {
        Odbc::ExecDirect(hdbc, kFrameTable);
        Odbc::ExecDirect(hdbc, kFrameIndex);
        OdbcStatement stmt = Prepare(hdbc, kFrameInsert);
        bool ok = static_cast<bool>(stmt);
        for (size_t i = 0; ok && i < rows.size(); ++i) {
            SQLLEN timeLength = 0, itemsLength = 0;
            SQLINTEGER rtu = rows[i].rtu;
            ok = BindText(stmt.Get(), 1, rows[i].time, timeLength) &&
                 Odbc::Succeeded(SQLBindParameter(stmt.Get(), 2, SQL_PARAM_INPUT, SQL_C_SLONG,
                                                  SQL_INTEGER, 0, 0, &rtu, 0, nullptr)) &&
                 BindText(stmt.Get(), 3, rows[i].items, itemsLength) &&
                 Odbc::Succeeded(SQLExecute(stmt.Get()));
        }
        NoteIfFailed(
            ok, stmt.Get(),
            "Sensor history: a batch of " + std::to_string(rows.size()) + " frames not written");
        if (ok && !cutoff.empty()) {
            Odbc::ExecDirect(hdbc, "DELETE FROM FRAMEHIS WHERE TIME < '" + cutoff + "'");
        }
        return ok;
    });
}

// One frame's items as single rows, as older hosts wrote them.
void WriteItems(const std::vector<Row>& rows) {
    ExecInTransaction([&](SQLHDBC hdbc) {
        OdbcStatement stmt = Prepare(hdbc, kItemInsert);
        bool ok = static_cast<bool>(stmt);
        for (size_t i = 0; ok && i < rows.size(); ++i) {
            SQLINTEGER sensor = rows[i].sensor;
            const std::string time = TimeText(rows[i].second);
            SQLLEN timeLength = 0;
            double value = rows[i].value;
            ok = Odbc::Succeeded(SQLBindParameter(stmt.Get(), 1, SQL_PARAM_INPUT, SQL_C_SLONG,
                                                  SQL_INTEGER, 0, 0, &sensor, 0, nullptr)) &&
                 BindText(stmt.Get(), 2, time, timeLength) &&
                 Odbc::Succeeded(SQLBindParameter(stmt.Get(), 3, SQL_PARAM_INPUT, SQL_C_DOUBLE,
                                                  SQL_DOUBLE, 0, 0, &value, 0, nullptr)) &&
                 Odbc::Succeeded(SQLExecute(stmt.Get()));
        }
        return NoteIfFailed(ok, stmt.Get(), "Sensor history: a frame not written");
    });
}

// "sensor,second,value;" for every finite item.
std::string EncodeItems(const CDataFrame& frame) {
    std::string text;
    char part[64];
    for (const CDataItem& item : frame.m_arItems) {
        if (!item.m_tTime.IsValid() || !std::isfinite(item.m_fValue)) continue;
        std::snprintf(part, sizeof part, "%d,%lld,%.9g;", item.m_nSensorID,
                      static_cast<long long>(item.m_tTime.ToSeconds()),
                      static_cast<double>(item.m_fValue));
        text += part;
    }
    return text;
}

// Keeps one sample in memory, within the bounds.
void Keep(History& h, int32_t sensor, int64_t second, float value, int64_t keep) REQUIRES(h.lock) {
    if (second > h.newest) h.newest = second;
    auto& samples = h.samples[sensor];
    samples[second] = value;
    while (samples.size() > kSamplesInMemory ||
           (!samples.empty() && samples.begin()->first < h.newest - keep)) {
        samples.erase(samples.begin());
    }
}

}  // namespace

namespace SensorHistory {

void Record(const CDataFrame& frame) {
    History& h = TheHistory();
    std::vector<Row> items;  // unbatched: written before returning
    bool full = false;
    {
        MutexLock guard(h.lock);
        const int64_t keep = static_cast<int64_t>(h.options.keepDays * 86400.0);
        for (const CDataItem& item : frame.m_arItems) {
            if (!item.m_tTime.IsValid()) continue;
            const int64_t second = item.m_tTime.ToSeconds();
            Keep(h, item.m_nSensorID, second, item.m_fValue,
                 h.options.batched ? keep : INT64_MAX / 2);
            if (!h.options.batched && std::isfinite(item.m_fValue)) {
                items.push_back({item.m_nSensorID, second, static_cast<double>(item.m_fValue)});
            }
        }
        if (h.options.batched) {
            if (h.pending.empty()) h.pendingSince = std::chrono::steady_clock::now();
            h.pending.push_back({frame.m_tTime.Format(), frame.m_nRTUID, EncodeItems(frame)});
            full = h.pending.size() >= kLargestBatch;
            if (!h.flusher) {
                h.flusher = std::make_unique<Flusher>(h.options.flushIntervalMs);
                h.flusher->CreateThread();
            }
        }
    }
    if (!items.empty()) WriteItems(items);
    if (full) Flush();
}

void Load() {
    History& h = TheHistory();
    double keepDays = 0;
    {
        MutexLock guard(h.lock);
        keepDays = h.options.keepDays;
    }
    std::vector<std::pair<std::string, std::string>> rows;  // time, items
    {
        RecursiveMutexLock guard(HostDatabase::g_statementLock);
        if (SQLHDBC hdbc = HostDatabase::Connection()) {
            // The newest frame's time, less the keeping time: what a plug-in may still ask
            // for.
            OdbcStatement stmt = Prepare(
                hdbc,
                "SELECT TIME, ITEMS FROM FRAMEHIS WHERE TIME >= (SELECT DATETIME(MAX(TIME), ?) "
                "FROM FRAMEHIS) ORDER BY TIME");
            const std::string shift =
                "-" + std::to_string(static_cast<long long>(keepDays * 86400)) + " seconds";
            SQLLEN length = 0;
            if (stmt && BindText(stmt.Get(), 1, shift, length) &&
                Odbc::Succeeded(SQLExecute(stmt.Get()))) {
                Odbc::ForEachRow(stmt.Get(), [&](const OdbcRow& row) {
                    rows.emplace_back(row.Text(1), row.Text(2));
                });
            }
        }
    }
    MutexLock guard(h.lock);
    const int64_t keep = static_cast<int64_t>(keepDays * 86400.0);
    for (const auto& [time, items] : rows) {
        const char* at = items.c_str();
        int sensor = 0;
        long long second = 0;
        double value = 0;
        int used = 0;
        while (std::sscanf(at, "%d,%lld,%lf;%n", &sensor, &second, &value, &used) == 3 &&
               used > 0) {
            Keep(h, sensor, second, static_cast<float>(value), keep);
            at += used;
        }
    }
    h.lastPrune = h.newest;
}

std::optional<float> InMemory(int32_t sensor, int64_t second) {
    History& h = TheHistory();
    MutexLock guard(h.lock);
    auto sensorIt = h.samples.find(sensor);
    if (sensorIt == h.samples.end()) return std::nullopt;
    auto it = sensorIt->second.find(second);
    if (it == sensorIt->second.end()) return std::nullopt;
    return it->second;
}

void Flush() {
    History& h = TheHistory();
    std::vector<FrameRow> rows;
    std::string cutoff;
    {
        MutexLock guard(h.lock);
        rows.swap(h.pending);
        if (h.options.batched && h.newest - h.lastPrune >= kPruneEverySeconds) {
            h.lastPrune = h.newest;
            cutoff = TimeText(h.newest - static_cast<int64_t>(h.options.keepDays * 86400.0));
        }
    }
    if (rows.empty() && cutoff.empty()) return;
    WriteFrames(rows, cutoff);
}

void Close() {
    History& h = TheHistory();
    std::unique_ptr<Flusher> flusher;
    bool acquired = false;
    {
        MutexLock guard(h.lock);
        flusher = std::move(h.flusher);
        acquired = h.newest != 0;
    }
    flusher.reset();  // writes what is queued on its way out
    Flush();
    // The write-ahead log back into the file and emptied: what stays is what is kept.
    if (acquired) {
        RecursiveMutexLock guard(HostDatabase::g_statementLock);
        if (SQLHDBC hdbc = HostDatabase::Connection()) {
            Odbc::ExecDirect(hdbc, "PRAGMA wal_checkpoint(TRUNCATE)");
        }
    }
    MutexLock guard(h.lock);
    h.samples.clear();
    h.newest = h.lastPrune = 0;
}

}  // namespace SensorHistory

namespace VktHost {

void SetHistoryOptions(const HistoryOptions& options) {
    SensorHistory::Close();
    History& h = TheHistory();
    MutexLock guard(h.lock);
    h.options = options;
}

void FlushHistory() {
    SensorHistory::Flush();
}

}  // namespace VktHost
