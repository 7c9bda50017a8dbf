#include "tests/support/TestHost.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "host/HostDirectory.h"
#include "hostlib/HostSide.h"
#include "hostlib/VktBase.h"
#include "platform/Clock.h"
#include "platform/OdbcHandles.h"

TestHost::TestHost(bool demo, const HostDirectory::BackendOptions& backend) {
    char cwd[PATH_MAX];
    m_previousDir = getcwd(cwd, sizeof cwd) ? cwd : "/";
    char pattern[] = "/tmp/vkt-test-XXXXXX";
    m_dir = mkdtemp(pattern);
    std::string error;
    if (!HostDirectory::Init(m_dir, demo, backend, error)) ADD_FAILURE() << error;
    if (!HostDirectory::Enter(m_dir, error)) ADD_FAILURE() << error;
    if (!VktHost::LoadHostCatalogue()) ADD_FAILURE() << "cannot load the host catalogue";
}

TestHost::~TestHost() {
    VktHost::CloseHost();
    ProcessClock::Reset();
    if (chdir(m_previousDir.c_str()) != 0) return;
    if (!std::getenv("VKT_KEEP_TEST_DIRS")) {
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
    }
}

bool PostgresAvailable(HostDirectory::BackendOptions& backend) {
    const char* port = std::getenv("VKT_PG_PORT");
    if (!port || !*port) {
        const char* ci = std::getenv("CI");
        if (ci && std::string(ci) == "true") {
            ADD_FAILURE() << "CI must run the PostgreSQL tests: VKT_PG_PORT is not set";
        }
        return false;
    }
    backend.product = "postgresql";
    backend.pgHost = "127.0.0.1";
    backend.pgPort = std::atoi(port);
    backend.pgDatabase = "windpower";
    return true;
}

std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

namespace {

std::string FirstValue(OdbcConnection& connection, const std::string& sql) {
    OdbcStatement stmt = Odbc::AllocStatement(connection.Get());
    std::string text = sql;
    if (!stmt || !Odbc::Succeeded(
                     SQLExecDirect(stmt.Get(), reinterpret_cast<SQLCHAR*>(text.data()), SQL_NTS))) {
        return "<error>";
    }
    if (!Odbc::Succeeded(SQLFetch(stmt.Get()))) return "<none>";
    return Odbc::GetText(stmt.Get(), 1);
}

}  // namespace

std::string QueryFile(const std::string& file, const std::string& sql) {
    OdbcConnection connection;
    if (!std::filesystem::exists(file) ||
        !connection.DriverConnect(Odbc::SqliteConnectionString(file), kLoginTimeoutSeconds)) {
        return "<no file>";
    }
    return FirstValue(connection, sql);
}

std::string QueryDataSource(const std::string& source, const std::string& sql) {
    OdbcConnection connection;
    if (!connection.Connect(source, "fd", "wendol", kLoginTimeoutSeconds)) return "<no connection>";
    return FirstValue(connection, sql);
}
