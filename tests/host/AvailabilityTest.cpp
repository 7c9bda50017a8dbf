// The share of each tower's ten-minute records in its stores, from frames the plug-in
// stored through the host program.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <regex>
#include <tuple>

#include "host/Availability.h"
#include "host/FrameFile.h"
#include "hostlib/HostSide.h"
#include "hostlib/VktBase.h"
#include "platform/Clock.h"
#include "platform/IniFile.h"
#include "platform/OdbcHandles.h"
#include "plugin/ConfigFile.h"
#include "tests/support/TestHost.h"
#include "tests/support/TowerData.h"

namespace {

const DateTime kNow(2009, 3, 12, 15, 25, 0);

// Towers 1 and 2 sent every ten minutes from 2009-03-11 00:00 to 2009-03-12 15:20 (237
// marks), but tower 1 nothing 2009-03-12 09:00–10:50 (12 marks), and a row at 09:31
// stands in its station file; tower 2 writes its backend rows as TOWERID 902, of which
// 2009-03-11 03:00 and 2009-03-12 05:00–06:50 were lost. Towers 3 (no frames) and 12
// (type 101, no frames, so no station file) sent nothing.
class AvailabilityTest : public testing::Test {
protected:
    static void SetUpTestSuite() {
        s_host = std::make_unique<TestHost>();
        ExecSQLStr("CREATE TABLE VKTTOWPID (RTUID INT NOT NULL PRIMARY KEY, WPID INT NOT NULL)");
        ExecSQLStr("INSERT INTO VKTTOWPID (RTUID,WPID) VALUES (2,902)");
        VktHost::CloseHost();
        std::ofstream frames(s_host->Path("frames.jsonl"));
        const DateTime gap(2009, 3, 12, 9, 0, 0), end(2009, 3, 12, 15, 20, 0);
        for (DateTime at(2009, 3, 11, 0, 0, 0); at <= end; at += DateTimeSpan(0, 0, 10, 0)) {
            const bool inGap = at >= gap && at < gap + DateTimeSpan(0, 2, 0, 0);
            if (!inGap) frames << FrameFile::FormatLine(SpeedFrame(1, at, 5.0f)) << "\n";
            frames << FrameFile::FormatLine(SpeedFrame(2, at, 6.0f)) << "\n";
        }
        frames.close();
        const std::string out = s_host->Path("run.out");
        const std::string command = std::string(VKT_HOST_PROGRAM) + " run '" + s_host->Dir() +
                                    "' --frames '" + s_host->Path("frames.jsonl") +
                                    "' --now '2009-03-12 15:20' --linger 0 >'" + out + "' 2>&1";
        ASSERT_EQ(std::system(command.c_str()), 0) << ReadWholeFile(out);
        OdbcConnection backend, station;
        ASSERT_TRUE(backend.Connect("DAVAD", "fd", "wendol", kLoginTimeoutSeconds));
        ASSERT_TRUE(Odbc::Succeeded(Odbc::ExecDirect(
            backend.Get(),
            "DELETE FROM FD_RUN_RTTOWER WHERE TOWERID=902 AND (TIME='2009-03-11 03:00:00' OR "
            "(TIME>='2009-03-12 05:00:00' AND TIME<='2009-03-12 06:50:00'))")));
        ASSERT_TRUE(station.DriverConnect(Odbc::SqliteConnectionString("WPData/WP_1.MDB", false),
                                          kLoginTimeoutSeconds));
        ASSERT_TRUE(Odbc::Succeeded(Odbc::ExecDirect(
            station.Get(), "INSERT INTO RTTOWER (TIME) VALUES ('2009-03-12 09:31:00')")));
    }
    static void TearDownTestSuite() { s_host.reset(); }
    void SetUp() override { ProcessClock::SetNow(kNow); }

