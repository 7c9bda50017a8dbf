// The backend server goes away while frames flow and comes back.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>

#include "hostlib/HostSide.h"
#include "model/Catalogue.h"
#include "platform/Clock.h"
#include "platform/ErrorLog.h"
#include "platform/OdbcQuery.h"
#include "storage/BackendDB.h"
#include "storage/BackendWriter.h"
#include "storage/BackendWriterThread.h"
#include "storage/OutLocalDataThread.h"
#include "storage/WPStores.h"
#include "tests/support/TestCluster.h"
#include "tests/support/TestHost.h"
#include "tests/support/TowerData.h"

namespace {

bool RowStored(CBackendDB& backend, const DateTime& time) {
    RecursiveMutexLock guard(backend.BackendLock());
    OdbcStatement stmt = backend.GetBackendStmt();
    SQLHSTMT hstmt = stmt.Get();
    if (!hstmt) return false;
    const std::string sql =
        "SELECT V1AVGSP FROM FD_RUN_RTTOWER WHERE TOWERID=12 AND TIME={ts '" + time.Format() + "'}";
    return Odbc::Succeeded(Odbc::ExecOn(hstmt, sql)) && Odbc::FetchRow(hstmt);
}

// The cases with a server start a cluster of their own, each from its own first port:
// they run beside each other.
class BackendOutageTest : public ::testing::Test {
protected:
    // The cluster and a host directory with a data source for it; no host when skipped.
    void StartCluster(int portStep) {
        const char* script = std::getenv("VKT_PG_SCRIPT");
        if (!PostgresAvailable(backend) || !script) GTEST_SKIP() << "no PostgreSQL (VKT_PG_PORT)";
        cluster = std::make_unique<TestCluster>(script);
        ASSERT_TRUE(cluster->Init(backend.pgPort + portStep)) << cluster->Log();
        backend.pgPort = cluster->Port();
        host = std::make_unique<TestHost>(true, backend);
    }
    // The stores write to the cluster as the plug-in's user.
    void UseCluster(CWPStores& stores) const {
        CWPSettings settings;
        settings.m_strSource = backend.dataSource;
        settings.m_strUser = "fd";
        settings.m_strPassword = "wendol";
        stores.m_settings.Replace(settings);
    }

    HostDirectory::BackendOptions backend;
    std::unique_ptr<TestCluster> cluster;
    std::unique_ptr<TestHost> host;  // goes before its cluster
};

TEST_F(BackendOutageTest, RowsResumeAfterTheServerIsBackWithoutARestart) {
    StartCluster(1);
    if (!host) return;
    CWPStores stores(host->Dir());
    BuildCatalogue();
    UseCluster(stores);
    std::mutex lock;
    std::vector<std::string> messages;
    VktHost::SetMessageWindow([&](const std::string& text) {
        std::lock_guard<std::mutex> guard(lock);
        messages.push_back(text);
    });

    auto at = [](int minute) { return DateTime(2009, 3, 12, 14, minute, 0); };
    TEST_SaveRTTower(stores.BackendTarget(), SpeedFrame(12, at(0), 1.0f));
    ASSERT_TRUE(RowStored(stores.m_backend, at(0)));

    ASSERT_TRUE(cluster->Run("stop"));
    std::filesystem::create_directory(host->Path("WPData"));
    CWPLocalDB& station = stores.m_stations.FindOrAdd(12);
    for (int minute : {10, 20, 30}) {
        station.TEST_SaveLocalData(
            SpeedFrame(12, at(minute), 2.0f));  // the station file keeps them
        TEST_SaveRTTower(stores.BackendTarget(), SpeedFrame(12, at(minute), 2.0f));
    }
    {
        std::lock_guard<std::mutex> guard(lock);
        // The statement that met the dead connection is reported once; while the
        // server cannot be reached nothing runs and nothing more is reported.
        ASSERT_EQ(messages.size(), 1u);
        EXPECT_EQ(messages[0].rfind("WP Error SQL: SELECT TOWERID,TIME FROM FD_RUN_RTTOWER", 0), 0u)
            << messages[0];
    }

    ASSERT_TRUE(cluster->Run("start"));
    TEST_SaveRTTower(stores.BackendTarget(), SpeedFrame(12, at(40), 3.0f));
    EXPECT_TRUE(RowStored(stores.m_backend, at(40)));
    EXPECT_FALSE(RowStored(stores.m_backend, at(10)));
    EXPECT_FALSE(RowStored(stores.m_backend, at(30)));

    // An export of the outage's range brings every missed row back.
    COutLocalDataThread exporter(stores.BackendTarget(), stores.m_stations);
    exporter.OutStationData(12, at(0), at(40));
    EXPECT_EQ(exporter.CopiedCount(), 3);
    for (int minute : {10, 20, 30}) EXPECT_TRUE(RowStored(stores.m_backend, at(minute)));
    VktHost::SetMessageWindow(nullptr);
}

// The driver's lines are sentences of their own: the error log keeps them apart.
TEST_F(BackendOutageTest, ARefusedConnectionIsToldInItsOwnSentences) {
    if (!PostgresAvailable(backend)) GTEST_SKIP() << "no PostgreSQL driver and server";
    backend.pgPort = 1;  // nothing listens there
    host = std::make_unique<TestHost>(true, backend);
    CWPStores stores(host->Dir());
    BuildCatalogue();
    UseCluster(stores);
    TEST_SaveRTTower(stores.BackendTarget(), SpeedFrame(12, DateTime(2009, 3, 12, 14, 0, 0), 1.0f));
    EXPECT_NE(ReadWholeFile(host->Path(ErrorLog::FileName())).find("Connection refused; Is the"),
              std::string::npos)
        << ReadWholeFile(host->Path(ErrorLog::FileName()));
}

// While the data source cannot be reached: one line when it goes, at most one a
// minute with the statements not run, one when it answers again; not one per attempt.
TEST_F(BackendOutageTest, AnUnreachableBackendIsLoggedOnceAMinuteAndWhenItIsBack) {
    host = std::make_unique<TestHost>();
    CWPStores stores(host->Dir());
    BuildCatalogue();
    ProcessClock::SetNow(DateTime(2009, 3, 12, 14, 0, 0));
    CWPSettings settings;
    settings.m_strSource = "NO_SUCH_SOURCE";
    stores.m_settings.Replace(settings);
    auto logLines = [&](const char* text) {
        const std::string log = ReadWholeFile(host->Path(ErrorLog::FileName()));
        long count = 0;
        for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) {
            ++count;
        }
        return count;
    };
    const DateTime time(2009, 3, 12, 14, 10, 0);
    for (int i = 0; i < 20; ++i)
        TEST_SaveRTTower(stores.BackendTarget(), SpeedFrame(12, time, 1.0f));
    EXPECT_EQ(logLines("NO_SUCH_SOURCE"), 1);
    ProcessClock::SetNow(DateTime(2009, 3, 12, 14, 1, 1));
    for (int i = 0; i < 20; ++i)
        TEST_SaveRTTower(stores.BackendTarget(), SpeedFrame(12, time, 1.0f));
    EXPECT_EQ(logLines("still unreachable ("), 1);
    EXPECT_EQ(logLines("); 20 statements not run since the last line"), 1);
    EXPECT_EQ(logLines("NO_SUCH_SOURCE"), 2);

