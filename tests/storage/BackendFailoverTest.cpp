// A backend that fails over: a server that goes away or takes no writes while a
// statement runs, and a primary replaced by its promoted standby while frames flow.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "platform/ErrorLog.h"
#include "platform/OdbcHandles.h"
#include "platform/OdbcQuery.h"
#include "storage/BackendWriter.h"
#include "storage/WPLocalDB.h"
#include "tests/support/BackendProductTest.h"
#include "tests/support/HostBackendRun.h"
#include "tests/support/TestCluster.h"
#include "tests/support/TowerData.h"

namespace {

// The data source's statement that makes the server end its own session.
constexpr const char* kEndSession =
    "CREATE OR REPLACE FUNCTION end_session() RETURNS trigger LANGUAGE plpgsql AS $$ "
    "BEGIN PERFORM pg_terminate_backend(pg_backend_pid()); RETURN NEW; END $$";

class BackendLostServerTest : public BackendProductTest {
protected:
    void TearDown() override {
        if (stores) Backend().TEST_ExecBackendSQL("DROP FUNCTION IF EXISTS end_session() CASCADE");
        BackendProductTest::TearDown();
    }
};

// A statement that meets a server going away, or one that takes no writes, says nothing
// about its row: the live writer (one record, or a group in one batch) and the refill
// leave it pending (NotRun), never refused nor present, and the refill fills it once a
// writable server answers.
TEST_P(BackendLostServerTest, ARowTheServerDidNotTakeStaysPendingUntilItDoes) {
    const struct {
        const char* name;
        std::function<void()> on;  // before each try
    } faults[] = {
        {"a session turned read-only",
         [&] {
             ASSERT_TRUE(Backend().TEST_ExecBackendSQL(
                 "SET SESSION CHARACTERISTICS AS TRANSACTION READ ONLY"));
         }},
        {"the session ended at the insert",
         [&] {
             ASSERT_TRUE(Backend().TEST_ExecBackendSQL(kEndSession));
             ASSERT_TRUE(Backend().TEST_ExecBackendSQL(
                 "CREATE OR REPLACE TRIGGER END_AT_INSERT BEFORE INSERT ON FD_RUN_RTTOWER FOR "
                 "EACH ROW EXECUTE FUNCTION end_session()"));
         }},
        {"the session ended at the commit",
         [&] {
             ASSERT_TRUE(Backend().TEST_ExecBackendSQL(kEndSession));
             Backend().TEST_ExecBackendSQL(
                 "DROP TRIGGER IF EXISTS END_AT_COMMIT ON FD_RUN_RTTOWER");
             ASSERT_TRUE(Backend().TEST_ExecBackendSQL(
                 "CREATE CONSTRAINT TRIGGER END_AT_COMMIT AFTER INSERT ON FD_RUN_RTTOWER "
                 "DEFERRABLE INITIALLY DEFERRED FOR EACH ROW EXECUTE FUNCTION end_session()"));
         }},
    };
    std::filesystem::create_directory(host->Path("WPData"));
    CWPLocalDB& station = stores->m_stations.FindOrAdd(12);
    int minute = 0;
    for (const auto& fault : faults) {
        SCOPED_TRACE(fault.name);
        // Two rows, off the full hour: a group of records and a refill unit go in one
        // batch.
        minute += 20;
        const DateTime first = DateTime(2009, 3, 12, 14, 5, 0) + DateTimeSpan(0, 0, minute, 0);
        const DateTime last = first + DateTimeSpan(0, 0, 10, 0);
        const DateTime from = first - DateTimeSpan(0, 0, 10, 0);
        std::vector<CDataFrame> records;
        for (const DateTime& time : {first, last}) {
            records.push_back(FrameOf(12, time, {Item(7000, 4.5f, time)}));
            station.TEST_SaveLocalData(records.back());
        }
        const std::string stored =
            "SELECT SUM(V1AVGSP) FROM FD_RUN_RTTOWER WHERE TOWERID=12 AND "
            "TIME>{ts '" +
            from.Format() + "'} AND TIME<={ts '" + last.Format() + "'}";

        fault.on();
        EXPECT_EQ(SaveTowerRecord(stores->BackendTarget(), records[0]), BackendOutcome::NotRun);
        fault.on();
        EXPECT_EQ(SaveTowerRecords(stores->BackendTarget(), {&records[0], &records[1]}),
                  BackendOutcome::NotRun);
        fault.on();
        CExportCounts counts;
        EXPECT_FALSE(station.RefillRange(stores->BackendTarget(), from, last, counts))
            << "the range stays to do";
        EXPECT_EQ(counts.m_nFailed + counts.m_nPresent + counts.m_nCopied, 0);
        EXPECT_EQ(Value(stored), "");

        Backend().TEST_ExecBackendSQL("DROP FUNCTION IF EXISTS end_session() CASCADE");
        Backend().DisconnectBackend();
        counts = {};
        EXPECT_TRUE(station.RefillRange(stores->BackendTarget(), from, last, counts));
        EXPECT_EQ(counts.m_nCopied, 2);
        EXPECT_DOUBLE_EQ(Number(stored), 9.0);
    }
}

INSTANTIATE_TEST_SUITE_P(PostgreSQL, BackendLostServerTest, ::testing::Values(Product::PostgreSQL),
                         ProductName);

// A primary on 127.0.0.1 and its hot standby on 127.0.0.2 on one port of their own
// (the pair again on the next free port when the standby cannot start on this one), and
// a host directory whose data source names `order` of them ("standby,primary").
struct ServerPair {
    ServerPair(int offset, bool synchronous, bool standbyFirst) {
        const char* script = std::getenv("VKT_PG_SCRIPT");
        if (!PostgresAvailable(backend) || !script) return;
        primary = std::make_unique<TestCluster>(script, "127.0.0.1");
        standby = std::make_unique<TestCluster>(script, "127.0.0.2");
        for (int attempt = 0, first = backend.pgPort + offset; attempt < 2 && !made; ++attempt) {
            if (!primary->Init(first, {standby->Address()})) break;
            made = standby->InitStandby(*primary, synchronous);
            first = primary->Port() + TestCluster::kPortStep;
        }
        if (!made) return;
        backend.pgPort = primary->Port();
        backend.pgHost = standbyFirst ? standby->Address() + "," + primary->Address()
                                      : primary->Address() + "," + standby->Address();
        host = std::make_unique<TestHost>(true, backend);
        std::ofstream(host->Path("WPDB.ini"))
            << "[DATABASE]\nSOURCENAME=" << backend.dataSource << "\n[LOCALDATA]\nDATALEN=0\n";
    }
    std::string Log() const { return made ? "" : primary->Log() + standby->Log(); }

