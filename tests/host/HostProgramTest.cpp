#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QImage>
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <thread>
#include <vector>

#include "host/FrameFile.h"
#include "host/HostDialogs.h"
#include "host/HostJobs.h"
#include "host/HostRun.h"
#include "host/Simulator.h"
#include "hostlib/HostSide.h"
#include "hostlib/VktBase.h"
#include "platform/IniFile.h"
#include "tests/support/TestHost.h"

namespace {

TEST(FrameFileTest, ParsesTheDocumentedLine) {
    std::string error;
    auto frame = FrameFile::ParseLine(
        R"({"rtu":12,"kind":1,"time":"2009-03-12 15:00:00","items":[{"sensor":1201,"id":7000,)"
        R"("kind":0,"time":"2009-03-12 15:00:00","value":5.3,"status":0}]})",
        error);
    ASSERT_TRUE(frame) << error;
    EXPECT_EQ(frame->m_nRTUID, 12);
    EXPECT_EQ(frame->m_nKind, 1);
    EXPECT_EQ(frame->m_tTime.Format(), "2009-03-12 15:00:00");
    ASSERT_EQ(frame->m_arItems.size(), 1u);
    EXPECT_EQ(frame->m_arItems[0].m_nSensorID, 1201);
    EXPECT_EQ(frame->m_arItems[0].m_nDataID, 7000);
    EXPECT_FLOAT_EQ(frame->m_arItems[0].m_fValue, 5.3f);

    auto again = FrameFile::ParseLine(FrameFile::FormatLine(*frame), error);
    ASSERT_TRUE(again) << error;
    EXPECT_EQ(FrameFile::FormatLine(*again), FrameFile::FormatLine(*frame));
}

TEST(FrameFileTest, BadLinesAreReportedWithTheirNumberAndSkipped) {
    TestHost host;
    const std::string good = R"({"rtu":1,"kind":1,"time":"2009-03-12 15:00:00","items":[]})";
    std::ofstream(host.Path("frames.jsonl"))
        << good << "\n"
        << "not json\n"
        << R"({"kind":1,"time":"2009-03-12 15:00:00","items":[]})"
        << "\n"
        << R"({"rtu":"1","kind":1,"time":"2009-03-12 15:00:00","items":[]})"
        << "\n"
        << R"({"rtu":1,"kind":1,"time":"2009-02-30 15:00:00","items":[]})"
        << "\n"
        << R"({"rtu":1,"kind":1,"time":"2009-03-12 15:00:00","items":[{"sensor":1}]})"
        << "\n"
        << "\n"
        << good << "\n";
    FrameFile::Result result = FrameFile::Read(host.Path("frames.jsonl"));
    EXPECT_EQ(result.frames.size(), 2u);
    ASSERT_EQ(result.errors.size(), 5u);
    EXPECT_EQ(result.errors[0].rfind("line 2: not JSON", 0), 0u) << result.errors[0];
    EXPECT_NE(result.errors[1].find("line 3: missing field \"rtu\""), std::string::npos);
    EXPECT_NE(result.errors[2].find("line 4: field \"rtu\" is not an integer"), std::string::npos);
    EXPECT_NE(result.errors[3].find("line 5: field \"time\" is not a possible time"),
              std::string::npos);
    EXPECT_NE(result.errors[4].find("line 6: missing field"), std::string::npos);
}

TEST(SimulatorTest, TenMinuteFramesWithHourlyItemsAtFullHours) {
    CRTUDef tower;
    tower.m_nID = tower.m_nRTUID = 3;
    tower.m_nType = 100;
    std::string error;
    auto range = Simulator::ParseSpan("2009-03-12 13:55:00..2009-03-12 15:00:00",
                                      DateTime(2009, 3, 12, 16, 0, 0), error);
    ASSERT_TRUE(range) << error;
    auto frames = Simulator::Simulate({tower}, *range);
    ASSERT_EQ(frames.size(), 7u);  // 14:00 … 15:00
    EXPECT_EQ(frames.front().m_tTime.Format(), "2009-03-12 14:00:00");
    EXPECT_EQ(frames.back().m_tTime.Format(), "2009-03-12 15:00:00");

    float lastCounter = -1;
    for (const CDataFrame& frame : frames) {
        std::set<int> ids;
        for (const CDataItem& item : frame.m_arItems) {
            ids.insert(item.m_nDataID);
            if (item.m_nDataID == 100) {
                EXPECT_GE(item.m_fValue, lastCounter) << "the rain counter only grows";
                lastCounter = item.m_fValue;
            }
            if (item.m_nDataID >= 9300 && item.m_nDataID < 9307) {
                EXPECT_EQ(item.m_nKind, 8);
                EXPECT_LE(item.m_tTime, frame.m_tTime);
                EXPECT_GT(item.m_tTime, frame.m_tTime - DateTimeSpan(0, 1, 0, 0));
            }
        }
        const bool fullHour = frame.m_tTime.GetMinute() == 0;
        EXPECT_EQ(ids.count(9000) == 1, fullHour);
        EXPECT_EQ(ids.count(9300) == 1, fullHour);
        for (int id : {7000, 7100, 7200, 7300, 7400, 7500, 7600, 7700, 7800, 7900, 8000, 8100, 8200,
                       8300, 2300, 100, 2900, 2905, 3000}) {
            EXPECT_EQ(ids.count(id), 1u) << id;
        }
    }
    EXPECT_FALSE(Simulator::ParseSpan("last:2x", DateTime(2009, 3, 12, 0, 0, 0), error));
    auto last = Simulator::ParseSpan("last:2d", DateTime(2009, 3, 12, 0, 0, 0), error);
    ASSERT_TRUE(last);
    EXPECT_EQ(last->from.Format(), "2009-03-10 00:00:00");
}

TEST(HostRunTest, TheHostLoadsThePluginAndFeedsItFrames) {
    TestHost host;
    std::ofstream(host.Path("frames.jsonl"))
        << R"({"rtu":1,"kind":1,"time":"2009-03-12 15:00:00","items":[]})"
        << "\n"
        << R"({"rtu":40,"kind":1,"time":"2009-03-12 15:00:00","items":[]})"
        << "\n"
        << R"({"rtu":999,"kind":1,"time":"2009-03-12 15:00:00","items":[]})"
        << "\n"
        << "broken\n";
    HostRun::Options options;
    options.dir = host.Dir();
    options.framesFile = host.Path("frames.jsonl");
    options.simulateSpan = "last:30m";
    options.now = "2009-03-12 15:00:00";
    options.lingerSeconds = 0.2;
    const char* plugin = std::getenv("VKT_PLUGIN");
    ASSERT_NE(plugin, nullptr);
    options.pluginPath = plugin;
    HostRun::Summary summary;
    std::string error;
    ASSERT_EQ(HostRun::Run(options, summary, error), 0) << error;
    // Three from the file, four towers × four 10-minute marks simulated.
    EXPECT_EQ(summary.framesRead, 3 + 16);
    EXPECT_EQ(summary.accepted, 18);
    EXPECT_EQ(summary.refused, 1);
    ASSERT_EQ(summary.inputErrors.size(), 1u);
    EXPECT_EQ(summary.inputErrors[0].rfind("line 4:", 0), 0u);
    EXPECT_TRUE(std::filesystem::is_directory(host.Path("WPData")));
    // The host waited for every store before it stopped the plug-in.
    EXPECT_TRUE(summary.drained);
    ASSERT_EQ(summary.health.size(), 5u);
    EXPECT_EQ(summary.health[1].rfind("  backend: queued 0, written 17, failed 0", 0), 0u)
        << summary.health[1];
    EXPECT_EQ(summary.health[2].rfind("  station files: queued 0, written 17, failed 0", 0), 0u)
        << summary.health[2];
    EXPECT_EQ(summary.health[4], "  frames dropped 0, refill ranges pending 0, rows refilled 0");
}

// Frames appended while the host follows the file are acquired as they come, a second
// host on the directory is refused meanwhile; SIGTERM ends the run cleanly with every
// frame stored and the bad line reported.
TEST(HostRunTest, AFollowedFileIsAcquiredUntilSigterm) {
    TestHost host;
    // Named relative to the directory the host starts in, not to the host directory.
    std::filesystem::create_directory(host.Path("feed"));
    const std::string input = host.Path("feed/in.jsonl");
    std::ofstream(input).close();
    const std::string output = host.Path("out.txt");
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::freopen(output.c_str(), "w", stdout);
        if (chdir(host.Path("feed").c_str()) != 0) _exit(126);
        execl(VKT_HOST_PROGRAM, "vkthost", "run", host.Dir().c_str(), "--follow", "in.jsonl",
              "--plugin", std::getenv("VKT_PLUGIN"), static_cast<char*>(nullptr));
        _exit(127);
    }
    constexpr int kFrames = 12;
    for (int i = 0; i < kFrames; ++i) {
        CDataFrame frame;
        frame.m_nRTUID = 1 + i % 3;
        frame.m_nKind = 1;
        frame.m_tTime = DateTime(2009, 3, 12, 0, 0, 0) + DateTimeSpan(0, 0, 10 * i, 0);
        std::ofstream(input, std::ios::app) << FrameFile::FormatLine(frame) << "\n";
        if (i == 5) std::ofstream(input, std::ios::app) << "broken\n";
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const std::string backend = host.Path("backend.db");
    EXPECT_TRUE(WaitFor([&] {
        return QueryFile(backend, "SELECT COUNT(*) FROM FD_RUN_RTTOWER") == std::to_string(kFrames);
    }));
    // One host per directory: a second one is refused and names the first.
    std::ofstream(host.Path("none.jsonl")).close();
    const std::string second = std::string(VKT_HOST_PROGRAM) + " run '" + host.Dir() +
                               "' --frames '" + host.Path("none.jsonl") + "' --plugin '" +
                               std::getenv("VKT_PLUGIN") + "' > '" + host.Path("second.txt") +
                               "' 2>&1";
    const int refused = std::system(second.c_str());
    EXPECT_TRUE(WIFEXITED(refused) && WEXITSTATUS(refused) == 1) << refused;
    EXPECT_NE(ReadWholeFile(host.Path("second.txt"))
                  .find("is in use by process " + std::to_string(child) + " (vkthost)"),
              std::string::npos)
        << ReadWholeFile(host.Path("second.txt"));
    kill(child, SIGTERM);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    const std::string printed = ReadWholeFile(output);
    EXPECT_NE(printed.find("frames accepted: 12"), std::string::npos) << printed;
    EXPECT_NE(printed.find("line 7: not JSON"), std::string::npos) << printed;
    EXPECT_NE(printed.find("station files: queued 0, written 12, failed 0"), std::string::npos)
        << printed;
}

// The window host acquires on its own thread while the window runs, stores what it
// acquired and saves a picture of itself; without any display it says so and stops.
TEST(HostGuiTest, TheWindowHostStoresWhatItAcquiresAndSavesAScreenshot) {
    TestHost host;
    const std::string picture = host.Path("host.png");
    const std::string output = host.Path("out.txt");
    auto runGui = [&](bool display) {
        const pid_t child = fork();
        if (child == 0) {
            std::freopen(output.c_str(), "w", stderr);
            for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
                unsetenv(name);
            if (display) setenv("QT_QPA_PLATFORM", "offscreen", 1);
            execl(VKT_HOST_PROGRAM, "vkthost", "gui", host.Dir().c_str(), "--simulate",
                  "2009-03-12 00:00:00..2009-03-12 02:00:00", "--quit-after", "1", "--screenshot",
                  picture.c_str(), "--plugin", std::getenv("VKT_PLUGIN"),
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        int status = 0;
        waitpid(child, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    EXPECT_EQ(runGui(false), 1);
    EXPECT_NE(ReadWholeFile(output).find("no display"), std::string::npos) << ReadWholeFile(output);
    EXPECT_FALSE(std::filesystem::exists(picture));

    ASSERT_EQ(runGui(true), 0) << ReadWholeFile(output);
    QImage image(QString::fromStdString(picture));
    EXPECT_GE(image.width(), 800);
    EXPECT_GE(image.height(), 500);
    EXPECT_EQ(QueryFile(host.Path("backend.db"), "SELECT COUNT(*) FROM FD_RUN_RTTOWER"), "52")
        << "13 ten-minute marks of the four towers of types 100 and 101";
}

// A finite run does not wait for a backend that does not answer: once the station
// files have everything it says what waits for the backend and ends with exit code 3.
TEST(HostRunTest, AFiniteRunWithTheBackendAwayEndsWithTheStationFiles) {
    TestHost host;
    std::ofstream(host.Path("WPDB.ini"))
        << "[DATABASE]\nSOURCENAME=NO_SUCH_SOURCE\n[LOCALDATA]\nDATALEN=0\n[TXT]\nPERMIT=0\n";
    const std::string command =
        std::string(VKT_HOST_PROGRAM) + " run '" + host.Dir() +
        "' --simulate '2009-03-12 00:00:00..2009-03-12 02:00:00' --drain 600 --linger 0 " +
        "--plugin '" + std::getenv("VKT_PLUGIN") + "' > '" + host.Path("run.txt") + "' 2>&1";
    const auto start = std::chrono::steady_clock::now();
    const int status = std::system(command.c_str());
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const std::string printed = ReadWholeFile(host.Path("run.txt"));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 3) << status << "\n" << printed;
    EXPECT_LT(seconds, 300.0) << "not the whole drain";
    EXPECT_NE(printed.find("the backend does not answer: "), std::string::npos) << printed;
    EXPECT_EQ(QueryFile(host.Path("WPData/WP_1.MDB"), "SELECT COUNT(*) FROM RTTOWER"), "13");
}

TEST(HostRunTest, AnIsolationFileThroughThePlugin) {
    TestHost host;
    const char* items =
        R"([{"sensor":1,"id":8000,"kind":0,"time":"2009-03-12 14:00:00","value":15.2,"status":0},)"
        R"({"sensor":2,"id":8100,"kind":0,"time":"2009-03-12 14:00:00","value":80,"status":0},)"
        R"({"sensor":3,"id":8200,"kind":0,"time":"2009-03-12 14:00:00","value":14.8,"status":0},)"
        R"({"sensor":4,"id":8300,"kind":0,"time":"2009-03-12 14:00:00","value":78.5,"status":0},)"
        R"({"sensor":5,"id":2300,"kind":0,"time":"2009-03-12 14:00:00","value":1012.3,"status":0},)"
        R"({"sensor":6,"id":100,"kind":0,"time":"2009-03-12 14:00:00","value":12.5,"status":0},)"
        R"({"sensor":7,"id":2900,"kind":0,"time":"2009-03-12 14:00:00","value":1,"status":0},)"
        R"({"sensor":8,"id":2901,"kind":0,"time":"2009-03-12 14:00:00","value":0,"status":0},)"
        R"({"sensor":9,"id":2902,"kind":0,"time":"2009-03-12 14:00:00","value":0,"status":0},)"
        R"({"sensor":10,"id":2903,"kind":0,"time":"2009-03-12 14:00:00","value":0,"status":0},)"
        R"({"sensor":11,"id":2904,"kind":0,"time":"2009-03-12 14:00:00","value":0,"status":0},)"
        R"({"sensor":12,"id":2905,"kind":0,"time":"2009-03-12 14:00:00","value":0,"status":0},)"
        R"({"sensor":13,"id":3000,"kind":0,"time":"2009-03-12 14:00:00","value":0,"status":0},)"
        R"({"sensor":14,"id":7000,"kind":0,"time":"2009-03-12 14:00:00","value":5.3,"status":0},)"
        R"({"sensor":15,"id":7100,"kind":0,"time":"2009-03-12 14:00:00","value":182,"status":0},)"
        R"({"sensor":16,"id":7200,"kind":0,"time":"2009-03-12 14:00:00","value":0.45,"status":0},)"
        R"({"sensor":17,"id":7300,"kind":0,"time":"2009-03-12 14:00:00","value":5.1,"status":0},)"
        R"({"sensor":18,"id":7400,"kind":0,"time":"2009-03-12 14:00:00","value":180,"status":0},)"
        R"({"sensor":19,"id":7500,"kind":0,"time":"2009-03-12 14:00:00","value":7.2,"status":0},)"
        R"({"sensor":20,"id":7600,"kind":0,"time":"2009-03-12 14:00:00","value":3.1,"status":0},)"
        R"({"sensor":21,"id":7700,"kind":0,"time":"2009-03-12 14:00:00","value":175,"status":0},)"
        R"({"sensor":22,"id":7800,"kind":0,"time":"2009-03-12 14:00:00","value":190,"status":0},)"
        R"({"sensor":23,"id":7900,"kind":0,"time":"2009-03-12 14:00:00","value":12,"status":0}])";
    std::ofstream(host.Path("frames.jsonl"))
        << R"({"rtu":1,"kind":1,"time":"2009-03-12 14:00:00","items":)" << items << "}\n";
    HostRun::Options options;
    options.dir = host.Dir();
    options.framesFile = host.Path("frames.jsonl");
    options.now = "2009-03-12 14:06:29";
    options.lingerSeconds = 3;  // the storage thread looks at the clock once a second
    options.pluginPath = std::getenv("VKT_PLUGIN");
    HostRun::Summary summary;
    std::string error;
    ASSERT_EQ(HostRun::Run(options, summary, error), 0) << error;
    EXPECT_EQ(ReadWholeFile(host.Path("T1-5-20090312-1405.txt")),
              "5,2009-03-12 14:05:00,V0,  15.20,  80.00,  14.80,  78.50,1012.30,  12.50, -99.00,"
              "   1.00,   0.00,   0.00,   0.00,   0.00,   0.00,   0.00, -99.00, -99.00\r\n"
              "5,2009-03-12 14:05:00,V1,   5.30, 182.00,   0.45,   5.10, 180.00,   7.20,   3.10,"
              " 175.00, 190.00,  12.00\r\n"
              "##");
    // Towers without frames have fallen silent: no file for them.
    EXPECT_FALSE(std::filesystem::exists(host.Path("T2-6-20090312-1405.txt")));
}

// Under a fast live simulation the clock jumps ten minutes at a poll; every five-minute
// period it passes still gets its reverse-isolation file.
TEST(HostRunTest, ALiveSimulationWritesAnIsolationFileForEveryPeriod) {
    TestHost host;
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::freopen(host.Path("out.txt").c_str(), "w", stdout);
        execl(VKT_HOST_PROGRAM, "vkthost", "run", host.Dir().c_str(), "--simulate", "live:600",
              "--now", "2009-03-12 10:00:00", "--plugin", std::getenv("VKT_PLUGIN"),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    auto fileTimes = [&] {
        std::set<std::string> times;
        for (const auto& entry : std::filesystem::directory_iterator(host.Dir())) {
            const std::string name = entry.path().filename().string();
            if (name.rfind("T1-", 0) == 0 && name.size() > 17) {
                times.insert(name.substr(name.size() - 17, 13));  // YYYYMMDD-HHMM
            }
        }
        return times;
    };
    EXPECT_TRUE(WaitFor([&] { return fileTimes().count("20090312-1040") == 1; }));
    kill(child, SIGTERM);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    const std::set<std::string> times = fileTimes();
    // The first frames are those of 10:10.
    for (int minute = 10; minute <= 40; minute += 5) {
        char expected[16];
        std::snprintf(expected, sizeof expected, "20090312-10%02d", minute);
        EXPECT_EQ(times.count(expected), 1u) << expected;
    }
}

namespace fs = std::filesystem;

// Names in a folder, for telling that a failed run left it as it was.
std::set<std::string> Entries(const std::string& dir) {
    std::set<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir, ec)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

// A run that cannot start says what is wrong and where, and changes nothing in the host
// directory but the error log.
TEST(HostRunTest, ARunThatCannotStartNamesTheCauseAndLeavesTheDirectoryAsItWas) {
    struct Case {
        const char* name;
        bool byPermissions;  // root reads and writes whatever its permissions say
        std::function<void(const TestHost&, HostRun::Options&)> breakHost;
        std::vector<std::string> expected;  // in the error; "@" stands for the directory
    };
    const Case cases[] = {
        {"frames file is a folder",
         false,
         [](const TestHost& host, HostRun::Options& o) { o.framesFile = host.Path("odbc"); },
         {"--frames", "@/odbc", "folder"}},
        {"frames file missing",
         false,
         [](const TestHost& host, HostRun::Options& o) { o.framesFile = host.Path("no.jsonl"); },
         {"--frames", "@/no.jsonl", "No such file"}},
        {"frames file unreadable",
         true,
         [](const TestHost& host, HostRun::Options& o) {
             std::ofstream(host.Path("frames.jsonl")) << "\n";
             fs::permissions(host.Path("frames.jsonl"), fs::perms::none);
             o.framesFile = host.Path("frames.jsonl");
         },
         {"--frames", "@/frames.jsonl", "Permission denied"}},
        {"catalogue missing",
         false,
         [](const TestHost& host, HostRun::Options&) { fs::remove(host.Path("VKTCOMM.MDB")); },
         {"@/VKTCOMM.MDB", "does not exist", "vkthost init"}},
        {"catalogue is no SQLite file",
         false,
         [](const TestHost& host, HostRun::Options&) {
             std::ofstream(host.Path("VKTCOMM.MDB"), std::ios::trunc) << "Standard Jet DB\n";
         },
         {"@/VKTCOMM.MDB", "not an SQLite database"}},
        {"catalogue is a folder",
         false,
         [](const TestHost& host, HostRun::Options&) {
             fs::remove(host.Path("VKTCOMM.MDB"));
             fs::create_directory(host.Path("VKTCOMM.MDB"));
         },
         {"@/VKTCOMM.MDB", "not a file"}},
        {"catalogue without tables",
         false,
         [](const TestHost& host, HostRun::Options&) {
             std::ofstream(host.Path("VKTCOMM.MDB"), std::ios::trunc);
         },
         {"@/VKTCOMM.MDB", "no such table: RTU"}},
        {"catalogue read-only",
         true,
         [](const TestHost& host, HostRun::Options&) {
             fs::permissions(host.Path("VKTCOMM.MDB"), fs::perms::owner_read);
         },
         {"@/VKTCOMM.MDB", "not writable"}},
        {"host directory read-only",
         true,
         [](const TestHost& host, HostRun::Options&) {
             fs::permissions(host.Dir(), fs::perms::owner_read | fs::perms::owner_exec);
         },
         {"host directory @ ", "not writable"}},
        {"driver library missing",
         false,
         [](const TestHost& host, HostRun::Options&) {
             IniFile::WriteString(host.Path("odbc/odbcinst.ini"), "SQLite3", "Driver",
                                  "/nonexistent/libsqlite3odbc.so");
         },
         {"/nonexistent/libsqlite3odbc.so", "@/odbc/odbcinst.ini", "does not exist"}},
        {"driver list missing",
         false,
         [](const TestHost& host, HostRun::Options&) {
             fs::remove(host.Path("odbc/odbcinst.ini"));
         },
         {"@/odbc/odbcinst.ini", "No such file"}},
        {"host directory is a file",
         false,
         [](const TestHost& host, HostRun::Options& o) {
             std::ofstream(host.Path("plain")) << "x";
             o.dir = host.Path("plain");
         },
         {"@/plain", "Not a directory"}},
    };
    const char* plugin = std::getenv("VKT_PLUGIN");
    ASSERT_NE(plugin, nullptr);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.byPermissions && geteuid() == 0) continue;
        TestHost host;
        VktHost::CloseHost();
        HostRun::Options options;
        options.dir = host.Dir();
        options.now = "2009-03-12 15:00:00";
        options.lingerSeconds = 0;
        options.pluginPath = plugin;
        c.breakHost(host, options);
        const std::set<std::string> before = Entries(host.Dir());

        HostRun::Summary summary;
        std::string error;
        const int rc = HostRun::Run(options, summary, error);
        fs::permissions(host.Dir(), fs::perms::owner_all);

        EXPECT_NE(rc, 0);
        for (std::string expected : c.expected) {
            if (const size_t at = expected.find('@'); at != std::string::npos) {
                expected.replace(at, 1, host.Dir());
            }
            EXPECT_NE(error.find(expected), std::string::npos)
                << "\"" << expected << "\" is missing from: " << error;
        }
        std::set<std::string> after = Entries(host.Dir());
        after.erase("VKTError.log");
        EXPECT_EQ(after, before);
    }
}

// Every path under a folder, for telling that a refused command made nothing.
std::set<std::string> Tree(const std::string& dir) {
    std::set<std::string> paths;
    std::error_code ec;
    for (const auto& entry : fs::recursive_directory_iterator(dir, ec)) {
        paths.insert(entry.path().lexically_relative(dir).string());
    }
    return paths;
}

// Runs the host program with `args`; its exit status (-1 when it did not exit), and
// what it wrote to its error output in `errors`.
int RunHostProgram(const std::vector<std::string>& args, const std::string& errorFile,
                   std::string& errors) {
    const pid_t child = fork();
    if (child == 0) {
        std::freopen(errorFile.c_str(), "w", stderr);
        std::vector<char*> argv{const_cast<char*>("vkthost")};
        for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        execv(VKT_HOST_PROGRAM, argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    errors = ReadWholeFile(errorFile);
    fs::remove(errorFile);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The host directory's path reaches odbc.ini, where a line break would add lines of its
// own (a Driver= of someone else's choosing, a Database= outside the folder): init and
// run refuse such a directory before they make anything.
TEST(HostDirectoryTest, APathWithAControlCharacterIsRefusedAndNothingIsMade) {
    const char* plugin = std::getenv("VKT_PLUGIN");
    ASSERT_NE(plugin, nullptr);
    struct Case {
        std::string name;  // of the host directory, inside a fresh temporary folder
        const char* shown;
    };
    const Case cases[] = {
        {"a\nb", "a\\nb"},
        {"WP]\n[DAVAD]\nDriver=/tmp/evil.so\nDatabase=/tmp/elsewhere.db",
         "WP]\\n[DAVAD]\\nDriver=/tmp/evil.so"},
        {"cr\rlf", "cr\\x0Dlf"},
        {"tab\tname", "tab\\tname"},
        {"esc\x1B[31mred", "esc\\x1B[31mred"},
        {"del\x7F", "del\\x7F"},
        {"parent\nfolder/host", "parent\\nfolder/host"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.shown);
        TestHost host(true, {}, "host");
        VktHost::CloseHost();
        const std::string root = fs::path(host.Dir()).parent_path().string();
        const std::string dir = root + "/" + c.name;
        const std::string errorFile = root + ".errors";
        std::string errors;

        // init makes neither the directory nor anything beside it.
        const std::set<std::string> rootBefore = Tree(root);
        EXPECT_EQ(RunHostProgram({"init", dir, "--demo"}, errorFile, errors), 1);
        EXPECT_NE(errors.find("control character"), std::string::npos) << errors;
        EXPECT_NE(errors.find(c.shown), std::string::npos) << errors;
        EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 1) << "one line: " << errors;
        EXPECT_EQ(Tree(root), rootBefore);

        // run, on a host directory moved to such a path, changes nothing in it or beside it.
        std::error_code ec;
        fs::create_directories(fs::path(dir).parent_path(), ec);
        fs::rename(host.Dir(), dir, ec);
        ASSERT_FALSE(ec) << ec.message();
        const std::set<std::string> before = Tree(root);
        const std::string odbcIni = ReadWholeFile(dir + "/odbc/odbc.ini");
        EXPECT_EQ(RunHostProgram({"run", dir, "--simulate", "last:30m", "--now",
                                  "2009-03-12 15:00:00", "--linger", "0", "--plugin", plugin},
                                 errorFile, errors),
                  1);
        EXPECT_NE(errors.find("control character"), std::string::npos) << errors;
        EXPECT_EQ(Tree(root), before);
        EXPECT_EQ(ReadWholeFile(dir + "/odbc/odbc.ini"), odbcIni);
        fs::rename(dir, host.Dir(), ec);
    }
}

TEST(HostCatalogueTest, TheLibraryDoesNotCreateAMissingCatalogue) {
    TestHost host;
    VktHost::CloseHost();
    fs::remove(host.Path("VKTCOMM.MDB"));
    EXPECT_FALSE(VktHost::LoadHostCatalogue());
    EXPECT_EQ(ExecSQLStr("SELECT 1"), 0);
    EXPECT_FALSE(fs::exists(host.Path("VKTCOMM.MDB")));

    // Making a host directory still creates it.
    ASSERT_TRUE(VktHost::CreateHostDatabase());
    EXPECT_TRUE(VktHost::LoadHostCatalogue());
}

TEST(HostRunTest, AHostDirectoryRelativeToTheCurrentOne) {
    const char* plugin = std::getenv("VKT_PLUGIN");
    ASSERT_NE(plugin, nullptr);
    TestHost host;
    VktHost::CloseHost();
    const fs::path dir(host.Dir());
    ASSERT_EQ(chdir(dir.parent_path().c_str()), 0);
    HostRun::Options options;
    options.dir = dir.filename().string();
    options.lingerSeconds = 0;
    options.pluginPath = plugin;
    HostRun::Summary summary;
    std::string error;
    EXPECT_EQ(HostRun::Run(options, summary, error), 0) << error;
}

}  // namespace

namespace {

HostJobs::Options JobOptions(const TestHost& host, const char* from, const char* to) {
    HostJobs::Options options;
    options.dir = host.Dir();
    options.kind = CPluginJobs::kExport;
    options.stations = "1,2";
    options.from = from;
    options.to = to;
    options.pluginPath = std::getenv("VKT_PLUGIN");
    return options;
}

TEST(HostJobsTest, AnExportFromTheTerminalRunsToItsEndOrStopsOnCtrlC) {
    ASSERT_NE(std::getenv("VKT_PLUGIN"), nullptr);
    {
        TestHost host;
        VktHost::CloseHost();
        std::string error;
        EXPECT_EQ(HostJobs::Run(JobOptions(host, "2009-03-10 00:00", "2009-03-12 00:00"), error), 0)
            << error;
    }
    TestHost host;
    VktHost::CloseHost();
    // 2 stations × 60 days at 50 ms a unit: a Ctrl-C comes long before the end, once
    // the job runs and takes it as its stop button (however long the start took).
    std::thread interrupt([] {
        WaitFor([] {
            struct sigaction current = {};
            sigaction(SIGINT, nullptr, &current);
            return current.sa_handler != SIG_DFL;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        kill(getpid(), SIGINT);
    });
    std::string error;
    EXPECT_EQ(HostJobs::Run(JobOptions(host, "2009-01-01 00:00", "2009-03-02 00:00"), error), 2)
        << "stopped after the current unit";
    interrupt.join();
}

TEST(HostJobsTest, OptionsThatCannotStartAJobSayWhy) {
    ASSERT_NE(std::getenv("VKT_PLUGIN"), nullptr);
    const struct {
        const char* stations;
        const char* from;
        const char* to;
        const char* expected;
    } cases[] = {
        {"1,x", "2009-03-10 00:00", "2009-03-11 00:00", "--stations"},
        {"", "2009-03-10 00:00", "2009-03-11 00:00", "--stations"},
        {"1", "2009-03-10", "2009-03-11 00:00", "--from"},
        {"1", "2009-03-10 00:00", "2009-02-30 00:00", "--to"},
        {"1", "2009-03-11 00:00", "2009-03-10 00:00", "earlier"},
    };
    for (const auto& c : cases) {
        TestHost host;
        VktHost::CloseHost();
        HostJobs::Options options = JobOptions(host, c.from, c.to);
        options.stations = c.stations;
        std::string error;
        EXPECT_EQ(HostJobs::Run(options, error), 1) << c.stations << " " << c.from;
        EXPECT_NE(error.find(c.expected), std::string::npos) << error;
    }
}

}  // namespace

namespace {

TEST(HostDialogsTest, ScreenshotsOfTheFourDialogs) {
    const char* plugin = std::getenv("VKT_PLUGIN");
    ASSERT_NE(plugin, nullptr);
    TestHost host;
    VktHost::CloseHost();
    std::string error;
    ASSERT_EQ(HostDialogs::Screenshots(host.Dir(), host.Path("shots"), plugin, error), 0) << error;
    for (const char* name : {"4000.png", "4001.png", "4002.png", "4003.png"}) {
        const QImage image(QString::fromStdString(host.Path(std::string("shots/") + name)));
        EXPECT_FALSE(image.isNull()) << name;
        EXPECT_GT(image.width(), 100) << name;
    }
    EXPECT_NE(HostDialogs::OpenDialog(host.Dir(), "nothing", plugin, error), 0);
}

}  // namespace
