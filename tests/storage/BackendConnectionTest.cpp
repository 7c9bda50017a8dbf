// The backend's connection string: whatever the settings and the data source hold, the
// client's limits apply and every value reaches the server as it is.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/BackendConnectionString.h"
#include "platform/OdbcHandles.h"
#include "platform/OdbcIni.h"
#include "storage/BackendServer.h"
#include "storage/WPStores.h"
#include "tests/support/TestCluster.h"
#include "tests/support/TestHost.h"

namespace {

using BackendConnection::ConnectionString;
using BackendConnection::PqOptions;

// The data source's own libpq options stay, but not against the client's limits; a
// value the string cannot carry as it is goes braced or quoted; what cannot be named
// is refused with the reason.
TEST(BackendConnectionStringTest, MergesTheDataSourcesOptionsUnderTheClientsLimits) {
    std::string error;
    const std::string text = ConnectionString("WP", "fd", "p}w",
                                              "sslmode=verify-full  connect_timeout=99 "
                                              "application_name='a b\\'c'",
                                              error);
    const std::string limits =
        "keepalives='1' keepalives_idle='10' keepalives_interval='5' keepalives_count='3' "
        "tcp_user_timeout='30000' connect_timeout='10' target_session_attrs='read-write'";
    EXPECT_EQ(text,
              "DSN=WP;UID=fd;PWD={p}}w};pqopt={sslmode='verify-full' "
              "application_name='a b\\'c' " +
                  limits + "};Protocol=7.4-1");
    // A user name psqlODBC would cut or keep braced goes to libpq, quoted.
    EXPECT_EQ(ConnectionString("WP", "a;{b}", "", "", error),
              "DSN=WP;PWD={};pqopt={" + limits + " user='a;{b}}'};Protocol=7.4-1");

    const struct {
        const char *source, *options, *reason;
    } refused[] = {
        {"W;P", "", "holds a \";\""},
        {"W{P}", "", "holds a \";\""},
        {"WP", "sslmode", "not key=value pairs"},
        {"WP", "application_name='open", "not key=value pairs"},
        {"WP", "a=b\\", "not key=value pairs"},
    };
    for (const auto& c : refused) {
        SCOPED_TRACE(std::string(c.source) + " / " + c.options);
        error.clear();
        EXPECT_EQ(ConnectionString(c.source, "fd", "", c.options, error), "");
        EXPECT_NE(error.find(c.reason), std::string::npos) << error;
    }
}

// Which server the rows went to, across a restart: the same one goes on, a promoted
// one (a newer timeline) or another cluster is compared again from the last check (at
// least an hour back), an older timeline is refused and changes nothing.
TEST(BackendServerTest, AServerIsJudgedByWhatTheRowsWereWrittenOn) {
    TestHost host;
    const std::string file = host.Path("BACKEND.SERVER");
    const DateTime start(2009, 3, 12, 10, 0, 0);
    {
        CBackendServer first;
        first.Load(file);
        DateTime from;
        EXPECT_EQ(first.Check({"7001", 1}, start, from), ServerVerdict::Same);
    }
    const struct {
        CServerIdentity seen;
        int hoursLater;
        ServerVerdict verdict;
        int lookBackFromHour;  // when Changed
    } steps[] = {
        {{"7001", 1}, 1, ServerVerdict::Same, 0},      // checked again at 11:00
        {{"7001", 2}, 5, ServerVerdict::Changed, 11},  // since the last check
        {{"7001", 1}, 6, ServerVerdict::Outdated, 0}, {{"7001", 2}, 6, ServerVerdict::Same, 0},
        {{"8002", 1}, 6, ServerVerdict::Changed, 15},  // at least the hour before
        {{"", 0}, 7, ServerVerdict::Same, 0},          // not known: no judgement
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.seen.systemId + "/" + std::to_string(step.seen.timeline));
        CBackendServer restarted;  // each step a new process, as after a restart
        restarted.Load(file);
        DateTime from = DateTime::Invalid();
        const DateTime now = start + DateTimeSpan(0, step.hoursLater, 0, 0);
        EXPECT_EQ(restarted.Check(step.seen, now, from), step.verdict);
        if (step.verdict == ServerVerdict::Changed) {
            EXPECT_EQ(from, DateTime(2009, 3, 12, step.lookBackFromHour, 0, 0)) << from.Format();
        }
    }
}