    // What Print wrote, blanks squeezed to one: its exit code, then standard output and
    // error output.
    static std::tuple<int, std::string, std::string> Print(const char* from, const char* to,
                                                           const std::string& dir) {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        const int code = Availability::Print({dir, from, to});
        const std::string out =
            std::regex_replace(testing::internal::GetCapturedStdout(), std::regex(" +"), " ");
        const std::string err = testing::internal::GetCapturedStderr();
        std::string error;
        EXPECT_TRUE(HostDirectory::Enter(s_host->Dir(), error)) << error;
        return {code, out, err};
    }
    // Each text in `out` in this order, from RTU `rtu`'s part on (0: from the start).
    static void ExpectInOrder(const std::string& out, int rtu,
                              const std::vector<std::string>& texts) {
        size_t at = rtu == 0 ? 0 : out.find("\nRTU " + std::to_string(rtu) + " ");
        for (const std::string& text : texts) {
            at = out.find(text, at);
            ASSERT_NE(at, std::string::npos) << text << "\n" << out;
        }
    }

    static std::unique_ptr<TestHost> s_host;
};
std::unique_ptr<TestHost> AvailabilityTest::s_host;

// Per day, per month and the gaps longest first, over whole, partial and default
// ranges; marks after now are not expected, a row between marks is no record.
TEST_F(AvailabilityTest, DaysMonthsAndGapsOfEachStore) {
    const struct {
        struct {
            const char *from, *to;
            int rtu;
        } range;
        std::vector<std::string> shown;  // in this order from the tower's part on
        const char* absent;              // nowhere in the output: a day's line, a tower
    } cases[] = {
        {{"2009-03-11 00:00", "2009-03-13 00:00", 1},
         {"(type 100, backend TOWERID 1)", "2009-03-11 144 144 100.0% 144 100.0%",
          "2009-03-12 93 81 87.0% 81 87.0%", "month 2009-03 237 225 94.9% 225 94.9%",
          "station file, longest first:\n 2009-03-12 09:00 to 10:50: 12 marks (2 h)\n",
          "backend, longest first:\n 2009-03-12 09:00 to 10:50: 12 marks (2 h)\n"},
         "\n 2009-03-13"},
        {{"2009-03-11 00:00", "2009-03-13 00:00", 2},
         {"(type 100, backend TOWERID 902)", "2009-03-11 144 144 100.0% 143 99.3%",
          "2009-03-12 93 93 100.0% 81 87.0%", "month 2009-03 237 237 100.0% 224 94.5%",
          "gaps in the station file: none",
          "backend, longest first:\n 2009-03-12 05:00 to 06:50: 12 marks (2 h)\n "
          "2009-03-11 03:00: 1 mark (10 min)\n"},
         "RTU 40"},
        {{"2009-03-11 00:00", "2009-03-13 00:00", 12},
         {"(type 101, backend TOWERID 12)", "2009-03-12 93 - - 0 0.0%",
          "no station file WPData/WP_12.MDB",
          "backend, longest first:\n 2009-03-11 00:00 to 2009-03-12 15:20: 237 marks (1 d 15 h"},
         nullptr},
        {{"2009-03-11 23:05", "2009-03-12 00:25:00", 2},
         {"2009-03-11 5 5 100.0% 5 100.0%", "2009-03-12 3 3 100.0% 3 100.0%",
          "month 2009-03 8 8 100.0% 8 100.0%", "gaps in the backend: none"},
         "\n 2009-03-10"},
        {{"2009-03-12 15:00", "2009-03-14 00:00", 1}, {"2009-03-12 3 3 100.0%"}, "\n 2009-03-13"},
        {{"", "", 1},
         {"2009-02-11 144 0 0.0% 0 0.0%", "month 2009-02 2592 0 0.0% 0 0.0%",
          "2009-03-12 93 81 87.0% 81 87.0%", "month 2009-03 1677 225 13.4% 225 13.4%",
          "2009-02-11 00:00 to 2009-03-10 23:50: 4032 marks (28 d)\n 2009-03-12 09:00"},
         "\n 2009-02-10"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.range.from) + " .. " + c.range.to);
        const auto [code, out, err] = Print(c.range.from, c.range.to, s_host->Dir());
        EXPECT_EQ(code, 0) << err;
        ExpectInOrder(out, c.range.rtu, c.shown);
        if (c.absent) {
            EXPECT_EQ(out.find(c.absent), std::string::npos) << c.absent << "\n" << out;
        }
    }
}

