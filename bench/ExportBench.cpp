// One station-year exported from its station file into the backend (the embedded
// SQLite file, and PostgreSQL when VKT_PG_PORT names one), in rows per second beside
// raw single-statement inserts of as many rows of the same shape into the same
// database, measured in the same run; then the same range again, every row present.
// The export's 50 ms wait after each unit is not in the rates; the total with the
// waits is printed beside them.

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>

#include "bench/BenchHost.h"
#include "hostlib/VktBase.h"
#include "model/Catalogue.h"
#include "platform/OdbcHandles.h"
#include "storage/BatchJobThread.h"
#include "storage/LocalDataExport.h"
#include "storage/OutLocalDataThread.h"
#include "storage/TowerRow.h"
#include "storage/WPContext.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kStation = 7;
constexpr int kRawTower = 8;
const DateTime kYearStart(2009, 1, 1, 0, 0, 0);
const DateTime kYearEnd(2010, 1, 1, 0, 0, 0);
const DateTimeSpan kTenMinutes(0, 0, 10, 0);

double Seconds(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The station's year in its file, in one transaction: a 10-minute row every 10
// minutes and an hourly row every full hour.
long FillStationYear(const std::string& file) {
    OdbcConnection connection;
    if (!connection.DriverConnect(Odbc::SqliteConnectionString(file), kLoginTimeoutSeconds)) {
        return 0;
    }
    long rows = 0;
    Odbc::ExecDirect(connection.Get(), "BEGIN");
    for (DateTime t = kYearStart + kTenMinutes; t <= kYearEnd; t += kTenMinutes) {
        const std::string time = TimeLiteral(t);
        Odbc::ExecDirect(connection.Get(), "INSERT INTO RTTOWER([TIME],V1AVGSP,CYCLE) VALUES(" +
                                               time + ",5.5," + std::to_string(rows % 1000) + ")");
        ++rows;
        if (IsFullHour(t)) {
            Odbc::ExecDirect(connection.Get(),
                             "INSERT INTO HSTOWER([TIME],TYPE,V1AVGSP,V1MAXTM) VALUES(" + time +
                                 ",1,4.5," + time + ")");
            ++rows;
        }
    }
    Odbc::ExecDirect(connection.Get(), "COMMIT");
    return rows;
}

// As many single-statement inserts of the export's shape into the same tables.
double RawRate(const std::string& source, long rows) {
    OdbcConnection connection;
    if (!connection.Connect(source, "fd", "wendol", kLoginTimeoutSeconds)) return 0;
    std::string tenMinuteValues, hourlyValues;
    for (size_t i = 0; i < TenMinuteColumns().size(); ++i) tenMinuteValues += ",-99";
    for (const ColumnDef& column : HourlyColumns()) {
        hourlyValues += column.kind == ColumnKind::Time ? ",NULL" : ",-99";
    }
    const auto start = Clock::now();
    long sent = 0;
    for (DateTime t = kYearStart + kTenMinutes; sent < rows; t += kTenMinutes) {
        std::string key(1, '(');
        key += std::to_string(kRawTower);
        key += ',';
        key += TimeLiteral(t);
        Odbc::ExecDirect(connection.Get(),
                         GetOutRTInsert("") + " VALUES" + key + tenMinuteValues + ")");
        ++sent;
        if (IsFullHour(t) && sent < rows) {
            Odbc::ExecDirect(connection.Get(),
                             GetOutHisInsert("") + " VALUES" + key + ",1" + hourlyValues + ")");
            ++sent;
        }
    }
    return static_cast<double>(sent) / Seconds(start);
}

struct Run {
    double seconds = 0;
    long copied = 0;
    long present = 0;
};

// The export job's units, one station-day each, without the wait after each.
Run ExportYear(CWPContext& context) {
    COutLocalDataThread exporter(context);
    Run run;
    const auto start = Clock::now();
    for (DateTime t = kYearStart; t < kYearEnd; t += DateTimeSpan(1, 0, 0, 0)) {
        exporter.OutStationData(kStation, t, t + DateTimeSpan(1, 0, 0, 0));
    }
    run.seconds = Seconds(start);
    run.copied = exporter.CopiedCount();
    run.present = exporter.PresentCount();
    return run;
}

// One backend, measured and printed; 1 when its host cannot be made.
int MeasureBackend(const HostDirectory::BackendOptions& backend, int units, double waits) {
    const std::string dir = MakeBenchHost(backend);
    if (dir.empty()) return 1;
    std::filesystem::create_directory(dir + "/WPData");
    BuildCatalogue();
    Run first, again;
    double raw = 0;
    long rows = 0;
    {
        CWPContext context(dir);
        CWPSettings settings;
        settings.m_strSource = backend.dataSource;
        settings.m_strUser = "fd";
        settings.m_strPassword = "wendol";
        context.m_settings.Replace(settings);
        for (const char* table : {"FD_RUN_RTTOWER", "FD_RUN_TOWERHIS"}) {
            context.m_backend.ExecBackendSQL(std::string("DELETE FROM ") + table);
        }
        context.m_stations.AddPrepared(kStation);
        rows = FillStationYear(context.m_stations.FindOrAdd(kStation).FilePath());
        raw = RawRate(backend.dataSource, rows);
        // The export starts from the same tables as the raw inserts did.
        for (const char* table : {"FD_RUN_RTTOWER", "FD_RUN_TOWERHIS"}) {
            context.m_backend.ExecBackendSQL(std::string("DELETE FROM ") + table);
        }
        first = ExportYear(context);
        again = ExportYear(context);
        context.m_stations.Clear();
    }
    const double firstRate = first.copied / first.seconds;
    const double againRate = again.present / again.seconds;
    std::printf("%-11s %8ld %12.0f %12.0f %7.2f %14.0f %12.2f %14.1f s\n", backend.product.c_str(),
                rows, firstRate, raw, firstRate / raw, againRate, againRate / firstRate,
                first.seconds + waits * units);
    if (first.copied != rows || again.present != rows) {
        std::printf("  (copied %ld, present on the second run %ld, of %ld rows)\n", first.copied,
                    again.present, rows);
    }
    std::printf("  target: export >= 0.8 x raw: %s; second run at least as fast: %s\n",
                firstRate >= 0.8 * raw ? "met" : "NOT met",
                againRate >= firstRate ? "met" : "NOT met");
    std::fflush(stdout);
    RemoveBenchHost(dir);
    return 0;
}

}  // namespace

int main() {
    const int units = CBatchJobThread::UnitCount(1, kYearStart, kYearEnd);
    std::printf("export of one station-year (%d units), rows/s without the %d ms per unit\n", units,
                CBatchJobThread::kStopPollMs);
    std::printf("%-11s %8s %12s %12s %7s %14s %12s %16s\n", "backend", "rows", "export/s", "raw/s",
                "ratio", "again (all in)", "again/first", "total with waits");
    std::fflush(stdout);
    int failed = 0;
    // Each backend in a process of its own: the driver manager reads its data sources
    // from the first host directory of a process only.
    for (const HostDirectory::BackendOptions& backend : BenchBackends()) {
        const pid_t child = fork();
        if (child == 0)
            return MeasureBackend(backend, units, CBatchJobThread::kStopPollMs / 1000.0);
        int status = 0;
        waitpid(child, &status, 0);
        failed += !WIFEXITED(status) || WEXITSTATUS(status) != 0;
    }
    return failed;
}