// Against a server that checks passwords: a user, a password and a data source option
// holding ";{}=" and quotes reach it as they are, and the client's limits still apply
// (a session that is read-only is passed over: target_session_attrs=read-write).
TEST(BackendConnectionTest, OddCharactersInEveryValueLogInWithTheLimits) {
    HostDirectory::BackendOptions backend;
    const char* script = std::getenv("VKT_PG_SCRIPT");
    if (!PostgresAvailable(backend) || !script) GTEST_SKIP() << "no PostgreSQL (VKT_PG_PORT)";
    TestCluster cluster(script);
    ASSERT_TRUE(cluster.Init(backend.pgPort + 7)) << cluster.Log();
    const struct {
        const char *user, *password, *application;
    } cases[] = {
        {"plain", "a;b{c}d=e}}f", "app;{x}=y"},
        {"o;d{d}=", "}{;='\\\"", "it's \\ {here}"},
        {" spaced ", "=", "="},
    };
    // Password logins for these roles, ahead of the cluster's trust lines.
    const std::string hba = cluster.Dir() + "/data/pg_hba.conf";
    std::string lines;
    for (const auto& c : cases) {
        const std::string role = "\"" + std::string(c.user) + "\"";
        std::string password;
        for (char ch : std::string(c.password)) password += ch == '\'' ? "''" : std::string(1, ch);
        cluster.Value("CREATE ROLE " + role + " LOGIN PASSWORD '" + password + "'", "postgres");
        cluster.Value("GRANT CONNECT ON DATABASE windpower TO " + role, "postgres");
        lines += "host all " + role + " 127.0.0.0/8 scram-sha-256\n";
    }
    std::ostringstream text;
    text << std::ifstream(hba).rdbuf();
    std::ofstream(hba) << lines << text.str();
    ASSERT_EQ(cluster.Value("SELECT pg_reload_conf()", "postgres"), "1");

    backend.pgPort = cluster.Port();
    TestHost host(true, backend);
    CWPStores stores(host.Dir());
    const std::string driver = Odbc::DataSourceValue(backend.dataSource, "Driver");
    int made = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.user);
        // A data source of its own: the driver manager may keep a file it read within the
        // same second.
        const std::string source = "ODD" + std::to_string(++made);
        PqOptions own = {{"application_name", c.application}, {"connect_timeout", "99"}};
        const std::string odbcIni = host.Path("odbc/odbc.ini");
        std::ofstream(odbcIni) << OdbcIni::WithDataSource(
            ReadWholeFile(odbcIni), {source,
                                     {{"Driver", driver},
                                      {"Servername", "127.0.0.1"},
                                      {"Port", std::to_string(cluster.Port())},
                                      {"Database", "windpower"},
                                      {"pqopt", BackendConnection::PqOptionsText(own)}}});
        CWPSettings settings;
        settings.m_strSource = source;
        settings.m_strUser = c.user;
        settings.m_strPassword = c.password;
        stores.m_settings.Replace(settings);
        ASSERT_TRUE(stores.m_backend.ConnectBackend()) << ReadWholeFile(host.Path("VKTError.log"));
        std::vector<std::string> values;
        ASSERT_TRUE(stores.m_backend.ReadFirstColumn(
            "SELECT current_user UNION ALL SELECT current_setting('application_name')", values));
        EXPECT_EQ(values, (std::vector<std::string>{c.user, c.application}));

        const std::string role = "\"" + std::string(c.user) + "\"";
        cluster.Value("ALTER ROLE " + role + " SET default_transaction_read_only = on", "postgres");
        EXPECT_FALSE(stores.m_backend.ConnectBackend()) << "a read-only session was kept";
        cluster.Value("ALTER ROLE " + role + " RESET default_transaction_read_only", "postgres");
    }
    EXPECT_NE(ReadWholeFile(host.Path("VKTError.log")).find("read-only"), std::string::npos);
}

// An SQLite backend's data source may say synchronous=NORMAL (older host directories do):
// its commits are synced all the same, so that no confirmation runs ahead of a power cut.
TEST(BackendConnectionTest, EveryCommitOfAnSqliteBackendIsSynced) {
    TestHost host;
    const std::string odbcIni = host.Path("odbc/odbc.ini");
    std::string ini = ReadWholeFile(odbcIni);
    const size_t at = ini.find("SyncPragma");
    ASSERT_NE(at, std::string::npos) << ini;
    ini.replace(at, ini.find('\n', at) - at, "SyncPragma = NORMAL");
    std::ofstream(odbcIni) << ini;
    CWPStores stores(host.Dir());
    CWPSettings settings;
    settings.m_strSource = "DAVAD";
    stores.m_settings.Replace(settings);
    ASSERT_TRUE(stores.m_backend.ConnectBackend()) << ReadWholeFile(host.Path("VKTError.log"));
    std::vector<std::string> values;
    ASSERT_TRUE(stores.m_backend.ReadFirstColumn("PRAGMA synchronous", values));
    EXPECT_EQ(values, std::vector<std::string>{"2"}) << "2 is FULL";
}

}  // namespace
