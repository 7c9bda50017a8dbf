#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QDateTimeEdit>
#include <QImage>
#include <QListWidget>
#include <QPushButton>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "host/FrameFile.h"
#include "host/HostDialogs.h"
#include "host/HostJobs.h"
#include "host/HostRun.h"
#include "host/Report.h"
#include "host/Simulator.h"
#include "hostlib/HostSide.h"
#include "hostlib/VktBase.h"
#include "platform/IniFile.h"
#include "platform/System.h"
#include "plugin/ConfigFile.h"
#include "tests/support/HostProgram.h"
#include "tests/support/QtTestSupport.h"
#include "tests/support/TestCluster.h"
#include "tests/support/TestHost.h"

namespace {

// The report pastes the schema prefix into its statements only when the plug-in would:
// any other text is named and the backend tables are left alone.
TEST(ReportTest, TheSchemaPrefixIsCheckedBeforeItReachesAStatement) {
    TestHost host;
    const struct {
        const char* prefix;
        const char* expected;  // in the report's backend part
    } cases[] = {
        {"", "  FD_RUN_RTTOWER: 0 rows"},
        {"main", "  main.FD_RUN_RTTOWER: 0 rows"},
        {"x; DROP TABLE FD_RUN_TOWERHIS; --",
         "is not an SQL name; the backend tables are not read"},
        {"main.FD_RUN_RTTOWER WHERE 1=0 --", "is not an SQL name"},
        {"1abc", "is not an SQL name"},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(IniFile::WriteString("./WPDB.ini", "DATABASE", "PRENAME", c.prefix));
        testing::internal::CaptureStdout();
        EXPECT_EQ(Report::Print(host.Dir()), 0);
        const std::string out = testing::internal::GetCapturedStdout();
        const std::string backend = out.substr(0, out.find("station databases"));
        EXPECT_NE(backend.find(c.expected), std::string::npos) << c.prefix << "\n" << out;
        const bool refused = backend.find("not an SQL name") != std::string::npos;
        EXPECT_EQ(refused, backend.find("rows") == std::string::npos) << c.prefix;
    }
    EXPECT_EQ(QueryDataSource("DAVAD", "SELECT COUNT(*) FROM FD_RUN_TOWERHIS"), "0");
}

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

// A bad line is skipped and reported with its number and, in plain words, what is wrong
// with it and where: never the parser's own exception text.
TEST(FrameFileTest, BadLinesAreReportedWithTheirNumberInPlainWords) {
    TestHost host;
    const std::string good = R"({"rtu":1,"kind":1,"time":"2009-03-12 15:00:00","items":[]})";
    const struct {
        std::string line;
        std::vector<std::string> expected;
    } cases[] = {
        {"not json", {"not a JSON object", "no JSON value", "at character 2", "(\"not json\")"}},
        {R"({"rtu":1,"kind":1 "time":"2009-03-12 15:00:00","items":[]})",
         {"not a JSON object: found a text, where ',' or '}' should be, at character 24"}},
        {R"({"rtu":1,"kind":1,"items":[1,2})", {"found '}', where ',' or ']' should be"}},
        {R"({"rtu":1,"kind":1,"time":"2009-03-12)", {"a broken text", "missing closing quote"}},
        {R"({"rtu":1,"kind":1,)", {"the line ends too early", "at character 19"}},
        {R"({"rtu":1} {})", {"where nothing after the object's closing '}' should be"}},
        {"[1,2]", {"not a JSON object: the line holds a list"}},
        {R"({"rtu":1e999,"kind":1,"time":"2009-03-12 15:00:00","items":[]})",
         {"a number is too large"}},
        {R"({"kind":1,"time":"2009-03-12 15:00:00","items":[]})", {"missing field \"rtu\""}},
        {R"({"rtu":"1","kind":1,"time":"2009-03-12 15:00:00","items":[]})",
         {"field \"rtu\" is not an integer"}},
        // Above the signed 64-bit range: held unsigned, it must not pass as -1.
        {R"({"rtu":18446744073709551615,"kind":1,"time":"2009-03-12 15:00:00","items":[]})",
         {"field \"rtu\" is out of range"}},
        {R"({"rtu":1,"kind":1,"time":"2009-02-30 15:00:00","items":[]})",
         {"field \"time\" is not a possible time"}},
        {R"({"rtu":1,"kind":1,"time":"2009-03-12 15:00:00","items":[{"sensor":1}]})",
         {"missing field"}},
    };
    {
        std::ofstream out(host.Path("frames.jsonl"));
        out << good << "\n\n";
        for (const auto& c : cases) out << c.line << "\n";
        out << good << "\n";
    }
    FrameFile::Result result = FrameFile::Read(host.Path("frames.jsonl"));
    EXPECT_EQ(result.lines, (std::vector<long>{1, 3 + static_cast<long>(std::size(cases))}));
    ASSERT_EQ(result.errors.size(), std::size(cases));
    for (size_t i = 0; i < std::size(cases); ++i) {
        const std::string& error = result.errors[i];
        SCOPED_TRACE(cases[i].line);
        EXPECT_EQ(error.rfind("line " + std::to_string(i + 3) + ": ", 0), 0u) << error;
        for (const std::string& expected : cases[i].expected) {
            EXPECT_NE(error.find(expected), std::string::npos) << error;
        }
        EXPECT_EQ(error.find("json.exception"), std::string::npos) << error;
    }
}

// The usual line is read without building a document; whatever it takes must read as
// the document does, and whatever it leaves must still get the document's frame or words.
TEST(FrameFileTest, TheQuickReadingAgreesWithTheDocument) {
    const std::string head = R"("rtu":12,"kind":1,"time":"2009-03-12 15:00:00")";
    const std::string item = R"("sensor":1201,"id":7000,"kind":0,"time":"2009-03-12T15:00:00")";
    const auto line = [&](const std::string& before, const std::string& within) {
        return "{" + before + head + R"(,"items":[{)" + item + within + "}]} ";
    };
    const struct {
        std::string line;
        bool quick;  // whether the quick reading takes it
    } cases[] = {
        {line(R"("gw":{"a":[1,-2.5e-3,{"b":null}],"c":true,"d":""},)",
              R"(,"value":5.3,"status":0)"),
         true},
        {R"({"items":[{"status":3,"value":1,"time":"2009-03-12 15:00:00","kind":8,"id":-0,)"
         R"("sensor":-2147483648}],"time":"2009-03-12 15:10:00","kind":2,"rtu":1})",
         true},
        {line(R"("name":"风速 m/s",)", R"(,"value":-0,"status":0)"), true},
        {line("", R"(,"value":-0.0,"status":0,"x":[[[]]])"), true},
        {line("", R"(,"value":16777217,"status":0)"), true},
        {line("", R"(,"value":0.1000000000000000055511151231257827,"status":0)"), true},
        {line(R"("rtu":5,)", R"(,"value":1,"status":0)"), false},
        {line("", R"(,"value":1,"status":0,"id":7000.0)"), false},
        {line("", R"(,"value":1,"status":1e3)"), false},
        {line("", R"(,"value":1,"status":2147483648)"), false},
        {line("", R"(,"value":1,"status":18446744073709551615)"), false},
        {line("", R"(,"value":18446744073709551616,"status":0)"), false},
        {line("", R"(,"value":1e400,"status":0)"), false},
        {line("", R"(,"value":1,"status":0,"x":1e400)"), false},
        {line("", R"(,"value":"1","status":0)"), false},
        {line(R"("name":"\u98ce",)", R"(,"value":1,"status":0)"), false},
        {line("\"name\":\"\xC0\xAF\",", R"(,"value":1,"status":0)"), false},
        {line("\"name\":\"\xED\xA0\x80\",", R"(,"value":1,"status":0)"), false},
        {line("", R"(,"value":1,"status":0},1)"), false},
        {line("", R"(,"value":1)"), false},
        {line("", R"(,"value":1,"status":0,"x":tru)"), false},
        {line("", R"(,"value":1,"status":0,"x":01)"), false},
        {R"({"rtu":1,"kind":1,"time":"2009-03-12 15:00:00","items":[]} x)", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        std::string expectedError = "none", error = "none";
        const auto expected = FrameFile::TEST_ReadLineAsDocument(c.line, expectedError);
        const auto quick = FrameFile::TEST_ReadUsualLine(c.line);
        const auto frame = FrameFile::ParseLine(c.line, error);
        EXPECT_EQ(quick.has_value(), c.quick);
        ASSERT_EQ(frame.has_value(), expected.has_value()) << error;
        EXPECT_EQ(error, expectedError);
        for (const auto& got : {quick, frame}) {
            if (got) {
                EXPECT_EQ(FrameFile::FormatLine(*got), FrameFile::FormatLine(*expected));
            }
        }
    }
}

TEST(FrameFileTest, CommandLineTimesWithOrWithoutSeconds) {
    const struct {
        const char* text;
        const char* expected;  // the time, or why it is refused
    } cases[] = {
        {"2009-03-12 15:07", "2009-03-12 15:07:00"},
        {"2009-03-12 15:07:42", "2009-03-12 15:07:42"},
        {"2009-03-12", "must be"},
        {"2009-03-12 15", "must be"},
        {"2009-03-12 15:07:", "must be"},
        {"2009-03-12 15:07 ", "must be"},
        {"2009-02-30 15:07", "names a day or time that does not exist"},
        {"2009-03-12 24:00", "names a day or time that does not exist"},
    };
    for (const auto& c : cases) {
        const auto time = FrameFile::ParseOptionTime(c.text);
        const std::string got = time ? time->Format() : FrameFile::OptionTimeError("--now", c.text);
        EXPECT_NE(got.find(c.expected), std::string::npos) << c.text << ": " << got;
    }
}

// ISO 8601 times as gateways write them: without a zone in the host's local time, with
// "Z" or an offset converted to it (here UTC+8).
TEST(FrameFileTest, IsoTimesAreTakenInTheHostsLocalTime) {
    const char* const previous = std::getenv("TZ");
    const std::string kept = previous ? previous : "";
    setenv("TZ", "CST-8", 1);
    tzset();
    const struct {
        const char* text;
        const char* expected;  // "" when refused
    } cases[] = {
        {"2026-12-10T09:30:00", "2026-12-10 09:30:00"},
        {"2026-12-10T09:30:00Z", "2026-12-10 17:30:00"},
        {"2026-12-10T09:30:00+08:00", "2026-12-10 09:30:00"},
        {"2026-12-10T09:30:00.250-0530", "2026-12-10 23:00:00"},
        {"2026-12-31T20:00:00-05", "2027-01-01 09:00:00"},
        {"2026-12-10T09:30:00+8", ""},
        {"2026-12-10T09:30:00+15:00", ""},
        {"2026-12-10T09:30Z", ""},
        {"2026-12-10T09:30:00.Z", ""},
        {"2026-02-30T09:30:00Z", ""},
    };
    for (const auto& c : cases) {
        const auto time = FrameFile::ParseTime(c.text);
        EXPECT_EQ(time ? time->Format() : "", c.expected) << c.text;
    }
    previous ? setenv("TZ", kept.c_str(), 1) : unsetenv("TZ");
    tzset();
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
    EXPECT_NE(printed.find("line 7: not a JSON object"), std::string::npos) << printed;
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
    // The offscreen screen's 800×600, less the window's frame.
    EXPECT_GE(image.width(), 780);
    EXPECT_GE(image.height(), 500);
    EXPECT_EQ(QueryFile(host.Path("backend.db"), "SELECT COUNT(*) FROM FD_RUN_RTTOWER"), "52")
        << "13 ten-minute marks of the four towers of types 100 and 101";
}

// A finite run does not wait for a backend that does not answer: once the station
// files have everything it says what waits for the backend and ends with exit code 3.
// A backend that does not answer is waited for 5 s, unless the operator's --drain
// asks to wait for it: then the drain bounds the wait. Either way the station files
// have every frame and a finite run ends with exit 3 (rows pending); a continuous one
// stopped by SIGTERM so is a service's normal end (exit 0).
// Without its frame spool no run ends with 0: a kill would have lost its frames.
TEST(HostRunTest, ARunWithTheBackendAwayEndsWithTheStationFiles) {
    const struct {
        const char* run;  // after the host directory
        bool spool;       // the frame spool can be opened
        int status;
        const char* says;
    } cases[] = {
        {"--simulate '2009-03-12 00:00:00..2009-03-12 02:00:00' ", true, 3,
         "the backend does not answer: "},
        {"--simulate '2009-03-12 00:00:00..2009-03-12 02:00:00' --drain 8 ", true, 3,
         "had not stored everything within --drain"},
        {"--simulate live:600 ", true, 0,
         "copied from the station files when it answers (exit code 0)"},
        // A service's stop: its --drain bounds the wait for the station files only.
        {"--simulate live:600 --drain 60 ", true, 0,
         "copied from the station files when it answers (exit code 0)"},
        {"--simulate live:600 ", false, 3, "the frame spool could not be opened"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.run);
        TestHost host;
        std::ofstream(host.Path("WPDB.ini"))
            << "[DATABASE]\nSOURCENAME=NO_SUCH_SOURCE\nPASSWORD=pw-Leak-7f3a\n[LOCALDATA]\nDATALEN="
               "0\n[TXT]\nPERMIT=0\n";
        if (!c.spool) {
            std::filesystem::create_directories(host.Path("WPData"));
            std::ofstream(host.Path("WPData/spool")) << "not a folder";
        }
        const bool live = std::string(c.run).find("live") != std::string::npos;
        // --foreground: one SIGTERM to the host; without it timeout sends one to the host
        // and one to its process group, and two stop signals cut the drain short.
        const std::string command =
            std::string(live ? "timeout --foreground --preserve-status -s TERM 3 " : "") +
            VKT_HOST_PROGRAM + " run '" + host.Dir() + "' " + c.run +
            "--status 1 --linger 0 --plugin '" + std::getenv("VKT_PLUGIN") + "' > '" +
            host.Path("run.txt") + "' 2>&1";
        const int status = std::system(command.c_str());
        const std::string printed = ReadWholeFile(host.Path("run.txt"));
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == c.status) << status << "\n"
                                                                          << printed;
        EXPECT_NE(printed.find(c.says), std::string::npos) << printed;
        // The backend's password is in no output, status line or error log line.
        EXPECT_EQ((printed + ReadWholeFile(host.Path("VKTError.log"))).find("pw-Leak"),
                  std::string::npos);
        if (!live) {
            EXPECT_EQ(QueryFile(host.Path("WPData/WP_1.MDB"), "SELECT COUNT(*) FROM RTTOWER"),
                      "13");
        } else if (c.spool) {
            // The outage's reason reaches the journal as it begins, not only the error log.
            const size_t told = printed.find("[error log] ");
            ASSERT_NE(told, std::string::npos) << printed;
            EXPECT_NE(printed.find("backend data source NO_SUCH_SOURCE", told), std::string::npos)
                << printed;
        }
    }
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
// period it passes still gets its reverse-isolation file. SIGHUP ends it as SIGTERM does.
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
    kill(child, SIGHUP);
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
         {"cannot write 1 of the files and folders of the host directory @: @/VKTCOMM.MDB",
          "chown -R "}},
        {"host directory read-only",
         true,
         [](const TestHost& host, HostRun::Options&) {
             fs::permissions(host.Dir(), fs::perms::owner_read | fs::perms::owner_exec);
         },
         {"cannot write 1 of the files and folders of the host directory @: @ "}},
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
        options.simulateSpan = "last:30m";
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
            for (size_t at = expected.find('@'); at != std::string::npos;
                 at = expected.find('@', at + host.Dir().size())) {
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
    const ProgramRun run = RunHost(args, errorFile);
    errors = run.err;
    return run.status;
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

// A file another user left in the host directory (an administrator's command run as
// root) stops every command before it opens anything: the files are named with their
// owner and the fix, and the directory stays as it was. The superuser's own command in
// another user's directory is refused before it makes a file there.
TEST(HostDirectoryTest, AnotherUsersFilesStopACommandThatNamesThem) {
    if (geteuid() != 0) GTEST_SKIP() << "needs to give files to another user";
    const struct passwd* nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    const char* plugin = std::getenv("VKT_PLUGIN");
    ASSERT_NE(plugin, nullptr);
    const struct Case {
        const char* rootsFile;  // given to root; null: root runs the command itself
        std::vector<std::string> args;
        const char* expected;
    } cases[] = {
        {"vkthost.lock", {"run", "@", "--simulate", "last:30m"}, "@/vkthost.lock (owner root)"},
        {"WPData/WP_1.MDB",
         {"export", "@", "--stations", "all", "--from", "2009-03-12 00:00", "--to",
          "2009-03-12 12:00"},
         "@/WPData/WP_1.MDB (owner root)"},
        {"WPData/spool/MARK", {"refill", "@"}, "@/WPData/spool/MARK (owner root)"},
        {"odbc/odbc.ini",
         {"rtu", "add", "@", "--id", "7", "--name", "T7", "--type", "100"},
         "@/odbc/odbc.ini (owner root)"},
        {nullptr, {"run", "@", "--simulate", "last:30m"}, "runuser -u nobody -- vkthost"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        TestHost host;
        VktHost::CloseHost();
        const std::string dir = host.Dir();
        ASSERT_EQ(RunHost({"run", dir, "--simulate", "last:30m", "--now", "2009-03-12 15:00",
                           "--linger", "0", "--plugin", plugin},
                          host.Path("first"))
                      .status,
                  0);
        for (const auto& entry : fs::recursive_directory_iterator(dir)) {
            ASSERT_EQ(lchown(entry.path().c_str(), nobody->pw_uid, nobody->pw_gid), 0);
        }
        ASSERT_EQ(chown(dir.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
        if (c.rootsFile) {
            ASSERT_EQ(chown(host.Path(c.rootsFile).c_str(), 0, 0), 0);
        }
        const std::set<std::string> before = Tree(dir);
        std::vector<std::string> args;
        for (const std::string& arg : c.args) args.push_back(arg == "@" ? dir : arg);
        args.insert(args.end(), {"--plugin", plugin});
        if (args[0] == "rtu") args.resize(args.size() - 2);
        const ProgramRun run =
            RunHost(args, "/tmp/vkt-owner-" + std::to_string(getpid()), {},
                    c.rootsFile ? std::optional<uid_t>(nobody->pw_uid) : std::nullopt);
        EXPECT_EQ(run.status, 1) << run.out << run.err;
        std::string expected = c.expected;
        if (const size_t at = expected.find('@'); at != std::string::npos) {
            expected.replace(at, 1, dir);
        }
        EXPECT_NE(run.err.find(expected), std::string::npos) << run.err;
        if (c.rootsFile) {
            EXPECT_NE(run.err.find("chown -R nobody: " + dir), std::string::npos) << run.err;
        }
        EXPECT_EQ(Tree(dir), before);
    }
}

// init never replaces what a host directory has unless told, and takes the lock as a
// host does; rtu add on a directory a host holds is made and says when that host sees
// it. A new host directory and its data source file are its owner's (and group's).
TEST(HostDirectoryTest, InitKeepsAHostDirectoryAndTakesItsLock) {
    TestHost host;
    VktHost::CloseHost();
    const std::string dir = host.Path("made");
    const std::string scratch = host.Path("out");
    ASSERT_EQ(RunHost({"init", dir}, scratch).status, 0);
    EXPECT_EQ(fs::status(dir).permissions() & fs::perms::all,
              fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
    EXPECT_EQ(fs::status(dir + "/odbc/odbc.ini").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    const std::string odbcIni = ReadWholeFile(dir + "/odbc/odbc.ini");
    const struct {
        std::vector<std::string> args;
        int status;
        const char* expected;  // in the output or the error output
        bool replaced;         // odbc.ini names the PostgreSQL server afterwards
    } cases[] = {
        {{"init", dir}, 1, "is a host directory already, and init changed nothing", false},
        {{"init", dir, "--demo"}, 1, "--demo is for a new one", false},
        {{"init", host.Path("none"), "--replace-backend"}, 1, "is none (no VKTCOMM.MDB)", false},
        {{"init", dir, "--replace-backend", "--backend", "postgresql", "--pg-host", "db1",
          "--pg-port", "5999"},
         0,
         "backend data source DAVAD replaced: it named the SQLite file",
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected);
        const ProgramRun run = RunHost(c.args, scratch);
        EXPECT_EQ(run.status, c.status) << run.out << run.err;
        EXPECT_NE((run.out + run.err).find(c.expected), std::string::npos) << run.out << run.err;
        const std::string now = ReadWholeFile(dir + "/odbc/odbc.ini");
        EXPECT_EQ(now.find("Servername=db1") != std::string::npos, c.replaced) << now;
        EXPECT_EQ(now == odbcIni, !c.replaced);
    }
    std::string holder;
    const intptr_t lock =
        System::LockFileExclusive(dir + "/vkthost.lock", "process 1 (vkthost)", holder);
    ASSERT_GE(lock, 0);
    const ProgramRun replace = RunHost({"init", dir, "--replace-backend"}, scratch);
    EXPECT_EQ(replace.status, 1);
    EXPECT_NE(replace.err.find("is in use by process 1 (vkthost)"), std::string::npos)
        << replace.err;
    const ProgramRun add =
        RunHost({"rtu", "add", dir, "--id", "7", "--name", "T7", "--type", "100"}, scratch);
    EXPECT_EQ(add.status, 0) << add.err;
    EXPECT_NE(add.out.find("the host running here (process 1 (vkthost)) sees the change at its "
                           "next start"),
              std::string::npos)
        << add.out;
    System::UnlockFile(lock);
}

// The PostgreSQL data source init writes: a list of servers (a primary and its
// standbys) on one port; anything else that would reach odbc.ini or the driver's host
// list (a ";", a brace, "=", a line break, an empty name) is refused before anything
// is made.
TEST(HostDirectoryTest, APostgresHostListIsWrittenAndAnythingElseRefused) {
    TestHost host(true, {}, "host");
    VktHost::CloseHost();
    const std::string root = fs::path(host.Dir()).parent_path().string();
    const std::string dir = root + "/pg";
    const std::string errorFile = root + ".errors";
    std::string errors;
    ASSERT_EQ(RunHostProgram({"init", dir, "--backend", "postgresql", "--pg-host",
                              "127.0.0.2,db-1.example,::1", "--pg-port", "55702"},
                             errorFile, errors),
              0)
        << errors;
    const std::string ini = ReadWholeFile(dir + "/odbc/odbc.ini");
    EXPECT_NE(ini.find("\nServername=127.0.0.2,db-1.example,::1\nPort=55702\n"), std::string::npos)
        << ini;

    const struct {
        std::vector<std::string> options;
        const char* named;
    } refused[] = {
        {{"--pg-host", "a;Driver=/tmp/evil.so"}, "--pg-host"},
        {{"--pg-host", "h{1}"}, "--pg-host"},
        {{"--pg-host", "a=b"}, "--pg-host"},
        {{"--pg-host", "a\nDriver=/tmp/evil.so"}, "--pg-host"},
        {{"--pg-host", "a b"}, "--pg-host"},
        {{"--pg-host", "a,,b"}, "--pg-host"},
        {{"--pg-host", "a,"}, "--pg-host"},
        {{"--pg-host", ""}, "--pg-host"},
        {{"--pg-host", "/run/postgresql"}, "--pg-host"},
        {{"--pg-port", "0"}, "--pg-port"},
        {{"--pg-port", "65536"}, "--pg-port"},
        {{"--pg-database", "w\n[DAVAD]"}, "--pg-database"},
    };
    for (const auto& c : refused) {
        SCOPED_TRACE(c.options[1]);
        std::vector<std::string> args{"init", root + "/refused", "--backend", "postgresql"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        EXPECT_EQ(RunHostProgram(args, errorFile, errors), 1);
        EXPECT_EQ(errors.find(std::string("vkthost: ") + c.named), 0u) << errors;
        EXPECT_FALSE(fs::exists(root + "/refused"));
    }
}

// TLS settings of init and --replace-backend go into the data source, the files as
// absolute paths; a mode libpq lacks, files it would not use or that the data source
// cannot hold are refused, and the data source stays as it was.
TEST(HostDirectoryTest, TlsSettingsAreWrittenToTheDataSourceOrRefused) {
    TestHost host(true, {}, "host");  // the current directory, where relative names are
    VktHost::CloseHost();
    for (const char* file : {"ca.crt", "client.crt", "client.key", "open.key"}) {
        std::ofstream(host.Path(file)) << "-----BEGIN CERTIFICATE-----\n";
    }
    fs::permissions(host.Path("client.key"), fs::perms::owner_read | fs::perms::owner_write);
    fs::permissions(host.Path("open.key"), fs::perms::others_read, fs::perm_options::add);
    const std::string dir = host.Path("pg"), ini = dir + "/odbc/odbc.ini";
    auto init = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {"init", dir, "--backend", "postgresql", "--pg-sslmode"});
        return RunHost(args, host.Path("init"));
    };
    ASSERT_EQ(init({"verify-ca", "--pg-sslrootcert", "ca.crt"}).status, 0);
    ASSERT_EQ(init({"verify-full", "--replace-backend", "--pg-sslrootcert", "ca.crt",
                    "--pg-sslcert", "client.crt", "--pg-sslkey", "client.key"})
                  .status,
              0);
    const std::string written = ReadWholeFile(ini);
    EXPECT_NE(written.find("\nSSLmode=verify-full\npqopt=sslrootcert=" + host.Path("ca.crt") +
                           " sslcert=" + host.Path("client.crt") +
                           " sslkey=" + host.Path("client.key") + "\n"),
              std::string::npos)
        << written;
    const std::vector<std::string> refused[] = {
        {"verify", "must be disable, allow"},
        {"verify-full", "needs --pg-sslrootcert FILE"},
        {"disable", "--pg-sslrootcert", "ca.crt", "need a --pg-sslmode that makes TLS"},
        {"require", "--pg-sslcert", "client.crt", "go together"},
        {"require", "--pg-sslrootcert", "none.crt", "none.crt does not exist"},
        {"require", "--pg-sslrootcert", "a;Driver=/tmp/evil.so", "holds no control character"},
        {"require", "--pg-sslrootcert", "ca.crt\nDriver=x", "host/ca.crt\\nDriver=x"},
        {"require", "--pg-sslcert", "client.crt", "--pg-sslkey", "open.key", "chmod 600"},
    };
    for (std::vector<std::string> args : refused) {
        const std::string why = args.back();
        args.back() = "--replace-backend";
        const ProgramRun run = init(args);
        EXPECT_EQ(run.status, 1) << why;
        EXPECT_NE(run.err.find(why), std::string::npos) << run.err;
    }
    EXPECT_EQ(ReadWholeFile(ini), written);
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
    options.simulateSpan = "last:10m";
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

// The job the export dialog starts is summed up at its end as `vkthost export` does.
TEST(HostDialogsTest, TheExportDialogsJobIsSummedUpAtItsEnd) {
    const char* plugin = std::getenv("VKT_PLUGIN");
    ASSERT_NE(plugin, nullptr);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    TestHost host;
    VktHost::CloseHost();
    // The operator, once the dialog is up: towers 1 and 2, one day, 导出.
    auto pressed = std::make_shared<std::atomic<bool>>(false);
    auto press = [pressed] {
        QWidget* dialog = QApplication::activeModalWidget();
        if (!dialog || pressed->exchange(true)) return;
        for (int row : {0, 1})
            ControlById<QListWidget>(*dialog, 1201)->item(row)->setCheckState(Qt::Checked);
        ControlById<QDateTimeEdit>(*dialog, 1135)
            ->setDateTime(QDateTime(QDate(2009, 3, 10), QTime(0, 0)));
        ControlById<QDateTimeEdit>(*dialog, 1142)
            ->setDateTime(QDateTime(QDate(2009, 3, 11), QTime(0, 0)));
        ControlById<QPushButton>(*dialog, 1)->click();
    };
    std::thread operatorThread([pressed, press] {
        while (!*pressed) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            if (auto* app = QCoreApplication::instance())
                QMetaObject::invokeMethod(app, press, Qt::QueuedConnection);
        }
    });
    testing::internal::CaptureStdout();
    std::string error;
    const int code = HostDialogs::OpenDialog(host.Dir(), "export", plugin, error);
    const std::string printed = testing::internal::GetCapturedStdout();
    operatorThread.join();
    EXPECT_EQ(code, 0) << error;
    for (const char* expected : {"export complete: 2 of 2 units", "rows copied: 0\n",
                                 "note: RTU 1 \"", "note: RTU 2 \""}) {
        EXPECT_NE(printed.find(expected), std::string::npos) << expected << "\n" << printed;
    }
}

}  // namespace

namespace {

// Every usage error, CLI11's own included, exits 1 with its message; help is no error.
TEST(HostCommandLineTest, UsageErrorsExitOneAndHelpZero) {
    TestHost host;
    VktHost::CloseHost();
    const std::string dir = host.Dir();
    const std::string scratch = host.Path("usage");
    const struct {
        std::vector<std::string> args;
        int status;
        const char* expected;  // in the error output, or for 0 in the standard output
    } cases[] = {
        {{}, 1, "A subcommand is required"},
        {{"run", dir, "--simulate", "last:30m", "--bogus"}, 1, "--bogus"},
        {{"rtu", "list"}, 1, "DIR is required"},
        {{"run", dir}, 1, "run needs frames to acquire: --frames FILE, --follow FILE"},
        {{"run", dir, "--mqtt", "127.0.0.1:1883"}, 1, "--mqtt needs --topic TOPIC"},
        {{"run", dir, "--mqtt", "127.0.0.1", "--topic", "t"}, 1, "--mqtt must be HOST:PORT"},
        {{"run", dir, "--simulate", "last:30m", "--now", "2009-03-12"}, 1, "--now must be"},
        {{"rtu", "add", dir, "--id", "7", "--name", "X", "--type", "999"},
         1,
         "unknown RTU type 999; the known types are: 100 (wind tower), 101 (wind tower, second "
         "kind), 102 (rain gauge, not a tower)"},
        {{"rtu", "add", dir, "--id", "3", "--name", "X", "--type", "100"},
         1,
         "RTU 3 \"T3\" (type 100, wind tower) is in the catalogue already; --replace"},
        {{"rtu", "remove", dir, "--id", "77"}, 1, "no RTU 77"},
        {{"export", dir, "--stations", "1,40,12,77", "--from", "2009-03-10 00:00", "--to",
          "2009-03-11 00:00"},
         1,
         "the export takes towers of type 100 only; RTU 40 \"RAIN40\" (type 102, rain gauge, not "
         "a tower) is not a tower of type 100; RTU 12 \"T12\" (type 101, wind tower, second kind) "
         "is not a tower of type 100; RTU 77 is not in the host catalogue"},
        {{"help", "nope"}, 1, "no command nope"},
        {{"help"}, 0, "Exit codes of every command:\n  0  done"},
        {{"--help"}, 0, "  3  ended with data still pending or dropped"},
        {{"help", "rtu"}, 0, "Usage: vkthost rtu"},
    };
    std::set<std::string> before = Tree(dir);
    before.erase("vkthost.lock");  // left by every command that held the directory
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected);
        const ProgramRun run = RunHost(c.args, scratch);
        EXPECT_EQ(run.status, c.status) << run.out << run.err;
        const std::string& text = c.status == 0 ? run.out : run.err;
        EXPECT_NE(text.find(c.expected), std::string::npos) << text;
    }
    std::set<std::string> after = Tree(dir);
    after.erase("VKTError.log");
    after.erase("vkthost.lock");
    EXPECT_EQ(after, before) << "a refused command changes nothing";
    EXPECT_EQ(QueryFile(host.Path("VKTCOMM.MDB"), "SELECT NAME || ' ' || TYPE FROM RTU WHERE ID=3"),
              "T3 100");
}

TEST(HostCommandLineTest, RtuListRemoveAndReplace) {
    TestHost host;
    VktHost::CloseHost();
    const std::string dir = host.Dir();
    const std::string scratch = host.Path("rtu");
    auto list = [&] { return RunHost({"rtu", "list", dir}, scratch).out; };
    const std::string demo = list();
    EXPECT_NE(demo.find("    12  T12                101  wind tower, second kind    outputid:17"),
              std::string::npos)
        << demo;
    EXPECT_NE(demo.find("    40  RAIN40             102  rain gauge, not a tower"),
              std::string::npos)
        << demo;

    EXPECT_EQ(RunHost({"rtu", "add", dir, "--id", "3", "--name", "M3", "--type", "101", "--remark",
                       "moved", "--replace"},
                      scratch)
                  .status,
              0);
    EXPECT_NE(list().find("     3  M3                 101  wind tower, second kind    moved"),
              std::string::npos);
    EXPECT_EQ(RunHost({"rtu", "remove", dir, "--id", "3"}, scratch).status, 0);
    EXPECT_EQ(list().find("M3"), std::string::npos);
    EXPECT_EQ(RunHost({"rtu", "remove", dir, "--id", "3"}, scratch).status, 1);
    EXPECT_EQ(
        RunHost({"rtu", "add", dir, "--id", "3", "--name", "T3", "--type", "100"}, scratch).status,
        0);
    // The catalogue a host loads is the one the commands left.
    ASSERT_TRUE(VktHost::LoadHostCatalogue());
    const auto tower = CRTUDefRT::GetRTUDefRT(3);
    ASSERT_TRUE(tower);
    EXPECT_EQ(tower->m_strName, "T3");
    EXPECT_EQ(tower->m_nType, 100);
}

// Into a log the progress comes as whole lines, one at each tenth of the job; "all"
// names the RTUs it leaves out, and a station without rows in the range is noted.
TEST(HostCommandLineTest, AnExportIntoALogWithStationsAll) {
    TestHost host;
    VktHost::CloseHost();
    // Three towers × five days: 15 units.
    const ProgramRun run = RunHost({"export", host.Dir(), "--stations", " all", "--from",
                                    "2009-03-10 00:00:30", "--to", "2009-03-15 00:00:30"},
                                   host.Path("export"));
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(run.out.find('\r'), std::string::npos) << run.out;
    std::istringstream lines(run.out);
    int bars = 0;
    for (std::string line; std::getline(lines, line);) bars += line.rfind("[", 0) == 0;
    EXPECT_EQ(bars, 10) << run.out;
    EXPECT_NE(run.out.find("(15/15)"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("note: --stations all leaves out the RTUs not of type 100, which the "
                           "export does not take: 12 \"T12\" (type 101, wind tower, second kind), "
                           "40 \"RAIN40\" (type 102, rain gauge, not a tower)"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("note: RTU 2 \"T2\": no rows read from 2009-03-10 00:00:30 to "
                           "2009-03-15 00:00:30, nothing to copy"),
              std::string::npos)
        << run.out;
}

// Rows the backend did not take are data still pending: the export says so and exits 3.
TEST(HostCommandLineTest, AnExportWhoseRowsFailExitsThree) {
    TestHost host;
    VktHost::CloseHost();
    // No retention: the rows are years old.
    std::ofstream(host.Path("WPDB.ini")) << "[LOCALDATA]\nDATALEN=0\n";
    ASSERT_EQ(RunHost({"run", host.Dir(), "--simulate", "2009-03-12 00:00..2009-03-12 00:30",
                       "--now", "2009-03-12 00:30", "--linger", "0"},
                      host.Path("run"))
                  .status,
              0);
    std::ofstream(host.Path("WPDB.ini"))
        << "[DATABASE]\nSOURCENAME=NO_SUCH_SOURCE\n[LOCALDATA]\nDATALEN=0\n";
    const ProgramRun run = RunHost({"export", host.Dir(), "--stations", "1, 2", "--from",
                                    "2009-03-11 00:00", "--to", "2009-03-12 00:30"},
                                   host.Path("export"));
    EXPECT_EQ(run.status, 3) << run.out << run.err;
    EXPECT_NE(run.out.find("rows copied: 0\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("not everything was copied (exit code 3)"), std::string::npos)
        << run.out;
}

// Rows a backend table refuses are kept, not given up: the run says they were refused
// (not that the backend is away), the report lists them, `refill` sends them again and
// exits 3 while the table refuses them and 0 once it is mended, nothing missing then.
TEST(HostCommandLineTest, RefusedRowsAreReportedAndRefilledOnceTheTableIsMended) {
    TestHost host;
    VktHost::CloseHost();
    std::ofstream(host.Path("WPDB.ini")) << "[LOCALDATA]\nDATALEN=0\n";
    QueryDataSource("DAVAD",
                    "CREATE TRIGGER REFUSE BEFORE INSERT ON FD_RUN_RTTOWER BEGIN "
                    "SELECT RAISE(ABORT, 'V1AVGSP out of range'); END");
    const std::vector<std::string> simulate{
        "run",   host.Dir(),         "--simulate", "2009-03-12 00:00..2009-03-12 00:30",
        "--now", "2009-03-12 00:30", "--linger",   "0"};
    const struct {
        const char* step;
        std::vector<std::string> args;
        bool mend;  // the trigger is dropped first
        int status;
        std::vector<const char*> printed;
    } steps[] = {
        {"run", simulate, false, 3, {"answered and refused"}},
        {"report",
         {"report", host.Dir()},
         false,
         0,
         {"rows the backend refused (QUARANTINE): ", "V1AVGSP out of range"}},
        {"refill while refused", {"refill", host.Dir()}, false, 3, {"rows still refused: "}},
        {"refill once mended", {"refill", host.Dir()}, true, 0, {"rows still refused: 0\n"}},
    };
    for (const auto& step : steps) {
        if (step.mend) QueryDataSource("DAVAD", "DROP TRIGGER REFUSE");
        const ProgramRun run = RunHost(step.args, host.Path("step"));
        EXPECT_EQ(run.status, step.status) << step.step << run.out << run.err;
        EXPECT_EQ(run.out.find("does not answer"), std::string::npos) << step.step << run.out;
        for (const char* text : step.printed) {
            EXPECT_NE(run.out.find(text), std::string::npos) << step.step << run.out;
        }
    }
    EXPECT_EQ(QueryDataSource("DAVAD", "SELECT COUNT(*) FROM FD_RUN_RTTOWER"),
              "16");  // 4 towers, 4 times
    EXPECT_EQ(QueryFile(host.Path("WPData/WP_1.MDB"), "SELECT COUNT(*) FROM QUARANTINE"), "0");
}

// Before the rainfall worker takes jobs the wait is said; the first stop signal asks the
// job to stop, the second (of any kind) stops waiting: the plug-in is stopped and the
// host exits 2.
TEST(HostCommandLineTest, ASecondStopSignalStopsWaitingForTheRecalculation) {
    TestHost host;
    VktHost::CloseHost();
    auto printed = [](const std::string& file, const char* text) {
        return WaitFor([&] { return ReadWholeFile(file).find(text) != std::string::npos; });
    };
    const ProgramRun run = RunHost({"recalc-rain", host.Dir(), "--stations", "1,2", "--from",
                                    "2009-03-10 00:00", "--to", "2009-03-12 00:00"},
                                   host.Path("rain"), [&](pid_t child, const std::string& out) {
                                       ASSERT_TRUE(printed(out, "worker to take up the job"));
                                       kill(child, SIGINT);
                                       ASSERT_TRUE(printed(out, "stop requested (SIGINT)"));
                                       kill(child, SIGTERM);
                                   });
    EXPECT_EQ(run.status, 2) << run.out << run.err;
    EXPECT_NE(run.out.find("second stop signal (SIGTERM): no longer waiting"), std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("rainfall recalculation stopped: 0 of 4 units"), std::string::npos)
        << run.out;
}

// Each frame that gives nothing is told on the error output, one line, with where it
// came from and why.
TEST(HostCommandLineTest, EachRefusedFrameIsToldWithItsReason) {
    TestHost host;
    VktHost::CloseHost();
    std::ofstream(host.Path("frames.jsonl"))
        << R"({"rtu":1,"kind":1,"time":"2009-03-12 15:00:00","items":[]})"
        << "\n"
        << R"({"rtu":999,"kind":1,"time":"2009-03-12 15:10:00","items":[]})"
        << "\n"
        << "broken\n"
        << R"({"rtu":1,"kind":1,"time":"2009-03-12 25:00:00","items":[]})"
        << "\n";
    const ProgramRun run = RunHost({"run", host.Dir(), "--frames", host.Path("frames.jsonl"),
                                    "--now", "2009-03-12 15:20", "--linger", "0"},
                                   host.Path("run"));
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("frames refused: 1\n"), std::string::npos) << run.out;
    EXPECT_EQ(run.err,
              "frame skipped: --frames line 3: not a JSON object: a word that is no JSON value "
              "(texts go in \"\"), at character 1 (\"broken\")\n"
              "frame skipped: --frames line 4: field \"time\" is not a possible time: "
              "2009-03-12 25:00:00\n"
              "frame refused: --frames line 2, RTU 999, time 2009-03-12 15:10:00: the RTU is not "
              "in the host catalogue (vkthost rtu list DIR)\n");
}

// A followed file and an inbox hand every frame over once across a stop and a restart,
// whether it came while the host ran or while it was stopped, and every one is stored.
TEST(HostRunTest, FollowedAndInboxFramesAreHandedOverOnceAcrossARestart) {
    for (const std::string option : {"--follow", "--inbox"}) {
        SCOPED_TRACE(option);
        TestHost host;
        VktHost::CloseHost();
        const bool inbox = option == "--inbox";
        const std::string source = host.Path(inbox ? "inbox" : "feed.jsonl");
        if (inbox) fs::create_directory(source);
        int written = 0;
        auto feed = [&](int frames) {
            std::string text;
            for (int i = 0; i < frames; ++i, ++written) {
                CDataFrame frame;
                frame.m_nRTUID = 1 + written % 3;
                frame.m_nKind = 1;
                frame.m_tTime =
                    DateTime(2009, 3, 12, 0, 0, 0) + DateTimeSpan(0, 0, 10 * written, 0);
                text += FrameFile::FormatLine(frame) + "\n";
            }
            const std::string name = source + "/" + std::to_string(written) + ".jsonl";
            std::ofstream(inbox ? name + ".tmp" : source, std::ios::app) << text;
            if (inbox) fs::rename(name + ".tmp", name);  // renamed in whole
        };
        const std::string accepted = host.Path("accepted.txt");
        auto lines = [&] {  // one a frame accepted: the stores' rows tell one twice
            const std::string text = ReadWholeFile(accepted);
            return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
        };
        for (int run = 0; run < 2; ++run) {
            feed(6);  // before the start, or while the host is stopped
            const ProgramRun ran =
                RunHost({"run", host.Dir(), option, source, "--accepted", accepted, "--now",
                         "2009-03-13 00:00", "--linger", "0"},
                        host.Path("run"), [&](pid_t child, const std::string&) {
                            feed(6);
                            EXPECT_TRUE(WaitFor([&] { return lines() >= written; }));
                            kill(child, SIGTERM);
                        });
            EXPECT_EQ(ran.status, 0) << ran.out << ran.err;
        }
        EXPECT_EQ(lines(), 24);
        EXPECT_EQ(QueryFile(host.Path("backend.db"), "SELECT COUNT(*) FROM FD_RUN_RTTOWER"), "24");
        if (inbox) {
            EXPECT_EQ(Tree(source),
                      (std::set<std::string>{"done", "done/12.jsonl", "done/18.jsonl",
                                             "done/24.jsonl", "done/6.jsonl", "rejected"}));
        } else {
            EXPECT_NE(ReadWholeFile(host.Path("follow-position.json")).find("\"line\":24"),
                      std::string::npos);
        }
    }
}

}  // namespace

// A row the backend refuses is kept in the quarantine after its copy back is refused
// too; the run that leaves it out of the backend must not end as if everything were
// stored.
// A server out of disk (SQLSTATE 53100, as PostgreSQL says when a file cannot grow) is
// an outage, not a refusal: the health says "backend full", nothing is quarantined, and
// the rows are written once it has room again, the run ending 0.
TEST(HostRunTest, AFullServerIsAnOutageWhoseRowsComeOnceThereIsRoom) {
    HostDirectory::BackendOptions backend;
    const char* script = std::getenv("VKT_PG_SCRIPT");
    if (!PostgresAvailable(backend) || !script) GTEST_SKIP() << "no PostgreSQL (VKT_PG_PORT)";
    TestCluster cluster(script);
    ASSERT_TRUE(cluster.Init(backend.pgPort + 9)) << cluster.Log();
    backend.pgPort = cluster.Port();
    TestHost host(true, backend);
    VktHost::CloseHost();
    std::ofstream(host.Path("WPDB.ini")) << "[DATABASE]\nSOURCENAME=" << backend.dataSource
                                         << "\nUSER=fd\nPASSWORD=wendol\n[TXT]\nPERMIT=0\n";
    // psql: the driver's parsing of a function body is no part of this test.
    auto psql = [&](const std::string& sql) {
        const std::string command =
            "PGPASSWORD=wendol psql -q -h 127.0.0.1 -U fd -d windpower -p " +
            std::to_string(cluster.Port()) + " -c \"" + sql + "\"";
        EXPECT_EQ(std::system(command.c_str()), 0) << sql;
    };
    psql(
        "CREATE FUNCTION disk_full() RETURNS trigger LANGUAGE plpgsql AS \\$\\$ BEGIN RAISE "
        "EXCEPTION 'could not extend file: No space left on device' USING ERRCODE = "
        "'disk_full'; END \\$\\$");
    psql(
        "CREATE TRIGGER no_room BEFORE INSERT ON fd_run_rttower FOR EACH ROW EXECUTE FUNCTION "
        "disk_full()");
    const ProgramRun run =
        RunHost({"run", host.Dir(), "--simulate", "2009-03-12 00:00..2009-03-12 01:00", "--now",
                 "2009-03-12 01:00", "--linger", "0", "--drain", "120", "--status", "1", "--plugin",
                 std::getenv("VKT_PLUGIN")},
                host.Path("run"), [&](pid_t, const std::string& out) {
                    EXPECT_TRUE(WaitFor([&] {
                        return ReadWholeFile(out).find("(backend full: ") != std::string::npos;
                    })) << ReadWholeFile(out);
                    psql("DROP TRIGGER no_room ON fd_run_rttower");
                });
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(run.out.find("rows refused"), std::string::npos) << run.out;
    EXPECT_EQ(cluster.Value("SELECT COUNT(*) FROM fd_run_rttower"), "28")
        << "7 marks of the four towers";
    EXPECT_EQ(QueryFile(host.Path("WPData/WP_1.MDB"), "SELECT COUNT(*) FROM QUARANTINE"), "0");
}

TEST(HostRunTest, RowsTheBackendRefusesEndTheRunWithExitThree) {
    // With the station files on the rows are kept in their quarantine; off, nothing keeps
    // them: either way the run did not store everything.
    for (const char* stationFiles : {"1", "0"}) {
        SCOPED_TRACE(stationFiles);
        TestHost host;
        VktHost::CloseHost();
        std::ofstream(host.Path("WPDB.ini"))
            << "[LOCALDATA]\nDATALEN=0\nSAVEDATA=" << stationFiles << "\n[TXT]\nPERMIT=0\n";
        QueryFile(host.Path("backend.db"),
                  "CREATE TRIGGER REFUSE_TEN_PAST BEFORE INSERT ON FD_RUN_RTTOWER "
                  "WHEN strftime('%M', NEW.TIME) = '10' BEGIN SELECT RAISE(ABORT, 'refused'); END");
        const ProgramRun run =
            RunHost({"run", host.Dir(), "--simulate", "2009-03-12 00:00..2009-03-12 00:30", "--now",
                     "2009-03-12 00:30", "--linger", "0"},
                    host.Path("run"));
        EXPECT_EQ(run.status, 3) << run.out << run.err;
        EXPECT_NE(run.out.find("the backend answered and refused "), std::string::npos) << run.out;
        if (std::string(stationFiles) == "1") {
            EXPECT_NE(run.out.find(", rows refused "), std::string::npos) << run.out;
        }
        EXPECT_EQ(
            QueryFile(host.Path("backend.db"),
                      "SELECT COUNT(*) FROM FD_RUN_RTTOWER WHERE strftime('%M', TIME) = '10'"),
            "0");
    }
}

namespace {

// The listing names every key with its value and default, the password as *** alone.
TEST(HostSettingsTest, EveryKeyIsListedWithThePasswordMasked) {
    TestHost host;
    VktHost::CloseHost();
    std::ofstream(host.Path("WPDB.ini")) << "[DATABASE]\nUSER=bob\nPASSWORD=pw-in-file\n";
    const ProgramRun run = RunHost({"settings", host.Dir()}, host.Path("list"));
    EXPECT_EQ(run.status, 0) << run.err;
    for (const ConfigFile::Key& key : ConfigFile::kKeys) {
        EXPECT_NE(run.out.find(std::string(key.section) + "." + key.key), std::string::npos);
    }
    EXPECT_NE(run.out.find("DATABASE.USER        bob "), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("DATABASE.PASSWORD    *** "), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("pw-in-file"), std::string::npos);
}

// Values go into the file together, in any case of section and key; the file keeps its
// other lines and is left readable by its owner alone, or by its group too where it was.
TEST(HostSettingsTest, ValuesAreWrittenTogetherKeepingTheRestOfTheFile) {
    TestHost host;
    VktHost::CloseHost();
    const std::string ini = host.Path("WPDB.ini");
    const std::string longest(199, 'u');
    const struct {
        int before;  // -1: no file
        int after;
    } modes[] = {{-1, 0600}, {0644, 0640}, {0666, 0640}, {0400, 0400}};
    for (const auto& mode : modes) {
        SCOPED_TRACE(mode.before);
        fs::remove(ini);
        if (mode.before >= 0) {
            std::ofstream(ini) << "; kept\n[OTHER]\nKEY=kept\n[DATABASE]\nUSER=old\n";
            fs::permissions(ini, static_cast<fs::perms>(mode.before));
        }
        const ProgramRun run =
            RunHost({"settings", host.Dir(), "database.user=" + longest, "Txt.Dir=/srv/iso dir",
                     "LOCALDATA.DATALEN=0", "DATABASE.PRENAME=main.x", "DATABASE.TYPE=1"},
                    host.Path("set"));
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_NE(run.err.find("warning: TXT.DIR names no folder: /srv/iso dir"), std::string::npos)
            << run.err;
        EXPECT_EQ(IniFile::GetString(ini, "DATABASE", "USER", ""), longest);
        EXPECT_EQ(IniFile::GetString(ini, "TXT", "DIR", ""), "/srv/iso dir");
        EXPECT_EQ(IniFile::GetString(ini, "LOCALDATA", "DATALEN", ""), "0");
        EXPECT_EQ(fs::status(ini).permissions(), static_cast<fs::perms>(mode.after));
        if (mode.before >= 0) {
            EXPECT_EQ(IniFile::GetString(ini, "OTHER", "KEY", ""), "kept");
            EXPECT_EQ(ReadWholeFile(ini).rfind("; kept\n", 0), 0u) << ReadWholeFile(ini);
        }
    }
}

// One refused value leaves the file as it was, byte for byte, whatever else was valid.
TEST(HostSettingsTest, RefusedValuesLeaveTheFileUntouched) {
    TestHost host;
    VktHost::CloseHost();
    const std::string ini = host.Path("WPDB.ini");
    std::ofstream(ini) << "[DATABASE]\nUSER=fd\n";
    const std::string before = ReadWholeFile(ini);
    const struct {
        std::vector<std::string> args;
        const char* expected;
    } cases[] = {
        {{"LOCALDATA.DATALEN=two"}, "LOCALDATA.DATALEN takes a whole number of years"},
        {{"LOCALDATA.DATALEN=-1"}, "whole number of years, 0 or more"},
        {{"LOCALDATA.DATALEN=99999999999"}, "whole number of years"},
        {{"DATABASE.SAVEBKGDB=2"}, "DATABASE.SAVEBKGDB takes 0 (off) or 1 (on)"},
        {{"DATABASE.TYPE=-1"}, "DATABASE.TYPE takes 0 (standard wind farm) or 1"},
        {{"DATABASE.PRENAME=x; DROP TABLE FD_RUN_RTTOWER; --"}, "is not an SQL name"},
        {{"TXT.DIR=/srv/a\n[DATABASE]\nUSER=x"}, "control character"},
        {{"DATABASE.USER=del\x7F"}, "control character"},
        {{"DATABASE.USER=" + std::string(200, 'u')}, "longer than 199 bytes (200)"},
        {{"DATABASE.USER= bob"}, "begins or ends with a space"},
        {{"DATABASE.NOSUCH=1"}, "no setting DATABASE.NOSUCH"},
        {{"DATABASE.USER"}, "DATABASE.USER needs a value"},
        {{"DATABASE.USER=a", "database.user=b"}, "DATABASE.USER is given twice"},
        {{"DATABASE.USER=fine", "TXT.PERMIT=yes"}, "TXT.PERMIT takes 0"},
        {{"DATABASE.PASSWORD=hunter2"}, "never taken from the command line"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.back());
        std::vector<std::string> args{"settings", host.Dir()};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const ProgramRun run = RunHost(args, host.Path("refused"));
        EXPECT_EQ(run.status, 1);
        EXPECT_NE(run.err.find(c.expected), std::string::npos) << run.err;
        EXPECT_NE(run.err.find("nothing written"), std::string::npos) << run.err;
        EXPECT_EQ((run.out + run.err).find("hunter2"), std::string::npos);
        EXPECT_EQ(ReadWholeFile(ini), before);
    }
}

// The password comes from the first line of a file or of the standard input and shows
// nowhere, not even in the refusal of one.
TEST(HostSettingsTest, ThePasswordComesFromAFileOrTheStandardInputAndNeverShows) {
    TestHost host;
    VktHost::CloseHost();
    auto password = [&] {
        return IniFile::GetString(host.Path("WPDB.ini"), "DATABASE", "PASSWORD", "");
    };
    std::ofstream(host.Path("pw")) << "pw-from-file\nsecond line\n";
    const ProgramRun run =
        RunHost({"settings", host.Dir(), "--password-file", host.Path("pw"), "DATABASE.USER=alice"},
                host.Path("file"));
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(password(), "pw-from-file");
    EXPECT_EQ((run.out + run.err).find("pw-from-file"), std::string::npos) << run.out;
    const std::string printed = host.Path("stdin.out");
    const std::string command = "printf 'pw-from-stdin\\r\\n' | '" VKT_HOST_PROGRAM "' settings '" +
                                host.Dir() + "' --password-file - > '" + printed + "' 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0) << ReadWholeFile(printed);
    EXPECT_EQ(password(), "pw-from-stdin");
    EXPECT_EQ(ReadWholeFile(printed).find("pw-from-stdin"), std::string::npos);

    const struct {
        const char* line;
        const char* expected;
    } refused[] = {
        {"tab\tin-pw\n", "control character"},
        {"", "no password on the first line"},
    };
    for (const auto& c : refused) {
        SCOPED_TRACE(c.expected);
        std::ofstream(host.Path("pw"), std::ios::trunc) << c.line;
        const ProgramRun bad =
            RunHost({"settings", host.Dir(), "--password-file", host.Path("pw")}, host.Path("bad"));
        EXPECT_EQ(bad.status, 1);
        EXPECT_NE(bad.err.find(c.expected), std::string::npos) << bad.err;
        EXPECT_EQ(bad.err.find("-pw"), std::string::npos) << bad.err;
        EXPECT_EQ(password(), "pw-from-stdin");
    }
}

// A host running on the directory holds its lock; the settings are read and written all
// the same, and its plug-in takes the change: later frames reach the station files only.
TEST(HostSettingsTest, ARunningHostTakesAChangeMadeFromTheTerminal) {
    TestHost host;
    VktHost::CloseHost();
    const std::string input = host.Path("in.jsonl");
    std::ofstream(input).close();
    auto append = [&](int minutes) {
        CDataFrame frame;
        frame.m_nRTUID = 1;
        frame.m_nKind = 1;
        frame.m_tTime = DateTime(2009, 3, 12, 0, 0, 0) + DateTimeSpan(0, 0, minutes, 0);
        std::ofstream(input, std::ios::app) << FrameFile::FormatLine(frame) << "\n";
    };
    const std::string backend = host.Path("backend.db");
    const std::string rows = "SELECT COUNT(*) FROM FD_RUN_RTTOWER";
    const ProgramRun run =
        RunHost({"run", host.Dir(), "--follow", input, "--plugin", std::getenv("VKT_PLUGIN")},
                host.Path("run"), [&](pid_t child, const std::string&) {
                    append(0);
                    append(10);
                    EXPECT_TRUE(WaitFor([&] { return QueryFile(backend, rows) == "2"; }));
                    EXPECT_EQ(RunHost({"settings", host.Dir()}, host.Path("list")).status, 0);
                    const ProgramRun set =
                        RunHost({"settings", host.Dir(), "DATABASE.SAVEBKGDB=0"}, host.Path("set"));
                    EXPECT_EQ(set.status, 0) << set.err;
                    EXPECT_TRUE(WaitFor([&] {
                        return ReadWholeFile(host.Path("VKTError.log"))
                                   .find("reloaded (DATABASE.SAVEBKGDB)") != std::string::npos;
                    }));
                    append(20);
                    append(30);
                    EXPECT_TRUE(WaitFor([&] {
                        return QueryFile(host.Path("WPData/WP_1.MDB"),
                                         "SELECT COUNT(*) FROM RTTOWER") == "4";
                    }));
                    kill(child, SIGTERM);
                });
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(QueryFile(backend, rows), "2");
}

// init writes the backend login into WPDB.ini with the checks of `settings`; a login it
// refuses stops it before it makes anything.
TEST(HostSettingsTest, InitWritesTheBackendLoginFromItsOptions) {
    TestHost host(true, {}, "host");
    VktHost::CloseHost();
    const std::string root = fs::path(host.Dir()).parent_path().string();
    std::ofstream(root + "/pw") << "init-secret\n";
    const ProgramRun bad = RunHost(
        {"init", root + "/refused", "--pg-user", "a\nb", "--pg-password-file", root + "/pw"},
        root + "/bad");
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.err.find("--pg-user: DATABASE.USER holds a control character"), std::string::npos)
        << bad.err;
    EXPECT_FALSE(fs::exists(root + "/refused"));
    const ProgramRun run =
        RunHost({"init", root + "/dir", "--pg-user", "alice", "--pg-password-file", root + "/pw"},
                root + "/good");
    EXPECT_EQ(run.status, 0) << run.err;
    const std::string ini = root + "/dir/WPDB.ini";
    EXPECT_EQ(IniFile::GetString(ini, "DATABASE", "USER", ""), "alice");
    EXPECT_EQ(IniFile::GetString(ini, "DATABASE", "PASSWORD", ""), "init-secret");
    EXPECT_EQ(fs::status(ini).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ((run.out + run.err).find("init-secret"), std::string::npos);
}

}  // namespace