// A store that cannot be read is said so for every tower and not counted, while the
// other is; options that name no range and a folder that is no host directory are
// refused before anything is printed.
TEST_F(AvailabilityTest, AStoreThatCannotBeReadIsSaidAndTheOtherCounted) {
    const std::string settings = ReadWholeFile(ConfigFile::kPath);
    const std::string stationFile = ReadWholeFile("WPData/WP_1.MDB");
    auto setting = [](const char* key, const char* value) {
        return [=] { IniFile::WriteString(ConfigFile::kPath, "DATABASE", key, value); };
    };
    const struct {
        struct {
            const char *name, *from, *dir;
            int code, rtu;  // rtu 0: the texts anywhere
        } run;
        std::function<void()> fault;
        std::vector<std::string> shown;  // in this order, in standard output or error output
    } cases[] = {
        {{"backend away", "2009-03-12 00:00", "", 0, 1},
         setting("SOURCENAME", "NO_SUCH"),
         {"2009-03-12 93 81 87.0% - -", "backend unreachable (data source NO_SUCH)",
          "gaps in the station file, longest first"}},
        {{"prefix no SQL name", "2009-03-12 00:00", "", 0, 1},
         setting("PRENAME", "x;DROP"),
         {"2009-03-12 93 81 87.0% - -", "PRENAME \"x;DROP\" is not an SQL name"}},
        {{"station file damaged", "2009-03-12 00:00", "", 0, 1},
         [] { std::ofstream("WPData/WP_1.MDB", std::ios::trunc) << "not a database"; },
         {"2009-03-12 93 - - 81 87.0%", "station file WPData/WP_1.MDB cannot be",
          "gaps in the backend, longest first"}},
        {{"range after now", "2009-03-12 15:30", "", 0, 0}, [] {}, {"no ten-minute mark"}},
        {{"bad time", "2009-03-12", "", 1, 0}, [] {}, {"--from must be \"YYYY-MM-DD HH:MM\""}},
        {{"empty range", "2009-03-12 16:00", "", 1, 0}, [] {}, {"must be earlier than now"}},
        {{"no host directory", "", "/WPData", 1, 0}, [] {}, {"no host catalogue"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.run.name);
        c.fault();
        const auto [code, out, err] =
            Print(c.run.from, c.run.code ? "" : "2009-03-13 00:00", s_host->Dir() + c.run.dir);
        std::ofstream(ConfigFile::kPath, std::ios::trunc | std::ios::binary) << settings;
        std::ofstream("WPData/WP_1.MDB", std::ios::trunc | std::ios::binary) << stationFile;
        EXPECT_EQ(code, c.run.code) << out << err;
        ExpectInOrder(c.run.code ? err : out, c.run.rtu, c.shown);
    }
}

// The window's figure: today's marks up to now, read off the asking thread, once.
TEST_F(AvailabilityTest, TodaysFigureOfEachTowerIsReadOffTheAskingThread) {
    Availability::CTodayLoader loader;
    std::optional<std::vector<Availability::DayFigure>> figures;
    ASSERT_TRUE(WaitFor([&] { return (figures = loader.TakeNewest()).has_value(); }));
    const struct {
        int rtu;
        std::optional<int> station, backend;
    } cases[] = {{1, 81, 81}, {2, 93, 81}, {3, 0, 0}, {12, std::nullopt, 0}};
    ASSERT_EQ(figures->size(), std::size(cases)) << "the towers alone";
    for (size_t i = 0; i < figures->size(); ++i) {
        const Availability::DayFigure& figure = (*figures)[i];
        EXPECT_EQ(figure.rtu, cases[i].rtu);
        EXPECT_EQ(figure.expected, 93) << figure.rtu;
        EXPECT_EQ(figure.station.present, cases[i].station) << figure.rtu;
        EXPECT_EQ(figure.backend.present, cases[i].backend) << figure.rtu;
    }
    EXPECT_FALSE(loader.TakeNewest()) << "taken once";
    EXPECT_EQ(Availability::Percent(4319, 4320), "99.9%") << "never 100.0% with a mark missing";
}

}  // namespace