    settings.m_strSource = "DAVAD";
    stores.m_settings.Replace(settings);
    TEST_SaveRTTower(stores.BackendTarget(), SpeedFrame(12, time, 1.0f));
    EXPECT_EQ(logLines("answers again; 40 statements not run"), 1);
    // The query a record: an insert is not tried after the query could not run.
    EXPECT_EQ(stores.m_backend.LostStatementCount(), 40);
    EXPECT_TRUE(RowStored(stores.m_backend, time));
}

// The server goes away mid-stream and comes back: without anyone exporting, every
// station row of the tower is in the backend afterwards, once, with its value.
TEST_F(BackendOutageTest, AStoppedServerIsRefilledWithoutOperatorAction) {
    StartCluster(2);
    if (!host) return;
    std::filesystem::create_directory(host->Path("WPData"));
    CWPStores stores(host->Dir());
    BuildCatalogue();
    UseCluster(stores);
    CBackendWriterThread::Timing timing;
    timing.pollMs = 10;
    timing.retryMs = 100;
    CBackendWriterThread writer(stores.BackendTarget(), stores.m_stations, stores.m_journal,
                                stores.m_confirmation, timing);
    ASSERT_TRUE(writer.CreateThread());
    auto store = [&](int first, int last) {
        for (int step = first; step <= last; ++step) {
            const DateTime time = DateTime(2009, 3, 12, 0, 0, 0) + DateTimeSpan(0, 0, 10 * step, 0);
            const CDataFrame record = SpeedFrame(12, time, 0.5f * static_cast<float>(step));
            stores.m_stations.FindOrAdd(12).TEST_SaveLocalData(record);
            writer.Enqueue(record);
        }
        return WaitFor([&] { return writer.IsIdle(); });
    };
    ASSERT_TRUE(store(0, 5));
    ASSERT_TRUE(cluster->Run("stop"));
    ASSERT_TRUE(store(6, 11));
    EXPECT_EQ(stores.m_journal.PendingCount(), 1u);
    ASSERT_TRUE(cluster->Run("start"));
    ASSERT_TRUE(store(12, 13));
    ASSERT_TRUE(WaitFor([&] { return stores.m_journal.PendingCount() == 0 && writer.IsIdle(); }));

    const std::string station = host->Path("WPData/WP_12.MDB");
    auto backendValue = [&](const std::string& sql) {
        return QueryDataSource(backend.dataSource, sql);
    };
    EXPECT_EQ(backendValue("SELECT COUNT(DISTINCT TIME) FROM FD_RUN_RTTOWER WHERE TOWERID=12"),
              "14");
    EXPECT_EQ(backendValue("SELECT COUNT(*) FROM FD_RUN_RTTOWER"), "14");
    EXPECT_EQ(QueryFile(station, "SELECT COUNT(*) FROM RTTOWER"), "14");
    EXPECT_DOUBLE_EQ(std::stod(backendValue("SELECT SUM(V1AVGSP) FROM FD_RUN_RTTOWER")),
                     std::stod(QueryFile(station, "SELECT SUM(V1AVGSP) FROM RTTOWER")));
    EXPECT_EQ(backendValue("SELECT COUNT(*) FROM FD_RUN_TOWERHIS WHERE TOWERID=12"),
              QueryFile(station, "SELECT COUNT(*) FROM HSTOWER"));
}

