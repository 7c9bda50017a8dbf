#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

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
const DateTime k15(2009, 3, 12, 15, 0, 0);

// Plays failures ("F") and successes ("S") at process-clock seconds as a store's caller
// would, "full" standing for the caller's own first line of a run.
TEST(FailureLogTest, RunsOfFailuresAsTheLogShowsThem) {
    const struct {
        double interval;
        const char* events;
        std::vector<std::string> lines;
    } cases[] = {
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
    for (const auto& c : cases) {
        std::vector<std::string> lines;
        CFailureLog log("S", c.interval, [&](const std::string& line) { lines.push_back(line); });
        std::istringstream events(c.events);
        for (std::string event; events >> event;) {
            ProcessClock::SetNow(kNow + DateTimeSpan(0, 0, 0, std::stoi(event.substr(1))));
            if (event[0] == 'S') log.Succeeded();
            if (event[0] == 'F' && log.Failed()) lines.push_back("full");
        }
        EXPECT_EQ(lines, c.lines) << c.events;
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
    // The error log's lines since the last call.
    std::vector<std::string> NewLogLines() {
        const std::string log = ReadWholeFile(host.Path(ErrorLog::FileName()));
        std::istringstream added(log.substr(std::min(m_logSeen, log.size())));
        m_logSeen = log.size();
        std::vector<std::string> lines;
        for (std::string line; std::getline(added, line);) lines.push_back(line);
        return lines;
    }

    TestHost host;
    CWPSettingsStore settings;
    size_t m_logSeen = 0;
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
// database is kept, with its journals, under a name of its own.
TEST_F(StationHealTest, AFileIsOpenedByWhatItHolds) {
    const struct {
        const char* what;
        std::string bytes;  // of the file
        bool otherTable;    // then made an SQLite file with a table OTHER
        bool journals;
    } cases[] = {
        {"an SQLite file with another table only", "", true, false},
        {"an empty file", "", false, false},
        {"garbage", Garbage(5000, 1), false, false},
        {"the header, then garbage", std::string("SQLite format 3\0", 16) + Garbage(8000, 1), false,
         false},
        {"garbage with its journals", Garbage(3000, 1), false, true},
    };
    int rtu = 50;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        CWPLocalDB station(++rtu, host.Dir(), settings, 60000);
        const std::string file = station.FilePath();
        WriteFile(file, c.bytes);
        if (c.otherTable) QueryFile(file, "CREATE TABLE OTHER (A INT)");
        if (c.journals) WriteFile(file + "-wal", Garbage(100, 2));
        if (c.journals) WriteFile(file + "-shm", Garbage(200, 3));
        NewLogLines();

        EXPECT_TRUE(station.SaveLocalData(
            TowerRecordOf(rtu, k15, {Item(7000, 5.0f, k15), Item(9000, 4.0f, k15)})));
        EXPECT_EQ(QueryFile(file, "SELECT COUNT(*) FROM RTTOWER"), "1");
        EXPECT_EQ(QueryFile(file, "SELECT COUNT(*) FROM HSTOWER"), "1");
        EXPECT_EQ(QueryFile(file, "SELECT COUNT(*) FROM OTHER"), c.otherTable ? "0" : "<error>");

        const std::vector<std::string> log = NewLogLines();
        const std::string aside = file + ".damaged-20090312150500";  // the clock may tick once
        const std::string found =
            std::filesystem::exists(aside) ? aside : aside.substr(0, aside.size() - 1) + "1";
        if (c.bytes.empty()) {
            EXPECT_FALSE(std::filesystem::exists(found));
            EXPECT_EQ(log.size(), 0u);
            continue;
        }
        EXPECT_EQ(ReadWholeFile(found), c.bytes);
        EXPECT_EQ(ReadWholeFile(found + "-wal"), c.journals ? Garbage(100, 2) : "");
        EXPECT_EQ(ReadWholeFile(found + "-shm"), c.journals ? Garbage(200, 3) : "");
        ASSERT_EQ(log.size(), 1u);
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
        EXPECT_EQ(NewLogLines().size(), 0u);
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
    const struct {
        const char* what;
        uint64_t sizeLimit;  // 0: none
        std::function<void(bool failing)> set;
    } cases[] = {
        {"the disk is full", 4096, [](bool) {}},
        {fileModesCount ? "WPData is read-only" : "WPData is a file", 0,
         [&](bool failing) {
             if (fileModesCount) {
                 fs::permissions(wpdata, fs::perms::owner_write,
                                 failing ? fs::perm_options::remove : fs::perm_options::add);
                 return;
             }
             fs::remove_all(wpdata);
             if (failing) WriteFile(wpdata, "x");
             if (!failing) fs::create_directory(wpdata);
         }},
    };
    int rtu = 70;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ProcessClock::SetNow(kNow);
        std::size_t messages = 0;
        VktHost::SetMessageWindow([&](const std::string&) { ++messages; });
        CWPLocalDB station(++rtu, host.Dir(), settings, 60000);
        DateTime time(2009, 3, 12, 0, 10, 0);
        const auto nextFrame = [&] {
            time += DateTimeSpan(0, 0, 10, 0);
            return station.SaveLocalRT(TowerRecordOf(rtu, time, {Item(7000, 1.0f, time)}));
        };
        ASSERT_TRUE(nextFrame());
        {
            AccessGuard guard;
            station.CloseLocalDB();
        }
        c.set(true);
        fs::remove(host.Path(ErrorLog::FileName()));  // small under the size limit
        m_logSeen = 0;
        std::vector<std::string> log;
        {
            std::optional<FileSizeLimit> limit;
            if (c.sizeLimit && !limit.emplace(c.sizeLimit).set) continue;  // none on Windows
            for (int i = 0; i < 200; ++i) EXPECT_FALSE(nextFrame());
            EXPECT_LE(NewLogLines().size(), 3u) << "the first failure and its diagnostics";
            ProcessClock::SetNow(kNow + DateTimeSpan(0, 0, 1, 1));
            EXPECT_FALSE(nextFrame());
            log = NewLogLines();
        }
        c.set(false);
        ASSERT_TRUE(nextFrame());
        VktHost::SetMessageWindow(nullptr);
        EXPECT_LE(messages, 1u);
        ASSERT_EQ(log.size(), 1u);
        EXPECT_NE(log[0].find(" more failures in the last minute"), std::string::npos) << log[0];
        log = NewLogLines();
        ASSERT_EQ(log.size(), 1u);
        EXPECT_NE(log[0].find(": writing again after "), std::string::npos) << log[0];
    }
}

}  // namespace
