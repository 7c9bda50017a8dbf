// TLS to the backend: a server that lets the role fd in over TLS alone, with a CA of
// its own, and the data sources init writes for it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "model/Catalogue.h"
#include "platform/ErrorLog.h"
#include "platform/OdbcQuery.h"
#include "storage/BackendDB.h"
#include "storage/BackendWriter.h"
#include "storage/WPStores.h"
#include "tests/support/TestCluster.h"
#include "tests/support/TestHost.h"
#include "tests/support/TowerData.h"

namespace {

constexpr const char* kSession =
    "SELECT CASE WHEN ssl THEN 'TLS' ELSE 'plain' END || ' ' || "
    "COALESCE(NULLIF(client_dn, ''), '-') FROM pg_stat_ssl WHERE pid = pg_backend_pid()";

// Only a data source that trusts the server's CA gets rows in, and the server refuses
// one without TLS.
TEST(BackendTlsTest, OnlyADataSourceThatTrustsTheServersCaWritesRows) {
    HostDirectory::BackendOptions backend;
    const char* script = std::getenv("VKT_PG_SCRIPT");
    if (!PostgresAvailable(backend) || !script) GTEST_SKIP() << "no PostgreSQL (VKT_PG_PORT)";
    TestCluster cluster(script);
    // Its own first port: the outage and failover cases start at 1 to 4 past the shared one.
    ASSERT_TRUE(cluster.Init(backend.pgPort + 5)) << cluster.Log();
    ASSERT_TRUE(cluster.Run("tls")) << cluster.Log();
    backend.pgPort = cluster.Port();
    // The server's CA where the data source quotes its path, and a CA that signed nothing.
    const std::string tls = cluster.Dir(), quoted = tls + "/it's a \\ folder";
    std::filesystem::create_directory(quoted);
    std::filesystem::copy_file(tls + "/ca.crt", quoted + "/ca.crt");
    ASSERT_EQ(std::system(("cd '" + tls + "' && openssl req -x509 -newkey rsa:2048 -nodes -subj " +
                           "/CN=other -keyout other.key -out other.crt >/dev/null 2>&1")
                              .c_str()),
              0);
    OdbcConnection server;  // as its superuser, who needs no TLS
    ASSERT_TRUE(server.DriverConnect(
        "Driver=PostgreSQL ANSI;Servername=127.0.0.1;Port=" + std::to_string(cluster.Port()) +
            ";Database=windpower;UID=postgres",
        kLoginTimeoutSeconds));
    const struct {
        std::string mode, rootCert, cert, key;
        const char* session;  // as the server sees the connection; empty: refused
        const char* logged;   // in the error log when refused
    } cases[] = {
        {"verify-full", quoted + "/ca.crt", "", "", "TLS -", ""},
        {"verify-full", tls + "/ca.crt", tls + "/client.crt", tls + "/client.key", "TLS /CN=fd",
         ""},
        {"require", "", "", "", "TLS -", ""},
        {"verify-full", tls + "/other.crt", "", "", "", "certificate verify failed"},
        {"", "", "", "", "", "no encryption"},
    };
    int minute = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode + " " + c.rootCert + " " + c.cert);
        HostDirectory::BackendOptions options = backend;
        options.dataSource = "DAVADTLS" + std::to_string(++minute);
        options.pgSslMode = c.mode;
        options.pgSslRootCert = c.rootCert;
        options.pgSslCert = c.cert;
        options.pgSslKey = c.key;
        TestHost host(true, options);
        CWPStores stores(host.Dir());
        BuildCatalogue();
        CWPSettings settings;
        settings.m_strSource = options.dataSource;
        settings.m_strUser = "fd";
        settings.m_strPassword = "wendol";
        stores.m_settings.Replace(settings);
        const DateTime time = DateTime(2009, 3, 12, 14, minute, 0);
        TEST_SaveRTTower(stores.BackendTarget(), FrameOf(12, time, {Item(7000, 4.5f, time)}));
        EXPECT_EQ(Odbc::QueryText(server.Get(), "SELECT COUNT(*) FROM FD_RUN_RTTOWER WHERE TIME='" +
                                                    time.Format() + "'"),
                  *c.session ? "1" : "0");
        const std::string log = ReadWholeFile(host.Path(ErrorLog::FileName()));
        EXPECT_EQ(log.find("Cannot connect") == std::string::npos, *c.session != '\0') << log;
        EXPECT_NE(log.find(c.logged), std::string::npos) << log;
        RecursiveMutexLock guard(stores.m_backend.BackendLock());
        EXPECT_EQ(Odbc::QueryText(stores.m_backend.BackendConnection(), kSession).value_or(""),
                  c.session);
    }
}

}  // namespace
