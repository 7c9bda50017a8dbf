#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <tuple>

#include "hostlib/HostSide.h"
#include "model/Catalogue.h"
#include "platform/Clock.h"
#include "platform/ErrorLog.h"
#include "storage/FailureLog.h"
#include "storage/WPLocalDB.h"
#include "storage/WPSettings.h"
#include "tests/support/FileSizeLimit.h"
#include "tests/support/TestHost.h"
#include "tests/support/TowerData.h"

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

const DateTime kNow(2009, 3, 12, 15, 5, 0);

// Plays failures ("F") and successes ("S") at process-clock seconds as a store's caller
// would, "full" standing for the caller's own first line of a run.
TEST(FailureLogTest, RunsOfFailuresAsTheLogShowsThem) {
    const std::tuple<double, const char*, std::vector<std::string>> cases[] = {
        {60, "F0 F1 F59", {"full"}},
        {60,
         "F0 F10 F30 F61 F62 F122",
         {"full", "S: 3 more failures in the last minute",
          "S: 2 more failures in the last minute"}},
        {60, "F0 F300", {"full", "S: 1 more failure in the last 5 minutes"}},
        {60, "F0 F5 S6 S7 F8", {"full", "S: writing again after 2 failures", "full"}},
        {60, "S0", {}},
        {60, "F0 F-3600 F-3550 F-3539", {"full", "S: 3 more failures in the last minute"}},
        {2, "F0 F1 F3", {"full", "S: 2 more failures in the last 3 s"}},
    };
    for (const auto& [interval, played, expected] : cases) {
        std::vector<std::string> lines;
        CFailureLog log("S", interval, [&](const std::string& line) { lines.push_back(line); });
        std::istringstream events(played);
        for (std::string event; events >> event;) {
            ProcessClock::SetNow(kNow + DateTimeSpan(0, 0, 0, std::stoi(event.substr(1))));
            if (event[0] == 'S') log.Succeeded();
            if (event[0] == 'F' && log.Failed()) lines.push_back("full");
        }
        EXPECT_EQ(lines, expected) << played;
    }
    ProcessClock::Reset();
}

class StationHealTest : public ::testing::Test {
protected:
    void SetUp() override {
        BuildCatalogue();
        std::filesystem::create_directory(host.Path("WPData"));
        ProcessClock::SetNow(kNow);
    }
    void TearDown() override { ProcessClock::Reset(); }
    std::vector<std::string> LogLines() const {
        std::istringstream log(ReadWholeFile(host.Path(ErrorLog::FileName())));
        std::vector<std::string> lines;
        for (std::string line; std::getline(log, line);) lines.push_back(line);
        return lines;
    }

    TestHost host;
    CWPSettingsStore settings;
};

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string Garbage(size_t size, int seed) {
    std::string bytes;
    for (size_t i = 0; i < size; ++i) bytes += static_cast<char>((i * 7919 + seed) % 251);
    return bytes;
}

// Whatever a station file holds, the frame's rows are stored; a file that is not a
// database is kept, with its journals, under a name of its own, and said once.
TEST_F(StationHealTest, AFileIsOpenedByWhatItHolds) {
    // What the file is; its bytes; whether it is then made an SQLite file with a table
    // OTHER; whether it has journals.
    const std::tuple<const char*, std::string, bool, bool> cases[] = {
        {"an SQLite file with another table only", "", true, false},
        {"an empty file", "", false, false},
        {"garbage", Garbage(5000, 1), false, false},
        {"the header, then garbage", std::string("SQLite format 3\0", 16) + Garbage(8000, 1), false,
         false},
        {"garbage with its journals", Garbage(3000, 1), false, true}};
    int rtu = 50;
    for (const auto& [what, bytes, otherTable, journals] : cases) {
        SCOPED_TRACE(what);
        CWPLocalDB station(++rtu, host.Dir(), settings, 60000);
        const std::string file = station.FilePath();
        WriteFile(file, bytes);
        if (otherTable) QueryFile(file, "CREATE TABLE OTHER (A INT)");
        if (journals) WriteFile(file + "-wal", Garbage(100, 'w'));
        if (journals) WriteFile(file + "-shm", Garbage(100, 's'));
        std::filesystem::remove(host.Path(ErrorLog::FileName()));
        EXPECT_TRUE(station.TEST_SaveLocalData(
            FrameOf(rtu, k15, {Item(7000, 5.0f, k15), Item(9000, 4.0f, k15)})));
        EXPECT_EQ(QueryFile(file, "SELECT COUNT(*) FROM RTTOWER"), "1");
        EXPECT_EQ(QueryFile(file, "SELECT COUNT(*) FROM HSTOWER"), "1");
        EXPECT_EQ(QueryFile(file, "SELECT COUNT(*) FROM OTHER"), otherTable ? "0" : "<error>");

        const std::vector<std::string> log = LogLines();
        const std::string aside = file + ".damaged-20090312150500";  // the clock may tick once
        const std::string found =
            std::filesystem::exists(aside) ? aside : aside.substr(0, aside.size() - 1) + "1";
        EXPECT_EQ(std::filesystem::exists(found), !bytes.empty());
        ASSERT_EQ(log.size(), bytes.empty() ? 0u : 1u);
        if (bytes.empty()) continue;
        EXPECT_EQ(ReadWholeFile(found), bytes);
        for (const char* journal : {"-wal", "-shm"}) {
            EXPECT_EQ(ReadWholeFile(found + journal), journals ? Garbage(100, journal[1]) : "");
        }
        EXPECT_NE(log[0].find(file + " is not"), std::string::npos) << log[0];
        EXPECT_NE(log[0].find(found), std::string::npos) << log[0];
    }
}

