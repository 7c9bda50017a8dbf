// One station-year exported from its station file into the backend (the embedded
// SQLite file, and PostgreSQL when VKT_PG_PORT names one), then refilled into the
// emptied backend as the backend writer refills a range, one day at a time; in rows
// per second beside raw inserts of as many rows of the same shape into the same
// database, measured in the same run: single statements (a commit each), the same
// statements in one transaction per 1,000 rows (the limit of a client sending one
// statement at a time), and those transactions with the statements 20 to a call where
// the server takes batches (PostgreSQL: the limit for these texts). Then the export of
// the same range again, every row present. The export's 50 ms wait after each unit is
// not in the rates; the total with the waits is printed beside them.

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "bench/BenchHost.h"
#include "bench/RawInserts.h"
#include "hostlib/VktBase.h"
#include "model/Catalogue.h"
#include "platform/OdbcHandles.h"
#include "storage/BackendDB.h"
#include "storage/BatchJobThread.h"
#include "storage/LocalDataExport.h"
#include "storage/OutLocalDataThread.h"
#include "storage/TowerRow.h"
#include "storage/WPStores.h"

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

// As many inserts of the export's shape into the same tables, of another tower.
std::vector<std::string> RawStatements(long rows) {
    std::string tenMinuteValues, hourlyValues;
    for (size_t i = 0; i < TenMinuteColumns().size(); ++i) tenMinuteValues += ",-99";
    for (const ColumnDef& column : HourlyColumns()) {
        hourlyValues += column.kind == ColumnKind::Time ? ",NULL" : ",-99";
    }
    std::vector<std::string> texts;
    for (DateTime t = kYearStart + kTenMinutes; static_cast<long>(texts.size()) < rows;
         t += kTenMinutes) {
        std::string key(1, '(');
        key += std::to_string(kRawTower);
        key += ',';
        key += TimeLiteral(t);
        texts.push_back(GetOutRTInsert("") + " VALUES" + key + tenMinuteValues + ")");
        if (IsFullHour(t) && static_cast<long>(texts.size()) < rows) {
            texts.push_back(GetOutHisInsert("") + " VALUES" + key + ",1" + hourlyValues + ")");
        }
    }
    return texts;
}

struct Run {
    double seconds = 0;
    long copied = 0;
    long present = 0;
};

// The export job's steps of one station-day or several, without the wait after each.
Run ExportYear(CWPStores& stores) {
    COutLocalDataThread exporter(stores.BackendTarget(), stores.m_stations);
    Run run;
    const auto start = Clock::now();
    const DateTimeSpan step(exporter.DaysPerStep(), 0, 0, 0);
    for (DateTime t = kYearStart; t < kYearEnd; t += step) {
        exporter.OutStationData(kStation, t, std::min(t + step, kYearEnd));
    }
    run.seconds = Seconds(start);
    run.copied = exporter.CopiedCount();
    run.present = exporter.PresentCount();
    return run;
}

// The refill of the year, one day at a time, as the backend writer's steps.
Run RefillYear(CWPStores& stores) {
    CWPLocalDB& station = stores.m_stations.FindOrAdd(kStation);
    CExportCounts counts;
    Run run;
    const auto start = Clock::now();
    for (DateTime t = kYearStart; t < kYearEnd; t += DateTimeSpan(1, 0, 0, 0)) {
        station.RefillRange(stores.BackendTarget(), t, t + DateTimeSpan(1, 0, 0, 0), counts);
    }
    run.seconds = Seconds(start);
    run.copied = counts.m_nCopied;
    run.present = counts.m_nPresent;
    return run;
}

std::string BatchRate(double rate) {
    return rate > 0 ? std::to_string(static_cast<long>(rate)) : "-";
}

const char* Met(bool met) {
    return met ? "met" : "NOT met";
}

