// The batch jobs against the backend products: rainfall recalculation and export.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <mutex>

#include "hostlib/HostSide.h"
#include "hostlib/VktBase.h"
#include "model/Catalogue.h"
#include "platform/Clock.h"
#include "platform/ErrorLog.h"
#include "platform/MessageLayer.h"
#include "platform/ProgressModel.h"
#include "storage/OutLocalDataThread.h"
#include "storage/WPRainProcThread.h"
#include "storage/WPStores.h"
#include "tests/support/BackendProductTest.h"
#include "tests/support/TestHost.h"
#include "tests/support/TowerData.h"

namespace {

DateTime At(int day, int hour, int minute = 0) {
    return DateTime(2009, 3, day, hour, minute, 0);
}

class BatchStoreTest : public BackendProductTest {
protected:
    void SetUp() override {
        BackendProductTest::SetUp();
        if (IsSkipped()) return;
        std::filesystem::create_directory(host->Path("WPData"));  // made when the plug-in loads
    }
};

// The recalculation writes the counter's rise at every full hour after the first; a
// gauge reset is no negative rainfall, and a missing counter is no base.
TEST_P(BatchStoreTest, RainfallIsRecomputedFromTheCounterAtFullHours) {
    const struct {
        DateTime time;
        const char* cycle;
        double rainBefore;
        double rainAfter;
    } rows[] = {
        {At(12, 10), "5", 0, 0},       {At(12, 10, 10), "6", 0, 0},  // not a full hour
        {At(12, 11), "7.5", 0, 2.5},   {At(12, 12), "7.5", 0, 0},
        {At(12, 13), "0.5", -29.5, 0},  // a gauge reset
        {At(12, 14), "NULL", 0, 0},     // a missing counter: no update, no base
        {At(12, 15), "1", 9, 9},        // the new base: not updated itself
        {At(12, 16), "1.5", 0, 0.5},   {At(12, 17), "-99", 3, 3},
        {At(12, 18), "2", 0, 0},  // after a missing counter again: a base
    };
    for (const auto& row : rows) {
        ASSERT_TRUE(Backend().TEST_ExecBackendSQL(
            "INSERT INTO FD_RUN_RTTOWER(TOWERID,TIME,CYCLE,RAIN) VALUES(900,{ts '" +
            row.time.Format() + "'}," + row.cycle + "," + std::to_string(row.rainBefore) + ")"));
    }
    stores->m_assignments.Assign(12, 900);
    CWPRainProcThread rain(stores->BackendTarget());
    rain.ReCalRain(12, At(12, 10), At(12, 18));
    for (const auto& row : rows) {
        EXPECT_DOUBLE_EQ(Number("SELECT RAIN FROM FD_RUN_RTTOWER WHERE TOWERID=900 AND TIME={ts '" +
                                row.time.Format() + "'}"),
                         row.rainAfter)
            << row.time.Format();
    }
    std::lock_guard<std::mutex> guard(lock);
    EXPECT_TRUE(messages.empty());
}

// Rows of (start, end] of a station database go to the backend under the tower id;
// offering them again copies nothing, logs nothing and keeps the connection.
TEST_P(BatchStoreTest, AnExportCopiesTheRangeOnceAndAgainCopiesNothing) {
    stores->m_assignments.Assign(12, 900);
    CWPLocalDB& station = stores->m_stations.FindOrAdd(12);
    const DateTime extremeAt(2009, 3, 10, 11, 44, 37);
    for (const DateTime& time : {At(10, 0), At(10, 12), At(11, 0)}) {
        station.TEST_SaveLocalData(
            FrameOf(12, time,
                          {Item(7000, 5.5f, time), Item(8200, -99.0f, time), Item(9000, 4.0f, time),
                           Item(9301, 202.0f, extremeAt, 8)}));
    }
    // All three are full hours; the rows at the start time are not exported.
    COutLocalDataThread exporter(stores->BackendTarget(), stores->m_stations);
    ASSERT_TRUE(exporter.CreateThread());
    const std::string rows = "SELECT COUNT(*) FROM FD_RUN_RTTOWER WHERE TOWERID=900";
    SQLHDBC connection = nullptr;
    for (int round = 0; round < 2; ++round) {
        const size_t logBefore = ErrorLogText().size();
        const WindowHandle window = MessageLayer::RegisterWindow([](const Message&) {});
        ASSERT_TRUE(exporter.StartJob({12}, At(10, 0), At(11, 0), window));
        ASSERT_TRUE(WaitFor([&] { return !exporter.IsBusy(); }));
        MessageLayer::UnregisterWindow(window);
        EXPECT_EQ(exporter.CopiedCount(), round == 0 ? 4 : 0) << "2 ten-minute, 2 hourly rows";
        EXPECT_EQ(exporter.PresentCount(), round == 0 ? 0 : 4);
        EXPECT_EQ(exporter.FailedCount(), 0);
        EXPECT_EQ(ErrorLogText().size(), logBefore) << ErrorLogText().substr(logBefore);
        RecursiveMutexLock guard(Backend().BackendLock());
        if (round == 1) {
            EXPECT_EQ(Backend().BackendConnection(), connection) << "kept";
        }
        connection = Backend().BackendConnection();
    }
    EXPECT_EQ(Value(rows), "2");
    EXPECT_EQ(Value("SELECT COUNT(*) FROM FD_RUN_RTTOWER WHERE TOWERID=900 AND TIME={ts "
                    "'2009-03-10 00:00:00'}"),
              "0")
        << "the start time is not in the range";
    EXPECT_DOUBLE_EQ(Number("SELECT V1TEMP FROM FD_RUN_RTTOWER WHERE TOWERID=900 AND TIME={ts "
                            "'2009-03-11 00:00:00'}"),
                     -99.0);
    EXPECT_EQ(Value("SELECT TYPE FROM FD_RUN_TOWERHIS WHERE TOWERID=900"), "1");
    EXPECT_EQ(Value("SELECT V3MAXTM FROM FD_RUN_TOWERHIS WHERE TOWERID=900"), "")
        << "an empty extreme time stays NULL";
    EXPECT_EQ(Value("SELECT V2MAXTM FROM FD_RUN_TOWERHIS WHERE TOWERID=900").substr(0, 19),
              "2009-03-10 11:44:37");
    std::lock_guard<std::mutex> guard(lock);
    EXPECT_TRUE(messages.empty());
}

// A day goes to the backend in one transaction, yet a row the backend refuses takes no
// other with it, whether the refusal keeps the connection or drops it. A second row of
// a time is present to the export, refused (and reported) to the refill.
TEST_P(BatchStoreTest, ARefusedRowLosesNoneOfTheOthersOfItsDay) {
    Use([](CWPSettings& s) { s.m_nType = 1; });
    stores->m_assignments.Assign(12, 900);
    CWPLocalDB& station = stores->m_stations.FindOrAdd(12);
    const float values[] = {1, 13, 3, 4, 6};  // 13 is refused
    for (int i = 0; i < 5; ++i) {
        const DateTime time = At(10, 10, 10 * i);
        station.TEST_SaveLocalData(FrameOf(12, time, {Item(7000, values[i], time)}));
    }
    // The 10:20 row once more under another time text: two rows of one backend key.
    ASSERT_TRUE(station.ExecLocalSQL(
        "INSERT INTO RTTOWER([TIME],V1AVGSP) VALUES('2009-03-10 10:20:00.0',3)"));
    const struct {
        bool refill;
        bool asError;
        long present, failed;
    } cases[] = {
        {false, false, 1, 1}, {false, true, 1, 1}, {true, false, 0, 2}, {true, true, 0, 2}};
    for (const auto& c : cases) {
        const std::string name = std::string(c.refill ? "refill" : "export") +
                                 (c.asError ? ", refused with an error" : ", refused");
        RefuseThirteen("FD_RUN_RTTOWER", c.asError);
        Backend().TEST_ExecBackendSQL("DELETE FROM FD_RUN_RTTOWER");
        CExportCounts counts;
        if (c.refill) {
            EXPECT_TRUE(station.RefillRange(stores->BackendTarget(), At(10, 0), At(11, 0), counts))
                << name;
        } else {
            station.OutLocalRange(stores->BackendTarget(), At(10, 0), At(11, 0), counts);
        }
        EXPECT_EQ(counts.m_nCopied, 4) << name;
        EXPECT_EQ(counts.m_nPresent, c.present) << name;
        EXPECT_EQ(counts.m_nFailed, c.failed) << name;
        EXPECT_EQ(Value("SELECT COUNT(*) FROM FD_RUN_RTTOWER WHERE TOWERID=900"), "4") << name;
        EXPECT_DOUBLE_EQ(Number("SELECT SUM(V1AVGSP) FROM FD_RUN_RTTOWER"), 14.0) << name;
    }
    // Refusals are a failure run: the first in full, the rest counted.
    std::lock_guard<std::mutex> guard(lock);
    EXPECT_EQ(messages.size(), 1u);
}

TEST_P(BatchStoreTest, WindFarmKindOneExportsNoHourlyRows) {
    Use([](CWPSettings& s) { s.m_nType = 1; });
    CWPLocalDB& station = stores->m_stations.FindOrAdd(13);
    station.TEST_SaveLocalData(FrameOf(13, At(10, 12), {Item(9000, 4.0f, At(10, 12))}));
    COutLocalDataThread exporter(stores->BackendTarget(), stores->m_stations);
    exporter.OutStationData(13, At(10, 0), At(11, 0));
    EXPECT_EQ(Value("SELECT COUNT(*) FROM FD_RUN_RTTOWER WHERE TOWERID=13"), "1");
    EXPECT_EQ(Value("SELECT COUNT(*) FROM FD_RUN_TOWERHIS WHERE TOWERID=13"), "0");
}

// A duplicate says nothing about the connection: the live writer's statement is
// reported, and the connection stays.
TEST_P(BatchStoreTest, ABrokenConstraintKeepsTheConnection) {
    const std::string insert =
        "INSERT INTO FD_RUN_RTTOWER(TOWERID,TIME) VALUES(5,{ts '2009-03-12 14:10:00'})";
    ASSERT_TRUE(Backend().TEST_ExecBackendSQL(insert));
    SQLHDBC connection = nullptr;
    {
        RecursiveMutexLock guard(Backend().BackendLock());
        connection = Backend().BackendConnection();
    }
    EXPECT_FALSE(Backend().TEST_ExecBackendSQL(insert));
    EXPECT_EQ(Backend().InsertBackendRow(insert), BackendOutcome::AlreadyPresent);
    RecursiveMutexLock guard(Backend().BackendLock());
    EXPECT_EQ(Backend().BackendConnection(), connection);
    std::lock_guard<std::mutex> messagesGuard(lock);
    EXPECT_EQ(messages.size(), 1u) << "the live writer's refusal only";
}

// The export writes where the live writer does: under the schema prefix.
TEST_P(BatchStoreTest, AnExportWritesUnderTheSchemaPrefix) {
    if (GetParam() == Product::SQLite) GTEST_SKIP() << "SQLite has no schemas";
    Use([](CWPSettings& s) { s.m_strPreName = "ext"; });
    CWPLocalDB& station = stores->m_stations.FindOrAdd(12);
    station.TEST_SaveLocalData(
        FrameOf(12, At(10, 12, 10), {Item(7000, 5.5f, At(10, 12, 10))}));
    COutLocalDataThread exporter(stores->BackendTarget(), stores->m_stations);
    exporter.OutStationData(12, At(10, 0), At(11, 0));
    EXPECT_EQ(Value("SELECT COUNT(*) FROM ext.FD_RUN_RTTOWER WHERE TOWERID=12"), "1");
    EXPECT_EQ(Value("SELECT COUNT(*) FROM FD_RUN_RTTOWER WHERE TOWERID=12"), "0");
}

// A TIME that does not read is skipped, with one error-log line per unit and job.
TEST_P(BatchStoreTest, RowsWithAnUnreadableTimeAreSkippedAndCounted) {
    if (GetParam() == Product::PostgreSQL) GTEST_SKIP() << "its TIME columns hold times only";
    CWPLocalDB& station = stores->m_stations.FindOrAdd(12);
    station.TEST_SaveLocalData(
        FrameOf(12, At(10, 12, 10), {Item(7000, 5.5f, At(10, 12, 10))}));
    station.ExecLocalSQL("INSERT INTO RTTOWER([TIME]) VALUES('2009-03-10 25:00:00')");
    COutLocalDataThread exporter(stores->BackendTarget(), stores->m_stations);
    exporter.OutStationData(12, At(10, 0), At(11, 0));
    EXPECT_EQ(exporter.CopiedCount(), 1);

    for (const char* time :
         {"'2009-03-12 10:00:00'", "'2009-03-12 10:30:99'", "'2009-03-12 11:00:00'"}) {
        Backend().TEST_ExecBackendSQL(
            std::string("INSERT INTO FD_RUN_RTTOWER(TOWERID,TIME,CYCLE,RAIN) VALUES(12,") + time +
            ",5,0)");
    }
    CWPRainProcThread rain(stores->BackendTarget());
    rain.ReCalRain(12, At(12, 0), At(12, 23));
    const std::string log = ErrorLogText();
    EXPECT_NE(log.find("Export of station 12"), std::string::npos) << log;
    EXPECT_NE(log.find("1 rows with an unreadable TIME skipped"), std::string::npos) << log;
    EXPECT_NE(log.find("Rainfall recalculation of tower 12: 1 rows"), std::string::npos) << log;
}

INSTANTIATE_TEST_SUITE_P(Products, BatchStoreTest,
                         ::testing::Values(Product::SQLite, Product::PostgreSQL), ProductName);

// The periodic job: from minute 5 of an hour, once an hour, at once after start-up.
TEST(RainPeriodicTest, OnceAnHourFromMinuteFive) {
    TestHost host;
    CWPStores stores(host.Dir());
    struct Probe : CWPRainProcThread {
        using CWPRainProcThread::CWPRainProcThread;
        using CWPRainProcThread::PeriodicCheck;
    } rain(stores.BackendTarget());
    const struct {
        int hour, minute;
        long runs;
    } checks[] = {{14, 3, 0}, {14, 5, 1}, {14, 30, 1}, {15, 4, 1}, {15, 5, 2}, {15, 59, 2}};
    for (const auto& c : checks) {
        rain.PeriodicCheck(DateTime(2009, 3, 12, c.hour, c.minute, 0));
        EXPECT_EQ(rain.PeriodicRunCount(), c.runs) << c.hour << ":" << c.minute;
    }
}

}  // namespace
