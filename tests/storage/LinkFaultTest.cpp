// The link between a host and its PostgreSQL backend breaks again and again while
// frames flow, through vkt-linkproxy: no row is lost and none is stored twice.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <thread>

#include "hostlib/VktBase.h"
#include "model/Catalogue.h"
#include "platform/ErrorLog.h"
#include "platform/OdbcQuery.h"
#include "tests/support/TestCluster.h"
#include "tests/support/TestHost.h"

namespace {

bool Ready(int fd, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, timeoutMs) > 0;
}

// What arrives within the time: the bytes, "<end>", "<reset>", or "" for nothing.
std::string Receive(int fd, int timeoutMs = 2000) {
    char buffer[256];
    const ssize_t got = Ready(fd, timeoutMs) ? read(fd, buffer, sizeof buffer) : -2;
    if (got == -2) return "";
    if (got <= 0) return got == 0 ? "<end>" : errno == ECONNRESET ? "<reset>" : "<error>";
    return std::string(buffer, static_cast<size_t>(got));
}

int Connect(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in at{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
    connect(fd, reinterpret_cast<sockaddr*>(&at), sizeof at);
    return fd;
}

// The proxy as a child process, driven through its control port.
struct LinkProxy {
    pid_t pid = -1;
    int control = -1, port = 0;

    explicit LinkProxy(const std::string& target) {
        int printed[2];
        if (pipe2(printed, O_CLOEXEC) != 0) return;
        if ((pid = fork()) == 0) {
            dup2(printed[1], STDOUT_FILENO);
            execl(VKT_LINKPROXY_PROGRAM, "vkt-linkproxy", "--listen", "127.0.0.1:0", "--target",
                  target.c_str(), "--control", "0", nullptr);
            _exit(127);
        }
        close(printed[1]);
        int controlPort = 0;
        std::sscanf(Receive(printed[0], 10000).c_str(),
                    "listening 127.0.0.1:%d target %*s control 127.0.0.1:%d", &port, &controlPort);
        close(printed[0]);
        control = Connect(controlPort);
    }
    ~LinkProxy() {
        close(control);
        if (pid > 0 && kill(pid, SIGTERM) == 0) waitpid(pid, nullptr, 0);
    }
    std::string Command(const std::string& line) const {
        send(control, (line + "\n").c_str(), line.size() + 1, MSG_NOSIGNAL);
        const std::string answer = Receive(control, 10000);
        return answer.substr(0, answer.find('\n'));
    }
    long Stat(const std::string& name) const {
        const std::string stats = " " + Command("stats");
        const size_t at = stats.find(" " + name + "=");
        return at == std::string::npos ? -1 : std::atol(stats.c_str() + at + name.size() + 2);
    }
};

// "tower|time[|type]" → "COLUMN=value …" of every value column of the row.
using Rows = std::map<std::string, std::string>;

// The station files mark a value the frame lacked -99, the backend NULL.
void ReadRows(const std::string& connectionString, const std::string& sql, int keys,
              const std::vector<ColumnDef>& columns, bool station, Rows& rows) {
    OdbcConnection connection;
    ASSERT_TRUE(connection.DriverConnect(connectionString, kLoginTimeoutSeconds));
    const SQLRETURN rc = Odbc::Query(connection.Get(), sql, [&](const OdbcRow& row) {
        std::string key, values;
        for (int i = 1; i <= keys; ++i) key += row.Text(static_cast<SQLUSMALLINT>(i)) + "|";
        for (size_t i = 0; i < columns.size(); ++i) {
            const auto column = static_cast<SQLUSMALLINT>(keys + 1 + i);
            const std::optional<double> number = row.Number(column);
            char text[32] = "NULL";
            if (columns[i].kind == ColumnKind::Time) {
                std::snprintf(text, sizeof text, "%.19s", row.Text(column).c_str());
            } else if (number && !(station && *number == -99.0)) {
                std::snprintf(text, sizeof text, "%.17g", *number);
            }
            values += columns[i].name + "=" + text + " ";
        }
        EXPECT_TRUE(rows.emplace(key, values).second) << "a key twice: " << key;
    });
    ASSERT_TRUE(Odbc::Succeeded(rc)) << sql;
}

// Four towers send a frame every 0.2 s (live:3000) to a backend of their own behind the
// proxy, which breaks the link 20 times: cut with RST or FIN, hung and healed, hung and
// then cut. SIGTERM then ends the run, which waits for the backend (--drain). Every row
// of the station files is in the backend once with every column equal, and the host
// exits 0.
TEST(LinkFaultTest, TwentyLinkCutsWhileFramesFlowLoseNoRowAndStoreNoneTwice) {
    HostDirectory::BackendOptions backend;
    const char* script = std::getenv("VKT_PG_SCRIPT");
    if (!PostgresAvailable(backend) || !script) GTEST_SKIP() << "no PostgreSQL (VKT_PG_PORT)";
    TestCluster cluster(script);
    // The first port after the outage and failover cases' own.
    ASSERT_TRUE(cluster.Init(backend.pgPort + 8)) << cluster.Log();
    const LinkProxy proxy("127.0.0.1:" + std::to_string(cluster.Port()));
    ASSERT_GT(proxy.port, 0);
    backend.pgPort = proxy.port;
    TestHost host(true, backend);
    std::ofstream(host.Path("WPDB.ini")) << "[DATABASE]\nSOURCENAME=" << backend.dataSource << "\n";
    const std::string output = host.Path("run.txt");
    const pid_t child = fork();
    if (child == 0) {
        std::freopen(output.c_str(), "w", stdout);
        std::freopen(output.c_str(), "a", stderr);
        execl(VKT_HOST_PROGRAM, "vkthost", "run", host.Dir().c_str(), "--simulate", "live:3000",
              "--now", "2009-03-10 00:00:00", "--drain", "60", "--status", "1", "--plugin",
              std::getenv("VKT_PLUGIN"), nullptr);
        _exit(127);
    }
    struct Reap {
        pid_t pid;
        int status = -1;
        ~Reap() {
            if (status == -1 && kill(pid, SIGKILL) == 0) waitpid(pid, &status, 0);
        }
    } reap{child};
    const std::string errorLog = host.Path(ErrorLog::FileName());
    ASSERT_TRUE(WaitFor([&] { return proxy.Stat("turns") > 20; })) << ReadWholeFile(output);
    const size_t logBefore = ReadWholeFile(errorLog).size();

    // Ten faults, twice; a cut costs the writer its retry interval (5 s), a hang does not.
    const struct {
        const char* command;
        int holdMs;
        const char* then;  // after the hold; every fault ends with "heal"
    } faults[] = {
        {"cut", 0, nullptr},     {"hang", 300, nullptr}, {"cut fin", 0, nullptr},
        {"hang", 1000, nullptr}, {"hang", 500, "cut"},   {"hang", 300, nullptr},
        {"hang", 1000, nullptr}, {"hang", 300, nullptr}, {"hang", 1000, nullptr},
        {"hang", 300, nullptr},
    };
    long turns = proxy.Stat("turns");
    for (int f = 0; f < 20; ++f) {
        const auto& fault = faults[f % std::size(faults)];
        // Each fault meets a link that carries statements again since the last one.
        ASSERT_TRUE(WaitFor([&] { return proxy.Stat("turns") > turns + 2; })) << "fault " << f;
        proxy.Command(fault.command);
        std::this_thread::sleep_for(std::chrono::milliseconds(fault.holdMs));
        if (fault.then) proxy.Command(fault.then);
        proxy.Command("heal");
        turns = proxy.Stat("turns");
    }
    kill(child, SIGTERM);
    waitpid(child, &reap.status, 0);
    EXPECT_TRUE(WIFEXITED(reap.status) && WEXITSTATUS(reap.status) == 0) << ReadWholeFile(output);

    // For the reviewer: the log volume of the faults.
    const std::string written = ReadWholeFile(errorLog).substr(logBefore);
    std::cout << "link-cut test: " << std::count(written.begin(), written.end(), '\n')
              << " error-log lines for 20 cuts\n"
              << written << std::flush;
    EXPECT_NE(written.find("rows refilled"), std::string::npos) << "the cuts met statements";

    const struct {
        const char *station, *backend, *keys;
        int keyCount;  // with the tower
        const std::vector<ColumnDef>& columns;
    } tables[] = {
        {"RTTOWER", "FD_RUN_RTTOWER", "TIME", 2, TenMinuteColumns()},
        {"HSTOWER", "FD_RUN_TOWERHIS", "TIME, TYPE", 3, HourlyColumns()},
    };
    for (const auto& table : tables) {
        std::string columns;
        for (const ColumnDef& column : table.columns) columns += ", " + column.name;
        Rows inStations, inBackend;
        for (const char* tower : {"1", "2", "3", "12"}) {
            ReadRows(
                Odbc::SqliteConnectionString(host.Path(std::string("WPData/WP_") + tower + ".MDB")),
                std::string("SELECT ") + tower + ", " + table.keys + columns + " FROM " +
                    table.station,
                table.keyCount, table.columns, true, inStations);
        }
        ReadRows(cluster.ConnectionString(),
                 std::string("SELECT TOWERID, ") + table.keys + columns + " FROM " + table.backend,
                 table.keyCount, table.columns, false, inBackend);
        EXPECT_GT(inStations.size(), 40u) << table.station;
        long wrong = 0;
        for (const auto& [key, values] : inStations) {
            const auto found = inBackend.find(key);
            const std::string there = found == inBackend.end() ? "not there" : found->second;
            if (there != values && ++wrong <= 3) {
                ADD_FAILURE() << table.backend << " " << key << ": " << there
                              << "\nstation row: " << values;
            }
        }
        EXPECT_EQ(wrong, 0) << table.backend << ": rows missing or different";
        EXPECT_EQ(inBackend.size(), inStations.size()) << table.backend << ": rows of no station";
    }
}

}  // namespace