// A hung server (every process stopped) for longer than the shut-down bound: the
// station files keep coming, the backend shows as stalled, VKTLibExit leaves the
// blocked writer behind in time, and the host program ends normally. The writer's
// queue stays in the journal, and a restart after the thaw fills every gap.
TEST_F(BackendOutageTest, AHungServerHoldsUpNeitherTheStationFilesNorTheShutDown) {
    StartCluster(3);
    if (!host) return;
    std::ofstream(host->Path("WPDB.ini"))
        << "[DATABASE]\nSOURCENAME=" << backend.dataSource
        << "\n[LOCALDATA]\nDATALEN=0\n";  // keeps the 2009 rows from the retention thread
    // Four towers, two days: more than the backend takes before it hangs.
    const std::string command =
        std::string(VKT_HOST_PROGRAM) + " run '" + host->Dir() +
        "' --simulate '2009-03-10 00:00:00..2009-03-11 23:50:00' --drain 12 " +
        "--status 1 --linger 0 --plugin '" + std::getenv("VKT_PLUGIN") + "' > '" +
        host->Path("run.txt") + "' 2>&1";
    std::thread hang([&] {
        WaitFor([&] {
            const std::string rows =
                QueryDataSource(backend.dataSource, "SELECT COUNT(*) FROM FD_RUN_RTTOWER");
            return rows != "0" && rows.front() != '<';
        });
        cluster->Run("freeze");
    });
    const auto start = std::chrono::steady_clock::now();
    const int status = std::system(command.c_str());
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    hang.join();
    cluster->Run("thaw");
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 3)
        << command << "\n"
        << ReadWholeFile(host->Path("run.txt"));
    EXPECT_LT(seconds, 30.0) << "the stall seen within the drain, then the exit bound";
    for (const char* file : {"WPData/WP_1.MDB", "WPData/WP_2.MDB", "WPData/WP_3.MDB"}) {
        EXPECT_EQ(QueryFile(host->Path(file), "SELECT COUNT(*) FROM RTTOWER"), "288") << file;
    }
    const std::string log = ReadWholeFile(host->Path(ErrorLog::FileName()));
    EXPECT_NE(log.find("left blocked: backend writer"), std::string::npos) << log;
    long pending = 0;
    for (const char* file :
         {"WPData/WP_1.MDB", "WPData/WP_2.MDB", "WPData/WP_3.MDB", "WPData/WP_12.MDB"}) {
        pending += std::atol(QueryFile(host->Path(file), "SELECT COUNT(*) FROM REFILL").c_str());
    }
    EXPECT_GT(pending, 0) << "the queue the writer could not write is journaled";
    EXPECT_NE(log.find("Backend stalled: a statement has not returned since"), std::string::npos)
        << log;
    EXPECT_NE(ReadWholeFile(host->Path("run.txt")).find(", stalled since "), std::string::npos);

    std::ofstream(host->Path("empty.jsonl"));
    const std::string restart = std::string(VKT_HOST_PROGRAM) + " run '" + host->Dir() +
                                "' --frames '" + host->Path("empty.jsonl") +
                                "' --drain 60 --linger 0 --plugin '" + std::getenv("VKT_PLUGIN") +
                                "' > '" + host->Path("restart.txt") + "' 2>&1";
    ASSERT_EQ(std::system(restart.c_str()), 0) << ReadWholeFile(host->Path("restart.txt"));
    EXPECT_EQ(QueryDataSource(backend.dataSource, "SELECT COUNT(*) FROM FD_RUN_RTTOWER"), "1152")
        << "288 ten-minute rows of each of the four towers";
    EXPECT_EQ(QueryDataSource(backend.dataSource, "SELECT COUNT(*) FROM FD_RUN_TOWERHIS"), "192");
}

}  // namespace