// One backend, measured and printed; 1 when its host cannot be made.
int MeasureBackend(const HostDirectory::BackendOptions& backend, int units, double waits) {
    const std::string dir = MakeBenchHost(backend);
    if (dir.empty()) return 1;
    std::filesystem::create_directory(dir + "/WPData");
    BuildCatalogue();
    Run first, again, refill;
    double raw = 0, rawTx = 0, rawBatch = 0;
    long rows = 0;
    {
        CWPStores stores(dir);
        CWPSettings settings;
        settings.m_strSource = backend.dataSource;
        settings.m_strUser = "fd";
        settings.m_strPassword = "wendol";
        stores.m_settings.Replace(settings);
        auto emptyBackend = [&] {
            for (const char* table : {"FD_RUN_RTTOWER", "FD_RUN_TOWERHIS"}) {
                stores.m_backend.TEST_ExecBackendSQL(std::string("DELETE FROM ") + table);
            }
        };
        emptyBackend();
        stores.m_stations.AddPrepared(kStation);
        rows = FillStationYear(stores.m_stations.FindOrAdd(kStation).FilePath());
        raw = RawInsertRate(backend.dataSource, kRawTower, RawStatements(rows), RawMode::Single);
        rawTx = RawInsertRate(backend.dataSource, kRawTower, RawStatements(rows),
                              RawMode::Transactions);
        rawBatch =
            RawInsertRate(backend.dataSource, kRawTower, RawStatements(rows), RawMode::Batches);
        // The export and the refill start from the same tables as the raw inserts did.
        emptyBackend();
        first = ExportYear(stores);
        again = ExportYear(stores);
        emptyBackend();
        refill = RefillYear(stores);
        stores.m_stations.Clear();
    }
    const double firstRate = first.copied / first.seconds;
    const double againRate = again.present / again.seconds;
    const double refillRate = refill.copied / refill.seconds;
    std::printf(
        "%-11s %8ld %8.0f %9.0f %10s %9.0f %6.2f %6.2f %9.0f %6.2f %6.2f %9.0f %6.2f %8.1f s\n",
        backend.product.c_str(), rows, raw, rawTx, BatchRate(rawBatch).c_str(), firstRate,
        firstRate / raw, firstRate / rawTx, refillRate, refillRate / raw, refillRate / rawTx,
        againRate, againRate / firstRate, first.seconds + waits * units);
    if (rawBatch > 0) {
        std::printf(
            "  limit of these texts in batches: %.2f x raw; export %.2f, refill %.2f of it\n",
            rawBatch / raw, firstRate / rawBatch, refillRate / rawBatch);
    }
    if (first.copied != rows || again.present != rows || refill.copied != rows) {
        // Rates of a run that did not copy everything judge nothing.
        std::printf("  (copied %ld, present on the second run %ld, refilled %ld, of %ld rows)\n",
                    first.copied, again.present, refill.copied, rows);
        RemoveBenchHost(dir);
        return 1;
    }
    // The statement texts are fixed: in batches they cannot go faster than the raw
    // inserts of the same texts in batches, so that is what they are judged against;
    // a driver that takes one statement a call is judged against one transaction.
    const double limit = rawBatch > 0 ? rawBatch : rawTx;
    const char* limitName = rawBatch > 0 ? "raw batch" : "raw tx";
    std::printf(
        "  targets: export >= 0.8 x %s: %s; refill >= 0.8 x %s: %s; second run at least as "
        "fast: %s\n",
        limitName, Met(firstRate >= 0.8 * limit), limitName, Met(refillRate >= 0.8 * limit),
        Met(againRate >= firstRate));
    std::fflush(stdout);
    RemoveBenchHost(dir);
    return 0;
}

}  // namespace

int main() {
    const int units = CBatchJobThread::UnitCount(1, kYearStart, kYearEnd);
    std::printf(
        "export and refill of one station-year (%d units), rows/s without the export's %d ms "
        "per unit; raw: single-statement inserts, raw tx: the same in one transaction per %zu, "
        "raw batch: and %zu to a call (-: the driver takes one a call)\n",
        units, CBatchJobThread::kStopPollMs, kRawStatementsPerTransaction, kStatementsPerBatch);
    std::printf("%-11s %8s %8s %9s %10s %9s %6s %6s %9s %6s %6s %9s %6s %10s\n", "backend", "rows",
                "raw/s", "raw tx/s", "raw batch/s", "export/s", "x raw", "x tx", "refill/s",
                "x raw", "x tx", "again/s", "again", "with waits");
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