    HostDirectory::BackendOptions backend;
    std::unique_ptr<TestCluster> primary, standby;
    std::unique_ptr<TestHost> host;
    bool made = false;
};

long RowCount(const TestCluster& server) {
    const std::string count = server.Value("SELECT COUNT(*) FROM FD_RUN_RTTOWER");
    return count.empty() || count[0] == '<' ? -1L : std::atol(count.c_str());
}

// The standby named first in the data source. The host simulates frames; mid-stream the
// primary stops, the writer passes over the read-only standby, the standby is promoted,
// and the writer goes on there by itself, its refill filling the gap: every station row
// in the new primary once with its values, and no write ever tried on the standby.
TEST(BackendFailoverTest, APromotedStandbyGetsEveryStationRowOnceWithoutOperatorAction) {
    ServerPair pair(4, true, true);
    if (!pair.primary) GTEST_SKIP() << "no PostgreSQL (VKT_PG_PORT)";
    ASSERT_TRUE(pair.made) << pair.Log();
    const TestCluster &primary = *pair.primary, &standby = *pair.standby;
    // The standby applies what it receives an hour late: read there, the rows are not.
    standby.Value("ALTER SYSTEM SET recovery_min_apply_delay = '1h'", "postgres");
    standby.Value("SELECT pg_reload_conf()", "postgres");
    SimulatingHost run(*pair.host, 40);
    const std::string errorLog = pair.host->Path(ErrorLog::FileName());
    ASSERT_TRUE(WaitFor([&] { return RowCount(primary) >= 40; })) << run.Output();
    // The report reads the server that takes writes, as the plug-in writes it.
    EXPECT_EQ(RowCount(standby), 0);
    const std::string report =
        std::string(VKT_HOST_PROGRAM) + " report '" + pair.host->Dir() + "' 2>&1";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(report.c_str(), "r"), pclose);
    std::string printed;
    for (char buffer[512]; pipe && std::fgets(buffer, sizeof buffer, pipe.get());)
        printed += buffer;
    const size_t count = printed.find("FD_RUN_RTTOWER: ");
    ASSERT_NE(count, std::string::npos) << printed;
    EXPECT_GE(std::atol(printed.c_str() + count + 16), 40) << printed;
    const long beforeStop = RowCount(primary);
    ASSERT_TRUE(primary.Run("stop")) << primary.Log();
    // With the primary gone the writer's next connect finds only the read-only standby,
    // and takes it for no backend.
    ASSERT_TRUE(WaitFor([&] {
        return ReadWholeFile(errorLog).find("backend rows are not written until it answers") !=
               std::string::npos;
    })) << ReadWholeFile(errorLog);
    ASSERT_TRUE(standby.Run("promote")) << standby.Log();
    ASSERT_TRUE(WaitFor([&] { return RowCount(standby) >= beforeStop + 40; }))
        << ReadWholeFile(errorLog);
    EXPECT_EQ(run.Stop(), 0) << run.Output();
    ExpectEveryStationRowIn(standby.ConnectionString(), *pair.host, {"1", "2", "3", "12"}, 80);
    // The standby was passed over at connect; no statement ever met it read-only.
    const std::string log = ReadWholeFile(errorLog);
    EXPECT_EQ(log.find("read-only transaction"), std::string::npos) << log;
    const std::string standbyLog = ReadWholeFile(standby.Dir() + "/log");
    EXPECT_EQ(standbyLog.find("read-only transaction"), std::string::npos)
        << "a write tried on the standby\n"
        << standbyLog;
    EXPECT_NE(log.find("answers again"), std::string::npos) << log;
}

