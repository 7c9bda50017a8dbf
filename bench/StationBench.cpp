// Station rows per second through the plug-in's storage thread, beside raw
// single-statement inserts of the same rows into the same kind of file, measured in
// the same run; the raw rate once with the SQLite defaults and once with the
// options the station data sources use (JournalMode=WAL, SyncPragma=NORMAL).

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "bench/BenchHost.h"
#include "host/Simulator.h"
#include "hostlib/HostSide.h"
#include "hostlib/VktBase.h"
#include "model/Catalogue.h"
#include "platform/OdbcHandles.h"
#include "storage/FrameSpool.h"
#include "storage/StationMap.h"
#include "storage/StationSchema.h"
#include "storage/TowerRow.h"
#include "storage/WPDBThread.h"
#include "storage/WPSettings.h"
#include "storage/WPStores.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kFrames = 1440;  // ten days of one tower

double Seconds(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string RawInsert(const CDataFrame& record) {
    std::string columns = "INSERT INTO RTTOWER([TIME],";
    std::string values = " VALUES(" + TimeLiteral(record.m_tTime) + ",";
    for (const ColumnValue& cv :
         TowerRowValues(record, RowSet::TenMinute, RowRules{false, false, 0})) {
        columns += cv.column + ",";
        values += cv.value + ",";
    }
    columns.back() = ')';
    values.back() = ')';
    return columns + values;
}

// Rows per second of plain inserts, one statement each, into a new station file.
double RawRate(const std::string& file, const std::string& options,
               const std::vector<CDataFrame>& records) {
    std::filesystem::remove(file);
    OdbcConnection connection;
    if (!connection.DriverConnect(
            "DRIVER={SQLite3};Database=" + Odbc::SqliteFileUri(file) + options,
            kLoginTimeoutSeconds)) {
        std::fprintf(stderr, "cannot open %s: %s\n", file.c_str(), connection.LastError().c_str());
        return 0;
    }
    Odbc::ExecDirect(connection.Get(), StationSchema::CreateRTTower());
    const auto start = Clock::now();
    for (const CDataFrame& record : records) Odbc::ExecDirect(connection.Get(), RawInsert(record));
    return static_cast<double>(records.size()) / Seconds(start);
}

}  // namespace

int main() {
    const std::string dir = MakeBenchHost();
    if (dir.empty()) return 1;
    std::filesystem::create_directory(dir + "/WPData");
    BuildCatalogue();
    CWPStores stores(dir);
    CWPSettings settings;
    settings.m_bSaveBkgDB = false;
    stores.m_settings.Replace(settings);

    CRTUDef tower;
    tower.m_nID = tower.m_nRTUID = 7;
    tower.m_nType = 101;
    const DateTime first(2009, 3, 1, 0, 10, 0);
    const auto frames =
        Simulator::Simulate({tower}, {first, first + DateTimeSpan(0, 0, 10 * (kFrames - 1), 0)});
    const std::vector<CDataFrame>& records = frames;

    const double rawDefault = RawRate(dir + "/raw-default.MDB", "", records);
    const double rawWal =
        RawRate(dir + "/raw-wal.MDB", ";JournalMode=WAL;SyncPragma=NORMAL", records);

    long statements = 0;
    stores.m_stations.AddPrepared(tower.m_nRTUID);
    stores.m_stations.FindOrAdd(tower.m_nRTUID).SetStatementObserver([&](const std::string&) {
        ++statements;
    });
    // Frames queued before the thread starts, so that only the storing is timed: in
    // memory (no spool), and through the frame spool as the plug-in
    // hands them over.
    auto rateThroughStorageThread = [&](bool spooled) {
        if (spooled) {
            stores.m_pSpool = std::make_unique<CFrameSpool>(dir + "/WPData/spool");
            if (!stores.m_pSpool->Open()) return 0.0;
        }
        CWPDBThread storage(stores.BackendTarget(), stores.m_stations, stores.m_confirmation,
                            nullptr, stores.m_pSpool.get(), 1);
        for (const CDataFrame& frame : frames) storage.EnqueueFrame(frame);
        const auto start = Clock::now();
        storage.CreateThread();
        while (storage.ProcessedCount() < kFrames)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const double rate = kFrames / Seconds(start);
        storage.StopWorker();
        return rate;
    };
    const double pluginRate = rateThroughStorageThread(false);
    const long statementsOfOneRun = statements;
    // The same rows again, inserted as the first time.
    CWPLocalDB& station = stores.m_stations.FindOrAdd(tower.m_nRTUID);
    station.ExecLocalSQL("DELETE FROM RTTOWER");
    station.ExecLocalSQL("DELETE FROM HSTOWER");
    const double spooledRate = rateThroughStorageThread(true);
    stores.m_stations.Clear();
    const double perFrame = static_cast<double>(statementsOfOneRun) / kFrames;
    const double target = 0.8 * rawWal / perFrame;

    std::printf("station rows, %d frames of one tower (%zu items each)\n", kFrames,
                frames.front().m_arItems.size());
    std::printf("%-44s %12s %8s\n", "", "rows/s", "ratio");
    std::printf("%-44s %12.0f %8.2f\n", "raw inserts, SQLite defaults", rawDefault,
                rawDefault / rawWal);
    std::printf("%-44s %12.0f %8.2f\n", "raw inserts, WAL + NORMAL (baseline)", rawWal, 1.0);
    std::printf("%-44s %12.0f %8.2f\n", "through the storage thread (frames/s)", pluginRate,
                pluginRate / rawWal);
    std::printf("%-44s %12.0f %8.2f\n", "through the spool and the thread (frames/s)", spooledRate,
                spooledRate / rawWal);
    std::printf(
        "statements per frame: %.2f; target >= 0.8 x baseline / statements = %.0f rows/s: %s\n",
        perFrame, target, pluginRate >= target ? "met" : "NOT met");
    RemoveBenchHost(dir);
    return 0;
}
