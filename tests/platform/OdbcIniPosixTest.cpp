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
#include <utility>

#include "platform/OdbcHandles.h"
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

// Runs the registration helper on the ODBC folder of the test's host (the environment's)
// with VKT_KILL_POINT set to `killPoint` ("": none); its wait status.
int RegisterInAChild(const std::string& killPoint, const std::string& quotedSources) {
    return std::system(
        ("VKT_KILL_POINT='" + killPoint + "' '" VKT_REGISTER_HELPER "' SQLite3 " + quotedSources)
            .c_str());
}

// The child registers WP_1, WP_2 and WP_1 once more: two writes; the third registration
// finds WP_1 as it is and writes nothing. A kill point that names no write is ignored.
TEST(OdbcIniKillTest, AKillWhileRegisteringLeavesTheFileWhole) {
    // The kill point ("": none); how many of WP_1, WP_2 are registered (both: not killed).
    const std::pair<const char*, int> cases[] = {{"", 2},
                                                 {"odbc-ini-write", 0},
                                                 {"odbc-ini-write:1", 0},
                                                 {"odbc-ini-write:2", 1},
                                                 {"odbc-ini-write:3", 2},
                                                 {"odbc-ini-write:0", 2},
                                                 {"odbc-ini", 2},
                                                 {"odbc-ini-write:x", 2}};
    for (const auto& [killPoint, registered] : cases) {
        SCOPED_TRACE(killPoint);
        TestHost host;
        const std::string ini = host.Path("odbc/odbc.ini");
        const std::string before = ReadWholeFile(ini);
        auto source = [&](int rtu) {
            const std::string name = "WP_" + std::to_string(rtu);
            return "'DSN=" + name + ";Database=" + host.Path(name + ".MDB") + ";JournalMode=WAL' ";
        };
        const int status = RegisterInAChild(killPoint, source(1) + source(2) + source(1));
        ASSERT_TRUE(WIFEXITED(status)) << status;
        EXPECT_EQ(WEXITSTATUS(status), registered < 2 ? 137 : 0);

        const std::string after = ReadWholeFile(ini);
        EXPECT_EQ(after.rfind(before, 0), 0u) << "what the file held stays:\n" << after;
        for (int rtu : {1, 2}) {
            EXPECT_EQ(after.find("[WP_" + std::to_string(rtu) + "]") != std::string::npos,
                      rtu <= registered)
                << rtu;
        }
        // The driver manager still finds the backend.
        EXPECT_EQ(QueryDataSource("DAVAD", "SELECT COUNT(*) FROM FD_RUN_RTTOWER"), "0");

        // The killed writer's temporary file goes with the next write.
        EXPECT_EQ(Entries(host.Path("odbc")).size(), registered < 2 ? 3u : 2u);
        ASSERT_EQ(RegisterInAChild("", source(3)), 0);
        EXPECT_EQ(Entries(host.Path("odbc")), (std::set<std::string>{"odbc.ini", "odbcinst.ini"}));
        EXPECT_EQ(ReadWholeFile(ini).rfind(after, 0), 0u);
    }
}

// A connect waits for its server without the ini lock: the station files' data sources
// are registered meanwhile.
TEST(OdbcIniConnectTest, AConnectWaitingForASilentServerHoldsUpNoRegistration) {
    TestHost host;
    // A server that takes connections and never answers, as a hung database server does.
    const int server = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    auto* named = reinterpret_cast<sockaddr*>(&address);
    ASSERT_TRUE(server >= 0 && bind(server, named, length) == 0 && listen(server, 4) == 0 &&
                getsockname(server, named, &length) == 0);
    std::atomic<bool> connected{false}, registered{false};
    std::thread connecting([&] {
        OdbcConnection connection;
        connection.DriverConnect("DRIVER={PostgreSQL ANSI};Servername=127.0.0.1;Port=" +
                                     std::to_string(ntohs(address.sin_port)) +
                                     ";Database=windpower;UID=fd;PWD=wendol",
                                 60);
        connected = true;
    });
    pollfd waiting{server, POLLIN, 0};
    EXPECT_EQ(poll(&waiting, 1, 20000), 1) << "no connect came";
    pollfd reading{accept(server, nullptr, nullptr), POLLIN, 0};
    EXPECT_EQ(poll(&reading, 1, 20000), 1) << "the client sent nothing";
    std::thread registering([&] {
        registered = Odbc::RegisterSystemDataSource(
            "SQLite3", {"DSN=WP_1", "Database=" + host.Path("WP_1.MDB")});
    });
    EXPECT_TRUE(WaitFor([&] { return registered.load(); }))
        << "registration waited for the connect";
    EXPECT_FALSE(connected) << "the server never answered";
    close(reading.fd);  // the connection ends: the connect fails at once
    close(server);
    registering.join();
    connecting.join();
    EXPECT_NE(ReadWholeFile(host.Path("odbc/odbc.ini")).find("[WP_1]"), std::string::npos);
}

// A file replaced whole stays what it was to the system: its permissions, and a link
// naming it stays a link.
TEST(WriteFileWholePosixTest, TheReplacedFileKeepsItsPermissionsAndItsLink) {
    namespace fs = std::filesystem;
    TestHost host;
    const std::string target = host.Path("real.ini"), link = host.Path("link.ini");
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
