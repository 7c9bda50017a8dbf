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
#include "tests/support/HostBackendRun.h"
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
    SimulatingHost run(host, 60);
    const std::string errorLog = host.Path(ErrorLog::FileName());
    ASSERT_TRUE(WaitFor([&] { return proxy.Stat("turns") > 20; })) << run.Output();
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
    EXPECT_EQ(run.Stop(), 0) << run.Output();

    // For the reviewer: the log volume of the faults.
    const std::string written = ReadWholeFile(errorLog).substr(logBefore);
    std::cout << "link-cut test: " << std::count(written.begin(), written.end(), '\n')
              << " error-log lines for 20 cuts\n"
              << written << std::flush;
    EXPECT_NE(written.find("rows refilled"), std::string::npos) << "the cuts met statements";

    ExpectEveryStationRowIn(cluster.ConnectionString(), host, {"1", "2", "3", "12"}, 40);
}

}  // namespace
