// The backend server goes away while frames flow and comes back.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>

#include "hostlib/HostSide.h"
#include "model/Catalogue.h"
#include "platform/Clock.h"
#include "platform/ErrorLog.h"
#include "platform/OdbcHandles.h"
#include "storage/BackendDB.h"
#include "storage/BackendWriter.h"
#include "storage/OutLocalDataThread.h"
#include "storage/WPContext.h"
#include "tests/support/TestHost.h"

namespace {

// A cluster of this test's own, so that stopping it disturbs no other test.
class OwnCluster {
public:
    OwnCluster(const std::string& script, int port) : m_script(script), m_port(port) {
        char pattern[] = "/tmp/vkt-pg-outage-XXXXXX";
        m_dir = mkdtemp(pattern);
        m_ok = Run("init");
    }
    ~OwnCluster() {
        Run("stop");
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
    }
    bool Ok() const { return m_ok; }
    bool Run(const std::string& command) {
        const std::string line = "bash '" + m_script + "' " + command + " '" + m_dir + "' " +
                                 std::to_string(m_port) + " >/dev/null 2>&1";
        return std::system(line.c_str()) == 0;
    }

private:
    std::string m_script, m_dir;
    int m_port;
    bool m_ok = false;
};

CTowerRecord Record(const DateTime& time, float value) {
    CTowerRecord record;
    record.m_nRTUID = 12;
    record.m_nKind = 1;
    record.m_tTime = time;
    CDataItem item;
    item.m_nSensorID = 1207000;
    item.m_nDataID = 7000;
    item.m_tTime = time;
    item.m_fValue = value;
    record.m_arItems.push_back(item);
    return record;
}

bool RowStored(CBackendDB& backend, const DateTime& time) {
    RecursiveMutexLock guard(backend.BackendLock());
    OdbcStatement stmt = backend.GetBackendStmt();
    SQLHSTMT hstmt = stmt.Get();
    if (!hstmt) return false;
    std::string sql =
        "SELECT V1AVGSP FROM FD_RUN_RTTOWER WHERE TOWERID=12 AND TIME={ts '" + time.Format() + "'}";
    return Odbc::Succeeded(SQLExecDirect(hstmt, reinterpret_cast<SQLCHAR*>(sql.data()), SQL_NTS)) &&
           Odbc::Succeeded(SQLFetch(hstmt));
}

TEST(BackendOutageTest, RowsResumeAfterTheServerIsBackWithoutARestart) {
    HostDirectory::BackendOptions backend;
    const char* script = std::getenv("VKT_PG_SCRIPT");
    if (!PostgresAvailable(backend) || !script) GTEST_SKIP() << "no PostgreSQL (VKT_PG_PORT)";
    backend.pgPort += 1;
    OwnCluster cluster(script, backend.pgPort);
    ASSERT_TRUE(cluster.Ok());
    TestHost host(true, backend);
    CWPContext context(host.Dir());
    BuildCatalogue();
    CWPSettings settings;
    settings.m_strSource = backend.dataSource;
    settings.m_strUser = "fd";
    settings.m_strPassword = "wendol";
    context.m_settings.Replace(settings);
    std::mutex lock;
    std::vector<std::string> messages;
    VktHost::SetMessageWindow([&](const std::string& text) {
        std::lock_guard<std::mutex> guard(lock);
        messages.push_back(text);
    });

    auto at = [](int minute) { return DateTime(2009, 3, 12, 14, minute, 0); };
    SaveRTTower(context, Record(at(0), 1.0f));
    ASSERT_TRUE(RowStored(context.m_backend, at(0)));

    ASSERT_TRUE(cluster.Run("stop"));
    std::filesystem::create_directory(host.Path("WPData"));
    CWPLocalDB& station = context.m_stations.FindOrAdd(12);
    for (int minute : {10, 20, 30}) {
        station.SaveLocalData(Record(at(minute), 2.0f));  // the station file keeps them
        SaveRTTower(context, Record(at(minute), 2.0f));
    }
    {
        std::lock_guard<std::mutex> guard(lock);
        // The statement that met the dead connection is reported once; while the
        // server cannot be reached nothing runs and nothing more is reported.
        ASSERT_EQ(messages.size(), 1u);
        EXPECT_EQ(messages[0].rfind("WP Error SQL: SELECT TOWERID,TIME FROM FD_RUN_RTTOWER", 0), 0u)
            << messages[0];
    }

    ASSERT_TRUE(cluster.Run("start"));
    SaveRTTower(context, Record(at(40), 3.0f));
    EXPECT_TRUE(RowStored(context.m_backend, at(40)));
    EXPECT_FALSE(RowStored(context.m_backend, at(10)));
    EXPECT_FALSE(RowStored(context.m_backend, at(30)));

    // An export of the outage's range brings every missed row back.
    COutLocalDataThread exporter(context);
    exporter.OutStationData(12, at(0), at(40));
    EXPECT_EQ(exporter.CopiedCount(), 3);
    for (int minute : {10, 20, 30}) EXPECT_TRUE(RowStored(context.m_backend, at(minute)));
    VktHost::SetMessageWindow(nullptr);
}

// While the data source cannot be reached: one line when it goes, at most one a
// minute with the statements lost, one when it answers again; not one per attempt.
TEST(BackendOutageTest, AnUnreachableBackendIsLoggedOnceAMinuteAndWhenItIsBack) {
    TestHost host;
    CWPContext context(host.Dir());
    BuildCatalogue();
    ProcessClock::SetNow(DateTime(2009, 3, 12, 14, 0, 0));
    CWPSettings settings;
    settings.m_strSource = "NO_SUCH_SOURCE";
    context.m_settings.Replace(settings);
    auto logLines = [&](const char* text) {
        const std::string log = ReadWholeFile(host.Path(ErrorLog::FileName()));
        long count = 0;
        for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) {
            ++count;
        }
        return count;
    };
    const DateTime time(2009, 3, 12, 14, 10, 0);
    for (int i = 0; i < 20; ++i) SaveRTTower(context, Record(time, 1.0f));
    EXPECT_EQ(logLines("NO_SUCH_SOURCE"), 1);
    ProcessClock::SetNow(DateTime(2009, 3, 12, 14, 1, 1));
    for (int i = 0; i < 20; ++i) SaveRTTower(context, Record(time, 1.0f));
    EXPECT_EQ(logLines("still unreachable; 20 statements lost"), 1);
    EXPECT_EQ(logLines("NO_SUCH_SOURCE"), 2);

    settings.m_strSource = "DAVAD";
    context.m_settings.Replace(settings);
    SaveRTTower(context, Record(time, 1.0f));
    EXPECT_EQ(logLines("answers again; 40 statements lost"), 1);
    // The query a record: an insert is not tried after the query could not run.
    EXPECT_EQ(context.m_backend.LostStatementCount(), 40);
    EXPECT_TRUE(RowStored(context.m_backend, time));
}

}  // namespace
