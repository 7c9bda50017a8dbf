// The window commands (gui, dialog, screenshots) run as processes: stop signals and a
// missing display.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/TestHost.h"

namespace {

using Environment = std::vector<std::pair<const char*, const char*>>;

// Starts the host program with `args` in an environment without a display but for
// `environment`, both output streams to `output`.
pid_t StartHostProgram(const std::vector<std::string>& args, const Environment& environment,
                       const std::string& output) {
    const pid_t child = fork();
    if (child == 0) {
        std::freopen(output.c_str(), "w", stdout);
        dup2(fileno(stdout), fileno(stderr));
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) unsetenv(name);
        for (const auto& [name, value] : environment) setenv(name, value, 1);
        std::vector<char*> argv{const_cast<char*>("vkthost")};
        for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        execv(VKT_HOST_PROGRAM, argv.data());
        _exit(127);
    }
    return child;
}

// Waits for the process; its exit code, or -1 when a signal ended it.
int ExitCode(pid_t child) {
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

long Count(const std::string& file, const std::string& sql) {
    const std::string text = QueryFile(file, sql);
    return text.empty() || text[0] == '<' ? -1 : std::atol(text.c_str());
}

// A stop signal to the window host, whether it replays or acquires live frames: it
// stops acquiring, waits until the plug-in has stored what it took, calls VKTLibExit
// and exits 0, with every station row in the backend.
TEST(WindowHostProgramTest, AStopSignalStoresWhatWasAcquiredAndExitsZero) {
    const char* plugin = std::getenv("VKT_PLUGIN");
    ASSERT_NE(plugin, nullptr);
    const struct {
        int signal;
        const char* name;
        const char* span;
    } cases[] = {
        {SIGTERM, "SIGTERM", "last:3d"},
        {SIGINT, "SIGINT", "live:600"},
        {SIGHUP, "SIGHUP", "last:3d"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TestHost host;
        const std::string output = host.Path("gui.txt");
        const pid_t child = StartHostProgram(
            {"gui", host.Dir(), "--simulate", c.span, "--now", "2009-03-12 12:00:00", "--plugin",
             plugin},
            {{"QT_QPA_PLATFORM", "offscreen"}}, output);
        const std::string backend = host.Path("backend.db");
        // While it acquires and stores.
        ASSERT_TRUE(WaitFor([&] { return Count(backend, "SELECT COUNT(*) FROM FD_RUN_RTTOWER") > 0; }));
        kill(child, c.signal);
        EXPECT_EQ(ExitCode(child), 0) << ReadWholeFile(output);
        const std::string printed = ReadWholeFile(output);
        for (const std::string& expected :
             {std::string("vkthost gui: ") + c.name, std::string("the plug-in stored everything"),
              std::string("plug-in stopped (VKTLibExit)")}) {
            EXPECT_NE(printed.find(expected), std::string::npos) << expected << "\n" << printed;
        }
        long stationRows = 0;
        for (int tower : {1, 2, 3, 12}) {
            const long station =
                Count(host.Path("WPData/WP_" + std::to_string(tower) + ".MDB"), "SELECT COUNT(*) FROM RTTOWER");
            EXPECT_GT(station, 0) << tower;
            EXPECT_EQ(Count(backend, "SELECT COUNT(*) FROM FD_RUN_RTTOWER WHERE TOWERID=" +
                                         std::to_string(tower)),
                      station)
                << tower;
            stationRows += station;
        }
        EXPECT_NE(printed.find(", " + std::to_string(stationRows) + " accepted"), std::string::npos)
            << "every accepted frame is a station row\n" << printed;
    }
}

// A stop signal cancels the plug-in's dialog; the command calls VKTLibExit and exits 0.
TEST(WindowHostProgramTest, AStopSignalClosesADialogAfterVKTLibExit) {
    const char* plugin = std::getenv("VKT_PLUGIN");
    ASSERT_NE(plugin, nullptr);
    const struct {
        const char* dialog;
        int signal;
        const char* name;
    } cases[] = {
        {"property", SIGTERM, "SIGTERM"},
        {"export", SIGINT, "SIGINT"},
        {"property", SIGHUP, "SIGHUP"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.dialog + std::string(" ") + c.name);
        TestHost host;
        const std::string output = host.Path("dialog.txt");
        const pid_t child = StartHostProgram({"dialog", host.Dir(), c.dialog, "--plugin", plugin},
                                             {{"QT_QPA_PLATFORM", "offscreen"}}, output);
        // It holds the directory once it takes stop signals.
        ASSERT_TRUE(WaitFor([&] {
            return ReadWholeFile(host.Path("vkthost.lock")).find(std::to_string(child)) !=
                   std::string::npos;
        }));
        kill(child, c.signal);
        EXPECT_EQ(ExitCode(child), 0) << ReadWholeFile(output);
        const std::string expected =
            std::string(c.name) + ": dialog closed; plug-in stopped (VKTLibExit)";
        EXPECT_NE(ReadWholeFile(output).find(expected), std::string::npos) << ReadWholeFile(output);
    }
}

// Without a display that Qt can use the window commands say so and exit 1 instead of
// aborting inside Qt; screenshots draw offscreen unless another platform is named.
TEST(WindowHostProgramTest, WithoutADisplayTheWindowCommandsSaySoAndExitOne) {
    const char* plugin = std::getenv("VKT_PLUGIN");
    ASSERT_NE(plugin, nullptr);
    TestHost host;
    const std::string shots = host.Path("shots");
    const struct {
        const char* name;
        std::vector<std::string> args;
        Environment environment;
        int exitCode;
        const char* expected;
    } cases[] = {
        {"dialog, nothing set", {"dialog", host.Dir(), "property"}, {}, 1,
         "no display: neither DISPLAY nor WAYLAND_DISPLAY is set"},
        {"dialog, xcb without DISPLAY", {"dialog", host.Dir(), "export"},
         {{"QT_QPA_PLATFORM", "xcb"}}, 1, "QT_QPA_PLATFORM=xcb needs DISPLAY"},
        {"dialog, a platform Qt lacks", {"dialog", host.Dir(), "property"},
         {{"QT_QPA_PLATFORM", "offscren"}}, 1, "Qt has no such platform"},
        {"screenshots, xcb without DISPLAY", {"screenshots", host.Dir(), shots},
         {{"QT_QPA_PLATFORM", "xcb"}}, 1, "needs DISPLAY"},
        {"gui, a display no server answers", {"gui", host.Dir()}, {{"DISPLAY", ":97"}}, 1,
         "no X server answers at DISPLAY=:97"},
        {"gui, wayland without WAYLAND_DISPLAY", {"gui", host.Dir()},
         {{"QT_QPA_PLATFORM", "wayland"}}, 1, "needs WAYLAND_DISPLAY"},
        {"screenshots, nothing set", {"screenshots", host.Dir(), shots}, {}, 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"--plugin", plugin});
        const std::string output = host.Path("out.txt");
        EXPECT_EQ(ExitCode(StartHostProgram(args, c.environment, output)), c.exitCode)
            << ReadWholeFile(output);
        EXPECT_NE(ReadWholeFile(output).find(c.expected), std::string::npos) << ReadWholeFile(output);
        EXPECT_EQ(std::filesystem::exists(shots + "/4000.png"), c.exitCode == 0);
    }
}

}  // namespace