// An asynchronous standby cut off from its primary misses rows the primary confirmed;
// promoted, it is another history of the server: the writer compares the station rows
// of the look-back window with it and writes what it lacks. The old primary started
// again without being fenced (named first in the data source) is on an older timeline:
// nothing is written there, the host waits as in an outage until it is gone, and every
// station row ends up in the new primary once.
TEST(BackendFailoverTest, AsynchronousLossIsRefilledAndAnUnfencedOldPrimaryIsNeverWritten) {
    ServerPair pair(6, false, false);
    if (!pair.primary) GTEST_SKIP() << "no PostgreSQL (VKT_PG_PORT)";
    ASSERT_TRUE(pair.made) << pair.Log();
    TestCluster &primary = *pair.primary, &standby = *pair.standby;
    SimulatingHost run(*pair.host, 40);
    const std::string errorLog = pair.host->Path(ErrorLog::FileName());
    auto logged = [&](const char* text) {
        return WaitFor([&] { return ReadWholeFile(errorLog).find(text) != std::string::npos; });
    };
    ASSERT_TRUE(WaitFor([&] { return RowCount(primary) >= 40; })) << run.Output();
    // Replication cut: what the primary takes now only it has.
    ASSERT_TRUE(standby.Run("stop")) << standby.Log();
    const long cut = RowCount(primary);
    ASSERT_TRUE(WaitFor([&] { return RowCount(primary) >= cut + 40; })) << run.Output();
    ASSERT_TRUE(primary.Run("stop")) << primary.Log();
    ASSERT_TRUE(standby.Run("start")) << standby.Log();
    ASSERT_TRUE(standby.Run("promote")) << standby.Log();
    ASSERT_TRUE(logged("The backend is another server now")) << ReadWholeFile(errorLog);
    ASSERT_TRUE(logged(" rows refilled for ")) << ReadWholeFile(errorLog);

    // The old primary back, unfenced, first in the data source; the host's session on
    // the new one ends, so that its next connect finds the old one.
    ASSERT_TRUE(primary.Run("start")) << primary.Log();
    const long onOldPrimary = RowCount(primary);
    standby.Value(
        "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE usename = 'fd' "
        "AND pid <> pg_backend_pid()",
        "postgres");
    ASSERT_TRUE(logged("a former primary that was not fenced")) << ReadWholeFile(errorLog);
    const long waiting = RowCount(standby);
    ASSERT_TRUE(primary.Run("stop")) << primary.Log();
    ASSERT_TRUE(WaitFor([&] { return RowCount(standby) >= waiting + 40; }))
        << ReadWholeFile(errorLog);
    EXPECT_EQ(run.Stop(), 0) << run.Output();
    ExpectEveryStationRowIn(standby.ConnectionString(), *pair.host, {"1", "2", "3", "12"}, 80);
    ASSERT_TRUE(primary.Run("start")) << primary.Log();
    EXPECT_EQ(RowCount(primary), onOldPrimary) << "rows written to the unfenced old primary";
}

}  // namespace
