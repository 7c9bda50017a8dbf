#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/FrameFile.h"
#include "tests/support/TestHost.h"

namespace {

namespace fs = std::filesystem;

// The socket a service manager listens on for what its service tells it (NOTIFY_SOCKET),
// at `path`. Each line of each datagram is kept, in the order they came.
class ManagerSocket {
public:
    explicit ManagerSocket(const std::string& path) : m_path(path) {
        m_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        unlink(path.c_str());  // left by a test that was killed
        m_bound = m_fd >= 0 && path.size() < sizeof address.sun_path &&
                  bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~ManagerSocket() {
        if (m_fd >= 0) close(m_fd);
        unlink(m_path.c_str());
    }

    bool Bound() const { return m_bound; }

    // Waits at most `waitMs` for a datagram, then takes every one queued. A manager
    // reads at once: the queue is short, and a host whose datagram finds it full waits.
    void Receive(int waitMs) {
        pollfd ready{m_fd, POLLIN, 0};
        if (poll(&ready, 1, waitMs) <= 0) return;
        char buffer[8192];
        for (ssize_t got; (got = recv(m_fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0;) {
            std::string datagram(buffer, static_cast<size_t>(got));
            for (size_t start = 0; start <= datagram.size();) {
                size_t end = datagram.find('\n', start);
                if (end == std::string::npos) end = datagram.size();
                if (end > start) m_lines.push_back(datagram.substr(start, end - start));
                start = end + 1;
            }
        }
    }

    // Receives until a line holds `text`; false when none did within the bound.
    bool WaitForLine(const std::string& text) {
        return WaitFor([&] {
            Receive(10);
            for (const std::string& line : m_lines) {
                if (line.find(text) != std::string::npos) return true;
            }
            return false;
        });
    }

    const std::vector<std::string>& Lines() const { return m_lines; }

private:
    std::string m_path;
    int m_fd = -1;
    bool m_bound = false;
    std::vector<std::string> m_lines;
};

// The index of the first line at or after `from` holding `text`, or -1.
long Find(const std::vector<std::string>& lines, const std::string& text, long from = 0) {
    for (size_t i = static_cast<size_t>(std::max(from, 0L)); i < lines.size(); ++i) {
        if (lines[i].find(text) != std::string::npos) return static_cast<long>(i);
    }
    return -1;
}

long Count(const std::vector<std::string>& lines, const std::string& line) {
    return std::count(lines.begin(), lines.end(), line);
}

std::string Joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    return text;
}

// Starts the host program with `args`, as a service manager would: NOTIFY_SOCKET names
// `socketPath`, and a watchdog interval of `watchdogUsec` (none when empty). Its output
// goes to `output`.
pid_t StartHost(const std::vector<std::string>& args, const std::string& socketPath,
                const std::string& watchdogUsec, const std::string& output) {
    const pid_t child = fork();
    if (child != 0) return child;
    std::freopen(output.c_str(), "w", stdout);
    std::freopen(output.c_str(), "a", stderr);
    setenv("NOTIFY_SOCKET", socketPath.c_str(), 1);
    unsetenv("WATCHDOG_PID");
    if (watchdogUsec.empty()) {
        unsetenv("WATCHDOG_USEC");
    } else {
        setenv("WATCHDOG_USEC", watchdogUsec.c_str(), 1);
    }
    std::vector<char*> argv{const_cast<char*>("vkthost")};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(VKT_HOST_PROGRAM, argv.data());
    _exit(127);
}

// Waits for the host to end, reading what it tells `manager` (if any) meanwhile.
int ExitStatus(pid_t child, ManagerSocket* manager) {
    int status = 0;
    for (;;) {
        const pid_t ended = waitpid(child, &status, WNOHANG);
        if (ended == child) break;
        if (ended < 0) return -1;
        if (manager) {
            manager->Receive(10);
        } else {
            usleep(10000);
        }
    }
    if (manager) manager->Receive(0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string SocketPath() {
    return (fs::temp_directory_path() / ("vkt-notify-" + std::to_string(getpid()))).string();
}

// A host that follows a file, as the service does, tells its manager it is ready once
// the plug-in has started, pings the watchdog from its loop with the plug-in's figures
// as its status, and says when its stop begins.
TEST(ServiceNotifyTest, AFollowingHostIsReadyAliveWithItsFiguresAndStopping) {
    if (!VKT_WITH_SYSTEMD) GTEST_SKIP() << "built without libsystemd: the host tells no one";
    TestHost host;
    const std::string feed = host.Path("feed.jsonl");
    std::ofstream(feed).close();
    ManagerSocket manager(SocketPath());
    ASSERT_TRUE(manager.Bound()) << std::strerror(errno);
    const std::string output = host.Path("out.txt");
    const pid_t child =
        StartHost({"run", host.Dir(), "--follow", feed, "--plugin", std::getenv("VKT_PLUGIN")},
                  SocketPath(), "100000", output);
    ASSERT_GT(child, 0);

    ASSERT_TRUE(manager.WaitForLine("READY=1")) << ReadWholeFile(output);
    for (int i = 0; i < 3; ++i) {
        CDataFrame frame;
        frame.m_nRTUID = 1 + i;
        frame.m_nKind = 1;
        frame.m_tTime = DateTime(2009, 3, 12, 0, 0, 0);
        std::ofstream(feed, std::ios::app) << FrameFile::FormatLine(frame) << "\n";
    }
    // The status follows the plug-in's work while the host runs.
    EXPECT_TRUE(manager.WaitForLine("station files: queued 0, written 3, failed 0"))
        << Joined(manager.Lines());
    // Half the interval apart, from the loop while it waits for frames.
    EXPECT_TRUE(WaitFor([&] {
        manager.Receive(10);
        return Count(manager.Lines(), "WATCHDOG=1") >= 3;
    })) << Joined(manager.Lines());
    kill(child, SIGTERM);
    EXPECT_EQ(ExitStatus(child, &manager), 0) << ReadWholeFile(output);

    const std::vector<std::string>& lines = manager.Lines();
    EXPECT_EQ(Count(lines, "READY=1"), 1) << Joined(lines);
    EXPECT_EQ(Find(lines, "READY=1"), 0) << "nothing before READY=1:\n" << Joined(lines);
    const long stopping = Find(lines, "STOPPING=1");
    ASSERT_GT(stopping, 0) << Joined(lines);
    EXPECT_EQ(Count(lines, "STOPPING=1"), 1) << Joined(lines);
    // Each status is one line with every store's figures.
    long statuses = 0;
    for (const std::string& line : lines) {
        if (line.rfind("STATUS=", 0) != 0) continue;
        ++statuses;
        EXPECT_NE(line.find("backend: queued "), std::string::npos) << line;
        EXPECT_NE(line.find("isolation files: queued "), std::string::npos) << line;
        EXPECT_NE(line.find("frames dropped 0"), std::string::npos) << line;
    }
    EXPECT_GE(statuses, 3);
    ASSERT_LT(static_cast<size_t>(stopping + 1), lines.size());
    EXPECT_EQ(lines[stopping + 1].rfind("STATUS=stopping; ", 0), 0u) << Joined(lines);
}

// What the manager hears from runs that end on their own, fail to start, or have no
// one to tell.
TEST(ServiceNotifyTest, RunsThatFailOrEndOnTheirOwnOrHaveNoOneToTell) {
    if (!VKT_WITH_SYSTEMD) GTEST_SKIP() << "built without libsystemd: the host tells no one";
    struct Case {
        const char* name;
        std::function<void(const TestHost&, std::string& plugin)> prepare;
        bool listening;  // a socket at NOTIFY_SOCKET
        int exitCode;
        std::vector<std::string> lines;  // each found after the one before it
        std::string printed;             // in the run's output
    };
    const Case cases[] = {
        {"a plug-in that cannot be loaded: never ready",
         [](const TestHost& host, std::string& plugin) { plugin = host.Path("missing.so"); },
         true,
         1,
         {},
         "cannot load the plug-in"},
        {"the backend away shows in the status, the run ends with the station files",
         [](const TestHost& host, std::string&) {
             std::ofstream(host.Path("WPDB.ini")) << "[DATABASE]\nSOURCENAME=NO_SUCH_SOURCE\n"
                                                  << "[LOCALDATA]\nDATALEN=0\n[TXT]\nPERMIT=0\n";
         },
         true,
         3,
         {"READY=1", "STOPPING=1", "outage since"},
         "the backend does not answer"},
        {"no manager at the socket: the run goes on as without one",
         [](const TestHost&, std::string&) {},
         false,
         0,
         {},
         "frames accepted: 52"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestHost host;
        std::string plugin = std::getenv("VKT_PLUGIN");
        c.prepare(host, plugin);
        std::unique_ptr<ManagerSocket> manager;
        if (c.listening) {
            manager = std::make_unique<ManagerSocket>(SocketPath());
            ASSERT_TRUE(manager->Bound()) << std::strerror(errno);
        }
        const std::string output = host.Path("out.txt");
        const pid_t child =
            StartHost({"run", host.Dir(), "--simulate", "2009-03-12 00:00:00..2009-03-12 02:00:00",
                       "--now", "2009-03-12 02:00:00", "--linger", "0", "--plugin", plugin},
                      SocketPath(), "100000", output);
        ASSERT_GT(child, 0);
        EXPECT_EQ(ExitStatus(child, manager.get()), c.exitCode) << ReadWholeFile(output);
        EXPECT_NE(ReadWholeFile(output).find(c.printed), std::string::npos)
            << ReadWholeFile(output);
        if (!manager) continue;
        const std::vector<std::string>& lines = manager->Lines();
        if (c.lines.empty()) {
            EXPECT_TRUE(lines.empty()) << Joined(lines);
        }
        long at = 0;
        for (const std::string& expected : c.lines) {
            at = Find(lines, expected, at);
            EXPECT_GE(at, 0) << "no \"" << expected << "\" in order:\n" << Joined(lines);
        }
    }
}

}  // namespace
