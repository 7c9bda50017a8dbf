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
#include <optional>
#include <string>
#include <vector>

#include "host/FrameFile.h"
#include "tests/support/TestHost.h"

namespace {

namespace fs = std::filesystem;

// One per test process (the host it starts has a pid of its own).
std::string NotifySocketPath() {
    return (fs::temp_directory_path() / ("vkt-notify-" + std::to_string(getpid()))).string();
}

// The socket a service manager listens on (NOTIFY_SOCKET); keeps each line of each
// datagram in the order they came.
class ManagerSocket {
public:
    ManagerSocket() : m_path(NotifySocketPath()) {
        m_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, m_path.c_str(), sizeof address.sun_path - 1);
        unlink(m_path.c_str());  // left by a test that was killed
        m_bound = bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~ManagerSocket() {
        close(m_fd);
        unlink(m_path.c_str());
    }

    bool Bound() const { return m_bound; }
    const std::vector<std::string>& Lines() const { return m_lines; }

    // Waits at most `waitMs` for a datagram, then takes every one queued. A manager
    // reads at once: the queue is short, and a host whose datagram finds it full waits.
    void Receive(int waitMs) {
        pollfd ready{m_fd, POLLIN, 0};
        if (poll(&ready, 1, waitMs) <= 0) return;
        char buffer[8192];
        for (ssize_t got; (got = recv(m_fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0;) {
            std::string datagram(buffer, static_cast<size_t>(got));
            for (size_t start = 0, end; start < datagram.size(); start = end + 1) {
                end = std::min(datagram.find('\n', start), datagram.size());
                m_lines.push_back(datagram.substr(start, end - start));
            }
        }
    }

    // Receives until `count` lines hold `text`; false when they did not within the bound.
    bool WaitForLines(const std::string& text, long count = 1) {
        return WaitFor([&] {
            Receive(10);
            return Count(text) >= count;
        });
    }

    long Count(const std::string& text) const {
        return std::count_if(m_lines.begin(), m_lines.end(), [&](const std::string& line) {
            return line.find(text) != std::string::npos;
        });
    }

    // The index of the first line at or after `from` holding `text`, or -1.
    long Find(const std::string& text, long from = 0) const {
        for (size_t i = static_cast<size_t>(std::max(from, 0L)); i < m_lines.size(); ++i) {
            if (m_lines[i].find(text) != std::string::npos) return static_cast<long>(i);
        }
        return -1;
    }

    std::string Text() const {
        std::string text;
        for (const std::string& line : m_lines) text += line + "\n";
        return text;
    }

private:
    std::string m_path;
    int m_fd = -1;
    bool m_bound = false;
    std::vector<std::string> m_lines;
};

// Starts the host program with `args` as a service manager would: NOTIFY_SOCKET names
// the manager's socket, WATCHDOG_USEC asks for pings every 50 ms. Output to `output`.
pid_t StartHost(const std::vector<std::string>& args, const std::string& output) {
    const std::string socket = NotifySocketPath();
    const pid_t child = fork();
    if (child != 0) return child;
    std::freopen(output.c_str(), "w", stdout);
    std::freopen(output.c_str(), "a", stderr);
    setenv("NOTIFY_SOCKET", socket.c_str(), 1);
    setenv("WATCHDOG_USEC", "100000", 1);
    unsetenv("WATCHDOG_PID");
    std::vector<char*> argv{const_cast<char*>("vkthost")};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(VKT_HOST_PROGRAM, argv.data());
    _exit(127);
}

// Waits for the host to end, reading what it tells `manager` (if any) meanwhile.
int ExitStatus(pid_t child, ManagerSocket* manager) {
    int status = 0;
    for (pid_t ended; (ended = waitpid(child, &status, WNOHANG)) != child;) {
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

// A host that follows a file, as the service does, is ready once the plug-in has
// started, pings the watchdog from its loop with the plug-in's figures as its status,
// and says when its stop begins.
TEST(ServiceNotifyTest, AFollowingHostIsReadyAliveWithItsFiguresAndStopping) {
    if (!VKT_WITH_SYSTEMD) GTEST_SKIP() << "built without libsystemd: the host tells no one";
    TestHost host;
    const std::string feed = host.Path("feed.jsonl");
    std::ofstream(feed).close();
    ManagerSocket manager;
    ASSERT_TRUE(manager.Bound()) << std::strerror(errno);
    const std::string output = host.Path("out.txt");
    const pid_t child = StartHost(
        {"run", host.Dir(), "--follow", feed, "--plugin", std::getenv("VKT_PLUGIN")}, output);
    ASSERT_GT(child, 0);

    ASSERT_TRUE(manager.WaitForLines("READY=1")) << ReadWholeFile(output);
    for (int rtu = 1; rtu <= 3; ++rtu) {
        CDataFrame frame;
        frame.m_nRTUID = rtu;
        frame.m_nKind = 1;
        frame.m_tTime = DateTime(2009, 3, 12, 0, 0, 0);
        std::ofstream(feed, std::ios::app) << FrameFile::FormatLine(frame) << "\n";
    }
    // The status follows the plug-in's work; the pings come while the loop waits.
    EXPECT_TRUE(manager.WaitForLines("station files: queued 0, written 3, failed 0"))
        << manager.Text();
    EXPECT_TRUE(manager.WaitForLines("WATCHDOG=1", 3)) << manager.Text();
    kill(child, SIGTERM);
    EXPECT_EQ(ExitStatus(child, &manager), 0) << ReadWholeFile(output);

    EXPECT_EQ(manager.Find("READY=1"), 0) << "nothing before READY=1:\n" << manager.Text();
    EXPECT_EQ(manager.Count("READY=1"), 1) << manager.Text();
    EXPECT_EQ(manager.Count("STOPPING=1"), 1) << manager.Text();
    const long stopping = manager.Find("STOPPING=1");
    ASSERT_GT(stopping, 0) << manager.Text();
    EXPECT_EQ(manager.Find("STATUS=stopping; backend: queued ", stopping), stopping + 1)
        << manager.Text();
    // Each status is one line with every store's figures.
    EXPECT_EQ(manager.Count("STATUS="), manager.Count("; isolation files: queued "))
        << manager.Text();
}

// What the manager hears from runs that fail to start, that end on their own, or that
// have no one to tell.
TEST(ServiceNotifyTest, RunsThatFailOrEndOnTheirOwnOrHaveNoOneToTell) {
    if (!VKT_WITH_SYSTEMD) GTEST_SKIP() << "built without libsystemd: the host tells no one";
    struct Case {
        const char* name;
        std::function<void(const TestHost&, std::string& plugin)> prepare;
        bool listening;  // a socket at NOTIFY_SOCKET
        int exitCode;
        std::vector<std::string> lines;  // each found after the one before it; none: nothing
        const char* printed;             // in the run's output
    };
    const Case cases[] = {
        {"a plug-in that cannot be loaded: never ready",
         [](const TestHost& host, std::string& plugin) { plugin = host.Path("missing.so"); },
         true,
         1,
         {},
         "cannot load the plug-in"},
        {"the backend away shows in the status; the run ends with the station files",
         [](const TestHost& host, std::string&) {
             std::ofstream(host.Path("WPDB.ini")) << "[DATABASE]\nSOURCENAME=NO_SUCH_SOURCE\n"
                                                  << "[LOCALDATA]\nDATALEN=0\n[TXT]\nPERMIT=0\n";
         },
         true,
         3,
         {"READY=1", "STOPPING=1", "STATUS=stopping; backend: ", "outage since"},
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
        std::optional<ManagerSocket> manager;
        if (c.listening) {
            ASSERT_TRUE(manager.emplace().Bound()) << std::strerror(errno);
        }
        const std::string output = host.Path("out.txt");
        const pid_t child =
            StartHost({"run", host.Dir(), "--simulate", "2009-03-12 00:00:00..2009-03-12 02:00:00",
                       "--now", "2009-03-12 02:00:00", "--linger", "0", "--plugin", plugin},
                      output);
        ASSERT_GT(child, 0);
        EXPECT_EQ(ExitStatus(child, manager ? &*manager : nullptr), c.exitCode)
            << ReadWholeFile(output);
        EXPECT_NE(ReadWholeFile(output).find(c.printed), std::string::npos)
            << ReadWholeFile(output);
        if (!manager) continue;
        if (c.lines.empty()) {
            EXPECT_EQ(manager->Text(), "");
        }
        long at = 0;
        for (const std::string& expected : c.lines) {
            at = manager->Find(expected, at);
            EXPECT_GE(at, 0) << "no \"" << expected << "\" in order:\n" << manager->Text();
        }
    }
}

}  // namespace