#ifdef VKT_HOST_PROGRAM
// A host killed between making a station file and its tables: the next start stores
// that tower's frames there, not "no such table" for ever.
TEST_F(StationHealTest, AStationFileLeftByAKillGetsItsTablesOnTheNextStart) {
    const char* plugin = std::getenv("VKT_PLUGIN");
    ASSERT_NE(plugin, nullptr) << "run under CTest, which names the plug-in";
    const std::string run = std::string(VKT_HOST_PROGRAM) + " run '" + host.Dir() +
                            "' --simulate '2009-03-12 14:00:00..2009-03-12 15:00:00' --now '" +
                            kNow.Format() + "' --drain 30 --linger 0 --plugin '" + plugin +
                            "' > '" + host.Path("run.txt") + "' 2>&1";
    for (auto [point, file] : {std::pair{"station-create", "WPData/WP_1.MDB"},
                               std::pair{"station-create:3", "WPData/WP_3.MDB"}}) {
        SCOPED_TRACE(point);
        std::filesystem::remove_all(host.Path("WPData"));
        const int killed =
            std::system(("VKT_KILL_POINT=" + std::string(point) + " " + run).c_str());
        ASSERT_TRUE(WIFEXITED(killed) && WEXITSTATUS(killed) == 137) << killed;
        const std::string left = host.Path(file);
        ASSERT_EQ(QueryFile(left, "SELECT COUNT(*) FROM RTTOWER"), "<error>") << "no tables yet";

        EXPECT_EQ(std::system(run.c_str()), 0) << ReadWholeFile(host.Path("run.txt"));
        EXPECT_EQ(QueryFile(left, "SELECT COUNT(*) FROM RTTOWER"), "7");
        EXPECT_EQ(QueryFile(left, "SELECT COUNT(*) FROM HSTOWER"), "2");
        EXPECT_EQ(LogLines().size(), 0u);
    }
}
#endif

// A station whose every statement fails leaves a few lines, not one per frame: the
// first failure, a count once the minute has passed, and one when it writes again.
TEST_F(StationHealTest, AStationThatKeepsFailingKeepsTheLogShort) {
    namespace fs = std::filesystem;
    const std::string wpdata = host.Path("WPData");
#ifdef _WIN32
    const bool fileModesCount = false;
#else
    const bool fileModesCount = geteuid() != 0;  // root ignores them
#endif
    std::optional<FileSizeLimit> limit;
    // What fails; whether it can here; what sets (true) or clears it.
    const std::tuple<const char*, bool, std::function<void(bool)>> faults[] = {
        {"the disk is full", !kOnWindows,
         [&](bool on) {
             if (!on) return limit.reset();
             EXPECT_TRUE(limit.emplace(4096).set);
         }},
        {"WPData is read-only", fileModesCount,
         [&](bool on) {
             using fs::perm_options;
             fs::permissions(wpdata, fs::perms::owner_write,
                             on ? perm_options::remove : perm_options::add);
         }},
        {"WPData is a file", true, [&](bool on) {
             fs::remove_all(wpdata);
             on ? WriteFile(wpdata, "x") : void(fs::create_directory(wpdata));
         }}};
    int rtu = 70;
    for (const auto& [what, possible, set] : faults) {
        SCOPED_TRACE(what);
        if (!possible) continue;
        ProcessClock::SetNow(kNow);
        std::size_t messages = 0;
        VktHost::SetMessageWindow([&](const std::string&) { ++messages; });
        CWPLocalDB station(++rtu, host.Dir(), settings, 60000);
        DateTime time(2009, 3, 12, 0, 10, 0);
        const auto nextFrame = [&] {
            time += DateTimeSpan(0, 0, 10, 0);
            return station.SaveLocalRT(FrameOf(rtu, time, {Item(7000, 1.0f, time)}));
        };
        ASSERT_TRUE(nextFrame());
        {
            AccessGuard guard;
            station.CloseLocalDB();
        }
        fs::remove(host.Path(ErrorLog::FileName()));  // small under the size limit
        set(true);
        for (int i = 0; i < 200; ++i) EXPECT_FALSE(nextFrame());
        const std::size_t first = LogLines().size();
        EXPECT_LE(first, 3u) << "the first failure and its diagnostics";
        ProcessClock::SetNow(kNow + DateTimeSpan(0, 0, 1, 1));
        EXPECT_FALSE(nextFrame());
        std::vector<std::string> log = LogLines();
        set(false);
        ASSERT_EQ(log.size(), first + 1);
        EXPECT_NE(log.back().find(" more failures in the last minute"), std::string::npos);
        ASSERT_TRUE(nextFrame());
        VktHost::SetMessageWindow(nullptr);
        EXPECT_LE(messages, 1u);
        log = LogLines();
        ASSERT_EQ(log.size(), first + 2);
        EXPECT_NE(log.back().find(": writing again after "), std::string::npos) << log.back();
    }
}

}  // namespace
