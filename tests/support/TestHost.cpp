#include "tests/support/TestHost.h"

#include <gtest/gtest.h>

#include "platform/OdbcApi.h"
// The installer's header needs the ODBC types first.
#include <odbcinst.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "host/HostDirectory.h"
#include "hostlib/HostSide.h"
#include "hostlib/VktBase.h"
#include "platform/Clock.h"
#include "platform/OdbcQuery.h"
#include "platform/System.h"

namespace {

// unixODBC reads ODBCSYSINI once per process and keeps the first value, while every
// case makes a host directory of its own. So the process points unixODBC at one link
// of its own, and each host directory turns the link to its odbc/ folder. Where the
// folder is fixed when the process starts, the host directory's files are copied
// there instead (HostDirectory::Enter does that).
class OdbcLink {
public:
    OdbcLink() : m_base(System::MakeTemporaryDirectory("vkt-odbc-")), m_path(m_base + "/link") {}
    ~OdbcLink() {
        std::error_code ec;
        std::filesystem::remove_all(m_base, ec);
    }

    void PointAt(const std::string& odbcDir) {
        if (System::OdbcFolderFixedAtStart()) {
            System::UseOdbcFolder(odbcDir);
            return;
        }
        const std::string fresh = m_path + ".new";
        std::error_code ec;
        std::filesystem::remove(fresh, ec);
        std::filesystem::create_directory_symlink(odbcDir, fresh, ec);
        if (!ec) std::filesystem::rename(fresh, m_path, ec);
        if (ec) ADD_FAILURE() << "cannot point " << m_path << " at " << odbcDir;
        System::UseOdbcFolder(m_path);
        // The first question fixes the path for the process, once in the installer
        // and once in the driver manager, which keeps its own copy of that code. The
        // installer also keeps what it read of the files and trusts it while their
        // entries for 20 seconds; a write through it forgets them.
        char value[16];
        SQLGetPrivateProfileString("ODBC", "Trace", "", value, sizeof value, "ODBCINST.INI");
        SQLCHAR name[64], description[64];
        SQLSMALLINT nameLength = 0, descriptionLength = 0;
        SQLDataSources(Odbc::Environment(), SQL_FETCH_FIRST, name, sizeof name, &nameLength,
                       description, sizeof description, &descriptionLength);
        const std::string odbcIni = m_path + "/odbc.ini";
        if (SQLWritePrivateProfileString("ODBC", "VKTTestHost", "1", odbcIni.c_str())) {
            SQLWritePrivateProfileString("ODBC", "VKTTestHost", nullptr, odbcIni.c_str());
        }
    }

private:
    const std::string m_base;
    const std::string m_path;
};

OdbcLink& TheOdbcLink() {
    static OdbcLink link;
    return link;
}

}  // namespace

TestHost::TestHost(bool demo, const HostDirectory::BackendOptions& backend,
                   const std::string& name) {
    m_previousDir = System::CurrentDirectory();
    m_root = System::MakeTemporaryDirectory("vkt-test-");
    m_dir = name.empty() ? m_root : m_root + "/" + name;
    TheOdbcLink().PointAt(m_dir + "/odbc");
    std::string error;
    if (!HostDirectory::Init(m_dir, demo, backend, error)) ADD_FAILURE() << error;
    if (!HostDirectory::Enter(m_dir, error)) ADD_FAILURE() << error;
    TheOdbcLink().PointAt(m_dir + "/odbc");
    if (!VktHost::LoadHostCatalogue()) ADD_FAILURE() << "cannot load the host catalogue";
}

TestHost::~TestHost() {
    VktHost::CloseHost();
    ProcessClock::Reset();
    if (!System::ChangeDirectory(m_previousDir)) return;
    if (!std::getenv("VKT_KEEP_TEST_DIRS")) {
        std::error_code ec;
        std::filesystem::remove_all(m_root, ec);
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
    // The driver manager keeps what it read of a data source for a while; a name of
    // its own keeps a PostgreSQL case from finding an SQLite one's driver.
    backend.dataSource = "DAVADPG";
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
    if (!stmt || !Odbc::Succeeded(Odbc::ExecOn(stmt.Get(), sql))) return "<error>";
    if (!Odbc::FetchRow(stmt.Get())) return "<none>";
    return OdbcRow(stmt.Get()).Text(1);
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
