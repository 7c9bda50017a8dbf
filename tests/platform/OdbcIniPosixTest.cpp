// odbc.ini against processes and servers: a process killed while it registers data
// sources leaves the file whole; a connect that waits for a silent server holds up no
// registration.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/OdbcHandles.h"
#include "platform/OdbcIni.h"
#include "platform/System.h"
#include "tests/support/TestHost.h"

namespace {

std::set<std::string> Entries(const std::string& dir) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

// Runs the registration helper on the host's ODBC folder with VKT_KILL_POINT set to
// `killPoint` (unset when null); its wait status.
int RegisterInAChild(const TestHost& host, const char* killPoint,
                     const std::vector<std::string>& sources) {
    const std::string odbc = host.Path("odbc");
    std::vector<std::string> args{"vkt_register_data_sources", "SQLite3"};
    args.insert(args.end(), sources.begin(), sources.end());
    const pid_t child = fork();
    if (child < 0) return -1;
    if (child == 0) {
        setenv("ODBCSYSINI", odbc.c_str(), 1);
        setenv("ODBCINI", (odbc + "/odbc.ini").c_str(), 1);
        if (killPoint) {
            setenv("VKT_KILL_POINT", killPoint, 1);
        } else {
            unsetenv("VKT_KILL_POINT");
        }
        std::vector<char*> argv;
        for (std::string& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        execv(VKT_REGISTER_HELPER, argv.data());
        _exit(127);
    }
    int status = 0;
    return waitpid(child, &status, 0) == child ? status : -1;
}

TEST(OdbcIniKillTest, AKillWhileRegisteringLeavesTheFileWhole) {
    struct Case {
        const char* killPoint;
        bool killed;
        std::set<std::string> registered;  // of WP_1 and WP_2
    };
    // The child registers WP_1, WP_2 and WP_1 once more: two writes; the third
    // registration finds WP_1 as it is and writes nothing.
    const Case cases[] = {
        {nullptr, false, {"WP_1", "WP_2"}},
        {"odbc-ini-write", true, {}},
        {"odbc-ini-write:1", true, {}},
        {"odbc-ini-write:2", true, {"WP_1"}},
        {"odbc-ini-write:3", false, {"WP_1", "WP_2"}},
        {"odbc-ini-write:0", false, {"WP_1", "WP_2"}},
        {"odbc-ini", false, {"WP_1", "WP_2"}},
        {"odbc-ini-write:x", false, {"WP_1", "WP_2"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.killPoint ? c.killPoint : "no kill point");
        TestHost host;
        const std::string ini = host.Path("odbc/odbc.ini");
        const std::string before = ReadWholeFile(ini);
        auto source = [&](int rtu) {
            const std::string name = "WP_" + std::to_string(rtu);
            return "DSN=" + name + ";Database=" + host.Path(name + ".MDB") + ";JournalMode=WAL";
        };
        const int status = RegisterInAChild(host, c.killPoint, {source(1), source(2), source(1)});
        ASSERT_TRUE(WIFEXITED(status)) << status;
        EXPECT_EQ(WEXITSTATUS(status), c.killed ? 137 : 0);

        const std::string after = ReadWholeFile(ini);
        EXPECT_EQ(after.rfind(before, 0), 0u) << "what the file held stays:\n" << after;
        for (int rtu : {1, 2}) {
            const std::string name = "WP_" + std::to_string(rtu);
            EXPECT_EQ(after.find("[" + name + "]") != std::string::npos,
                      c.registered.count(name) == 1)
                << name;
        }
        // The driver manager still finds the backend.
        EXPECT_EQ(QueryDataSource("DAVAD", "SELECT COUNT(*) FROM FD_RUN_RTTOWER"), "0");

        // The killed writer's temporary file goes with the next write.
        EXPECT_EQ(Entries(host.Path("odbc")).size(), c.killed ? 3u : 2u);
        ASSERT_EQ(RegisterInAChild(host, nullptr, {source(3)}), 0);
        EXPECT_EQ(Entries(host.Path("odbc")), (std::set<std::string>{"odbc.ini", "odbcinst.ini"}));
        EXPECT_EQ(ReadWholeFile(ini).rfind(after, 0), 0u);
    }
}

// A server that takes connections and never answers, as a hung database server does.
class SilentServer {
public:
    SilentServer() {
        m_listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (m_listener < 0 ||
            bind(m_listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            listen(m_listener, 4) != 0 ||
            getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            return;
        }
        port = ntohs(address.sin_port);
    }
    ~SilentServer() { Close(); }

    // Waits for a client to connect and send its first bytes; false when none came.
    bool Greeted() {
        pollfd waiting{m_listener, POLLIN, 0};
        if (poll(&waiting, 1, 20000) != 1) return false;
        m_client = accept(m_listener, nullptr, nullptr);
        pollfd reading{m_client, POLLIN, 0};
        return m_client >= 0 && poll(&reading, 1, 20000) == 1;
    }
    // The client's connection ends: its connect fails at once.
    void Close() {
        for (int* fd : {&m_client, &m_listener}) {
            if (*fd >= 0) close(*fd);
            *fd = -1;
        }
    }

    int port = 0;

private:
    int m_listener = -1;
    int m_client = -1;
};

// A connect waits for its server without the ini lock: the station files' data sources
// are registered meanwhile.
TEST(OdbcIniConnectTest, AConnectWaitingForASilentServerHoldsUpNoRegistration) {
    TestHost host;
    SilentServer server;
    ASSERT_NE(server.port, 0);
    std::atomic<bool> connected{false};
    std::thread connecting([&] {
        OdbcConnection connection;
        connection.DriverConnect(
            "DRIVER={PostgreSQL ANSI};Servername=127.0.0.1;Port=" + std::to_string(server.port) +
                ";Database=windpower;UID=fd;PWD=wendol",
            60);
        connected = true;
    });
    ASSERT_TRUE(server.Greeted());
    std::atomic<bool> registered{false};
    std::thread registering([&] {
        registered = Odbc::RegisterSystemDataSource(
            "SQLite3", {"DSN=WP_1", "Database=" + host.Path("WP_1.MDB")});
    });
    EXPECT_TRUE(WaitFor([&] { return registered.load(); }))
        << "registration waited for the connect";
    EXPECT_FALSE(connected) << "the server never answered";
    server.Close();
    registering.join();
    connecting.join();
    EXPECT_NE(ReadWholeFile(host.Path("odbc/odbc.ini")).find("[WP_1]"), std::string::npos);
}

}  // namespace

namespace {

// A file replaced whole stays what it was to the system: its permissions, and a link
// naming it stays a link.
TEST(WriteFileWholePosixTest, TheReplacedFileKeepsItsPermissionsAndItsLink) {
    TestHost host;
    namespace fs = std::filesystem;
    const std::string target = host.Path("real.ini");
    const std::string link = host.Path("link.ini");
    std::ofstream(target) << "old";
    fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write);
    fs::create_symlink(target, link);

    ASSERT_TRUE(System::WriteFileWhole(link, "new"));
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(ReadWholeFile(target), "new");
    EXPECT_EQ(fs::status(target).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    for (const std::string& name : Entries(host.Dir())) {
        EXPECT_EQ(name.find(".tmp"), std::string::npos) << name;
    }
}

}  // namespace
