// Kills the host at named points inside the plug-in and at random moments while it
// replays frames, then restarts it to drain, again and again. Whatever was killed,
// every frame the plug-in accepted must end in its station file and in the backend
// with equal values, every SQLite file must pass its integrity check, no key may be
// stored twice and odbc.ini must stay whole.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "host/FrameFile.h"
#include "host/Simulator.h"
#include "hostlib/VktBase.h"
#include "platform/OdbcQuery.h"
#include "storage/FrameSpool.h"
#include "tests/support/TestBroker.h"
#include "tests/support/TestHost.h"
#include "tests/support/TowerData.h"

namespace {

// A kill point and how far into its passes it fires ("" with a delay: a SIGKILL from
// outside after that many milliseconds).
struct Kill {
    std::string point;
    int delayMs = 0;
};

constexpr int kCycles = 18;
constexpr int kHoursPerCycle = 4;
// After the last frame: the rows are current, so retention keeps them.
constexpr const char* kNow = "2011-03-05 00:00:00";
// Live acquisition starts here, after every replayed frame.
constexpr const char* kLiveNow = "2011-03-06 00:00:00";

// The frame with its items repeated past what a spool record may carry, a minute later.
CDataFrame Oversized(CDataFrame frame) {
    frame.m_tTime = frame.m_tTime + DateTimeSpan(0, 0, 1, 0);
    while (frame.m_arItems.size() <= CFrameSpool::kMaxItems) {
        frame.m_arItems.push_back(frame.m_arItems.front());
    }
    return frame;
}

// (RTU, time text) → V1AVGSP as text.
using Rows = std::map<std::pair<int, std::string>, std::string>;

bool ReadRows(OdbcConnection& connection, const std::string& sql, int rtu, Rows& rows,
              int& duplicates) {
    OdbcStatement stmt = Odbc::AllocStatement(connection.Get());
    if (!stmt || !Odbc::Succeeded(Odbc::ExecOn(stmt.Get(), sql))) return false;
    Odbc::ForEachRow(stmt.Get(), [&](const OdbcRow& row) {
        // Columns in increasing order, as a row is read.
        std::string time = row.Text(1).substr(0, 19);
        std::string value = row.Text(2);
        const int key = rtu != 0 ? rtu : std::atoi(row.Text(3).c_str());
        if (!rows.emplace(std::make_pair(key, time), value).second) ++duplicates;
    });
    return true;
}

class CrashTest : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        if (GetParam() && !PostgresAvailable(m_backend)) GTEST_SKIP() << "no PostgreSQL server";
        m_host = std::make_unique<TestHost>(true, m_backend);
        std::ofstream(m_host->Path("empty.jsonl"));
        if (!GetParam()) return;
        std::ofstream(m_host->Path("WPDB.ini"))
            << "[DATABASE]\nSOURCENAME=" << m_backend.dataSource << "\n";
        ClearBackendPeriod();
    }

    // The shared server keeps rows of other cases: this case's period starts empty.
    void ClearBackendPeriod() {
        OdbcConnection connection;
        ASSERT_TRUE(connection.Connect(m_backend.dataSource, "fd", "wendol", kLoginTimeoutSeconds));
        for (const char* table : {"FD_RUN_RTTOWER", "FD_RUN_TOWERHIS"}) {
            Odbc::ExecDirect(connection.Get(), std::string("DELETE FROM ") + table +
                                                   " WHERE TIME >= {ts '2011-01-01 00:00:00'}"
                                                   " AND TIME < {ts '2012-01-01 00:00:00'}");
        }
    }

    // Starts the host program's `command` ("run", "export", "rtu add") on DIR with
    // `args`, its output appended to host.out; returns its process id.
    pid_t StartProgram(const std::string& command, std::vector<std::string> args,
                       const Kill& kill) {
        const std::string output = m_host->Path("host.out");
        const bool loadsPlugin = command == "run" || command == "export";
        if (loadsPlugin) args.insert(args.end(), {"--plugin", std::getenv("VKT_PLUGIN")});
        args.insert(args.begin(), m_host->Dir());
        std::istringstream words(command);  // "rtu add": two words
        std::vector<std::string> head{"vkthost"};
        for (std::string word; words >> word;) head.push_back(word);
        args.insert(args.begin(), head.begin(), head.end());
        std::vector<char*> argv;
        for (std::string& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        const pid_t child = fork();
        if (child == 0) {
            std::freopen(output.c_str(), "a", stdout);
            std::freopen(output.c_str(), "a", stderr);
            if (!kill.point.empty()) setenv("VKT_KILL_POINT", kill.point.c_str(), 1);
            execv(VKT_HOST_PROGRAM, argv.data());
            _exit(127);
        }
        return child;
    }

    // Runs the program as StartProgram does (killed after `kill.delayMs` when it names
    // no point); returns the wait status.
    int RunProgram(const std::string& command, std::vector<std::string> args, const Kill& kill) {
        const pid_t child = StartProgram(command, std::move(args), kill);
        if (kill.point.empty() && kill.delayMs > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(kill.delayMs));
            ::kill(child, SIGKILL);
        }
        int status = 0;
        waitpid(child, &status, 0);
        return status;
    }

    // Hands the frames of the file over (or, with "live", simulates at 600 times the
    // speed), noting what was accepted.
    int RunHost(const std::string& frames, const Kill& kill) {
        std::vector<std::string> args{
            "--accepted", m_host->Path("accepted.txt"), "--linger", "0", "--drain", "120"};
        if (frames == "live") {
            args.insert(args.end(), {"--simulate", "live:600", "--now", kLiveNow});
        } else {
            args.insert(args.end(), {"--frames", frames, "--now", kNow});
        }
        return RunProgram("run", args, kill);
    }

    // The wait status of a run that ends by itself (killed inside or at its end), or is
    // killed when it has not within 30 s.
    static int Reap(pid_t child) {
        int status = 0;
        if (!WaitFor([&] { return waitpid(child, &status, WNOHANG) == child; }, 30000)) {
            ::kill(child, SIGKILL);
            waitpid(child, &status, 0);
        }
        return status;
    }

    // A last run, not killed: once `taken` holds it is stopped as a service is (SIGTERM)
    // and must end 0.
    template <typename Taken>
    void RunUntilStopped(const std::vector<std::string>& args, const Taken& taken, int waitMs,
                         const char* notTaken) {
        const pid_t last = StartProgram("run", args, {});
        EXPECT_TRUE(WaitFor(taken, waitMs)) << notTaken;
        ::kill(last, SIGTERM);
        int status = 0;
        waitpid(last, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << ReadWholeFile(m_host->Path("host.out"));
    }

    static bool WasKilled(int status) {
        return (WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) ||
               (WIFEXITED(status) && WEXITSTATUS(status) == 137);
    }

    // The frames of the catalogue's towers for the chunk's hours, and of `newTower`
    // when it is not 0 (an RTU the catalogue gets just before).
    std::string WriteFrames(int cycle, int chunk, int newTower = 0) {
        const DateTime from =
            DateTime(2011, 3, 1, 0, 0, 0) + DateTimeSpan(0, kHoursPerCycle * chunk, 0, 0);
        std::vector<CRTUDef> towers = Simulator::CatalogueTowers();
        if (newTower != 0) {
            CRTUDef tower;
            tower.m_nID = tower.m_nRTUID = newTower;
            tower.m_nType = 101;
            towers.push_back(tower);
        }
        const auto frames =
            Simulator::Simulate(towers, {from, from + DateTimeSpan(0, kHoursPerCycle, -10, 0)});
        const std::string path = m_host->Path("frames-" + std::to_string(cycle) + ".jsonl");
        std::ofstream out(path);
        for (size_t i = 0; i < frames.size(); ++i) {
            out << FrameFile::FormatLine(frames[i]) << "\n";
            // Among every chunk's frames one too large for the spool: refused at the door,
            // and the frames after it are stored as ever.
            if (i == frames.size() / 2) out << FrameFile::FormatLine(Oversized(frames[i])) << "\n";
        }
        m_nFramesPerChunk = static_cast<int>(frames.size());
        return path;
    }

    void ExpectSoundFiles(const std::string& when) {
        std::vector<std::string> files{m_host->Path("VKTCOMM.MDB")};
        if (!GetParam()) files.push_back(m_host->Path("backend.db"));
        for (const auto& entry : std::filesystem::directory_iterator(m_host->Path("WPData"))) {
            if (entry.path().extension() == ".MDB") files.push_back(entry.path().string());
        }
        for (const std::string& file : files) {
            EXPECT_EQ(QueryFile(file, "PRAGMA integrity_check"), "ok") << file << " " << when;
        }
        const std::string ini = ReadWholeFile(m_host->Path("odbc/odbc.ini"));
        for (const std::string& section : {"[" + m_backend.dataSource + "]", std::string("[WP_1]"),
                                           std::string("[WP_2]"), std::string("[WP_12]")}) {
            EXPECT_NE(ini.find(section), std::string::npos) << section << " " << when << "\n"
                                                            << ini;
        }
    }

    // Takes the section out of odbc.ini, as a data source that was never registered.
    void DropDataSource(const std::string& name) {
        std::ifstream in(m_host->Path("odbc/odbc.ini"));
        std::ostringstream kept;
        std::string line;
        bool skipping = false;
        while (std::getline(in, line)) {
            if (!line.empty() && line.front() == '[') skipping = line == "[" + name + "]";
            if (!skipping) kept << line << "\n";
        }
        in.close();
        std::ofstream(m_host->Path("odbc/odbc.ini")) << kept.str();
    }

    // What accepted.txt lists, and how much of it the stores hold.
    struct Stored {
        std::set<std::pair<int, std::string>> accepted;
        int inStation = 0, inBackend = 0, equal = 0, duplicates = 0;
    };

    std::set<std::pair<int, std::string>> ReadAccepted() {
        std::set<std::pair<int, std::string>> accepted;
        std::ifstream in(m_host->Path("accepted.txt"));
        int rtu = 0;
        std::string day, time;
        while (in >> rtu >> day >> time) accepted.insert({rtu, day + " " + time});
        return accepted;
    }

    // The backend's 10-minute rows of the test's year.
    void ReadBackendRows(Rows& backend, int& duplicates) {
        OdbcConnection server;
        EXPECT_TRUE(server.Connect(m_backend.dataSource, "fd", "wendol", kLoginTimeoutSeconds));
        EXPECT_TRUE(ReadRows(server,
                             "SELECT TIME, V1AVGSP, TOWERID FROM FD_RUN_RTTOWER WHERE TIME >= "
                             "{ts '2011-01-01 00:00:00'} AND TIME < {ts '2012-01-01 00:00:00'}",
                             0, backend, duplicates));
    }

    // Reads accepted.txt and looks each frame up in its station file and the backend.
    Stored ReadStored() {
        Stored result;
        result.accepted = ReadAccepted();
        Rows station, backend;
        std::set<int> towers;
        for (const auto& [tower, at] : result.accepted) towers.insert(tower);
        for (int tower : towers) {
            OdbcConnection file;
            EXPECT_TRUE(file.DriverConnect(Odbc::SqliteConnectionString(m_host->Path(
                                               "WPData/WP_" + std::to_string(tower) + ".MDB")),
                                           kLoginTimeoutSeconds));
            EXPECT_TRUE(ReadRows(file, "SELECT TIME, V1AVGSP FROM RTTOWER", tower, station,
                                 result.duplicates));
        }
        ReadBackendRows(backend, result.duplicates);
        for (const auto& key : result.accepted) {
            const auto local = station.find(key);
            const auto remote = backend.find(key);
            result.inStation += local != station.end();
            result.inBackend += remote != backend.end();
            if (local != station.end() && remote != backend.end() &&
                std::stod(local->second) == std::stod(remote->second)) {
                ++result.equal;
            }
        }
        return result;
    }

    // Every frame accepted is in both stores with equal values, and no key twice.
    static void ExpectStoredOnce(const Stored& stored) {
        const int accepted = static_cast<int>(stored.accepted.size());
        EXPECT_GT(accepted, 0);
        EXPECT_EQ(stored.inStation, accepted);
        EXPECT_EQ(stored.inBackend, accepted);
        EXPECT_EQ(stored.equal, accepted);
        EXPECT_EQ(stored.duplicates, 0);
    }

    HostDirectory::BackendOptions m_backend;
    std::unique_ptr<TestHost> m_host;
    int m_nFramesPerChunk = 0;
};

TEST_P(CrashTest, EveryAcceptedFrameIsInBothStoresWhateverKillsTheHost) {
    std::mt19937 random(GetParam() ? 20111 : 1103);
    auto upTo = [&](int n) {
        return std::uniform_int_distribution<int>(1, std::max(1, n))(random);
    };
    int kills = 0;
    std::map<std::string, int> killsAt;
    for (int cycle = 0; cycle < kCycles; ++cycle) {
        // Every fifth cycle hands over a period already stored once more: late frames.
        const int chunk = cycle % 5 == 4 ? cycle / 2 : cycle;
        // Every sixth cycle brings a new tower, whose station file is made on the way.
        const int newTower = cycle % 6 == 5 ? 60 + cycle : 0;
        if (newTower != 0) {
            ASSERT_EQ(RunProgram("rtu add",
                                 {"--id", std::to_string(newTower), "--name",
                                  "T" + std::to_string(newTower), "--type", "101"},
                                 {}),
                      0);
        }
        const std::string frames = WriteFrames(cycle, chunk, newTower);
        const int n = m_nFramesPerChunk;
        const std::vector<Kill> plan{
            {"spool-append:" + std::to_string(upTo(n))},
            {"station-row:" + std::to_string(upTo(n))},
            {"backend-between:" + std::to_string(upTo(n / 6))},
            {"", 150 + upTo(600)},
            {"odbc-ini-write:1"},
            {"station-create:1"},
        };
        const Kill kill = plan[cycle % plan.size()];
        // A data source gone from odbc.ini is registered again: the write is killed.
        if (kill.point.rfind("odbc-ini-write", 0) == 0) DropDataSource("WP_2");
        auto note = [&](int status, const Kill& at, const char* what) {
            if (!WasKilled(status)) return;
            ++kills;
            ++killsAt[at.point.empty() ? what : at.point.substr(0, at.point.find(':'))];
        };
        note(RunHost(frames, kill), kill, "SIGKILL replay");
        // Every other restart is killed while it refills what the killed run left.
        if (cycle % 2 == 1) {
            const Kill refill{"refill:" + std::to_string(upTo(2))};
            note(RunHost(m_host->Path("empty.jsonl"), refill), refill, "");
        }
        // Every third cycle, live acquisition or an export is killed at a random moment.
        if (cycle % 3 == 2) {
            const Kill random{"", 300 + upTo(1200)};
            if (cycle % 2 == 0) {
                note(RunHost("live", random), random, "SIGKILL live");
            } else {
                note(RunProgram("export",
                                {"--stations", "all", "--from", "2011-03-01 00:00", "--to",
                                 "2011-03-06 00:00"},
                                random),
                     random, "SIGKILL export");
            }
        }
        // A restart that only drains.
        const int drained = RunHost(m_host->Path("empty.jsonl"), {});
        ASSERT_TRUE(WIFEXITED(drained) && WEXITSTATUS(drained) == 0)
            << "cycle " << cycle << ": " << ReadWholeFile(m_host->Path("host.out"));
        ExpectSoundFiles("after cycle " + std::to_string(cycle));
    }

    const Stored stored = ReadStored();
    std::printf("crash test (%s): %d kills", GetParam() ? "PostgreSQL" : "SQLite", kills);
    for (const auto& [point, count] : killsAt) std::printf(", %s %d", point.c_str(), count);
    std::printf("; frames accepted %zu, found in station files %d, in the backend %d, equal %d\n",
                stored.accepted.size(), stored.inStation, stored.inBackend, stored.equal);
    EXPECT_GE(kills, 15);
    ExpectStoredOnce(stored);
}

// The followed file is rotated, by rename and by copy-truncate in turn, under a running
// host that is then killed at a random moment; every other run is killed inside
// SaveRTDB while it reads on across the rotation. Each restart goes on from the kept
// position: in the end every frame written was accepted, and is in both stores once.
TEST_P(CrashTest, AFollowedFileRotatedBothWaysAcrossKills) {
    std::mt19937 random(GetParam() ? 4099 : 907);
    auto between = [&](int low, int high) {
        return std::uniform_int_distribution<int>(low, high)(random);
    };
    std::filesystem::create_directory(m_host->Path("feed"));
    const std::string feed = m_host->Path("feed/frames.jsonl");
    std::set<std::pair<int, std::string>> written;
    auto append = [&](int hour) {
        const DateTime from = DateTime(2011, 3, 1, 0, 0, 0) + DateTimeSpan(0, hour, 0, 0);
        std::ofstream out(feed, std::ios::app);
        for (const CDataFrame& frame : Simulator::Simulate(
                 Simulator::CatalogueTowers(), {from, from + DateTimeSpan(0, 0, 50, 0)})) {
            out << FrameFile::FormatLine(frame) << "\n";
            written.insert({frame.m_nRTUID, frame.m_tTime.Format()});
        }
    };
    auto allAccepted = [&] {
        const auto accepted = ReadAccepted();
        return std::includes(accepted.begin(), accepted.end(), written.begin(), written.end());
    };
    const std::vector<std::string> args{
        "--follow", feed,    "--accepted", m_host->Path("accepted.txt"), "--linger", "0", "--drain",
        "120",      "--now", kNow};
    int kills = 0;
    for (int round = 0; round < 8; ++round) {
        append(3 * round);
        // A run killed inside SaveRTDB dies among the 24 frames of the hour just appended.
        const bool inside = round % 2 == 1;
        const pid_t child = StartProgram(
            "run", args, {inside ? "spool-append:" + std::to_string(between(1, 24)) : ""});
        bool taken = true;
        if (!inside) {
            taken = WaitFor(allAccepted, 30000);
            // Lines the host has most likely not read yet when the file is rotated: the
            // renamed file or the copy holds them.
            append(3 * round + 1);
            const std::string rotated = feed + "." + std::to_string(round);
            if (round % 4 == 0) {
                std::filesystem::rename(feed, rotated);
            } else {
                std::filesystem::copy_file(feed, rotated);
                std::filesystem::resize_file(feed, 0);
            }
            append(3 * round + 2);
            std::this_thread::sleep_for(std::chrono::milliseconds(between(0, 700)));
            ::kill(child, SIGKILL);
        }
        const int status = Reap(child);
        ASSERT_TRUE(taken) << "round " << round << ": " << ReadWholeFile(m_host->Path("host.out"));
        kills += WasKilled(status);
    }
    RunUntilStopped(args, allAccepted, 30000, "frames written but never accepted");
    ExpectSoundFiles("after the rotations");
    const Stored stored = ReadStored();
    std::printf("followed-file crash test (%s): %d kills, frames written %zu, accepted %zu\n",
                GetParam() ? "PostgreSQL" : "SQLite", kills, written.size(),
                stored.accepted.size());
    EXPECT_EQ(kills, 8);
    ExpectStoredOnce(stored);
}

// Station files off: a frame's backend rows have no other home than the spool. The
// backend is away for the first rounds and then (the shared PostgreSQL server, where
// the test command names its folder) frozen, each run killed at a random moment or
// inside SaveRTDB; then it is back. Every accepted frame reaches the backend once.
TEST_P(CrashTest, StationFilesOffTheSpoolKeepsFramesUntilTheBackendHasThem) {
    std::mt19937 random(GetParam() ? 733 : 409);
    auto between = [&](int low, int high) {
        return std::uniform_int_distribution<int>(low, high)(random);
    };
    const auto configure = [&](const std::string& source) {
        std::ofstream(m_host->Path("WPDB.ini"))
            << "[DATABASE]\nSOURCENAME=" << source << "\n[LOCALDATA]\nSAVEDATA=0\n";
    };
    const char* serverDir = std::getenv("VKT_PG_DIR");
    const bool canFreeze = GetParam() && serverDir != nullptr;
    const auto cluster = [&](const char* command) {
        const std::string line = std::string("bash '") + std::getenv("VKT_PG_SCRIPT") + "' " +
                                 command + " '" + serverDir + "' " + std::getenv("VKT_PG_PORT");
        EXPECT_EQ(std::system(line.c_str()), 0) << line;
    };
    int kills = 0;
    for (int round = 0; round < 6; ++round) {
        const bool frozen = canFreeze && (round == 2 || round == 3);
        configure(round < 4 && !frozen ? "NO_SUCH_SOURCE" : m_backend.dataSource);
        const std::string frames = WriteFrames(round, round);
        const Kill kill = round % 2 == 0 ? Kill{"", 150 + between(0, 600)}
                                         : Kill{"spool-append:" + std::to_string(between(1, 60))};
        if (frozen) cluster("freeze");
        kills += WasKilled(RunHost(frames, kill));
        if (frozen) cluster("thaw");
    }
    const int drained = RunHost(m_host->Path("empty.jsonl"), {});
    EXPECT_TRUE(WIFEXITED(drained) && WEXITSTATUS(drained) == 0)
        << ReadWholeFile(m_host->Path("host.out"));
    Rows backend;
    int duplicates = 0;
    ReadBackendRows(backend, duplicates);
    const auto accepted = ReadAccepted();
    long found = 0;
    for (const auto& key : accepted) found += backend.count(key);
    std::printf(
        "station-files-off crash test (%s%s): %d kills, frames accepted %zu, in the "
        "backend %ld\n",
        GetParam() ? "PostgreSQL" : "SQLite", canFreeze ? ", frozen server" : "", kills,
        accepted.size(), found);
    EXPECT_GE(kills, 4);
    EXPECT_GT(accepted.size(), 0u);
    EXPECT_EQ(found, static_cast<long>(accepted.size()));
    EXPECT_EQ(duplicates, 0);
}

// A gateway publishes bursts of tower 2's frames with QoS 1 while tower 1's logger
// appends rows to its table file; each run is killed at a random moment or inside
// SaveRTDB. The broker keeps what it took while the host is down, and the table's
// position what was taken: in the end every message the broker accepted and every row
// written is in both stores once.
TEST_P(CrashTest, AnMqttBurstAndAGrowingTableAcrossKills) {
    std::mt19937 random(GetParam() ? 6007 : 5003);
    auto between = [&](int low, int high) {
        return std::uniform_int_distribution<int>(low, high)(random);
    };
    TestBroker broker(m_host->Dir());
    broker.Start();
    const std::string table = m_host->Path("mast1.dat");
    std::ofstream(table)
        << "\"TOA5\",\"Mast1\",\"CR1000\",\"1\",\"OS\",\"CPU:m.CR1\",\"1\",\"T10\"\n"
           "\"TIMESTAMP\",\"RECORD\",\"WS_Avg\"\n\"TS\",\"RN\",\"m/s\"\n\"\",\"\",\"Avg\"\n";
    std::ofstream(m_host->Path("map.csv")) << "id,column\n7000,WS_Avg\n";
    ASSERT_EQ(RunProgram("source add", {"1", "table", table, "--map", m_host->Path("map.csv")}, {}),
              0);
    std::set<std::pair<int, std::string>> sent;
    int row = 0;
    auto append = [&](int count) {
        std::ofstream out(table, std::ios::app);
        for (int i = 0; i < count; ++i, ++row) {
            const DateTime at = DateTime(2011, 3, 1, 0, 0, 0) + DateTimeSpan(0, 0, 10 * row, 0);
            out << "\"" << at.Format() << "\"," << row << "," << 3 + row % 7 << "\n";
            sent.insert({1, at.Format()});
        }
    };
    int message = 0;
    auto burst = [&](int count) {
        std::vector<std::string> lines;
        for (int i = 0; i < count; ++i, ++message) {
            const DateTime at = DateTime(2011, 3, 1, 0, 0, 0) + DateTimeSpan(0, 0, 10 * message, 0);
            lines.push_back(
                FrameFile::FormatLine(SpeedFrame(2, at, static_cast<float>(2 + message % 5))));
            sent.insert({2, at.Format()});
        }
        broker.Publish("towers/2", lines);
    };
    const std::vector<std::string> args{"--sources",
                                        "--mqtt",
                                        broker.Address(),
                                        "--topic",
                                        "towers/#",
                                        "--client-id",
                                        "crash",
                                        "--status",
                                        "0.2",
                                        "--accepted",
                                        m_host->Path("accepted.txt"),
                                        "--linger",
                                        "0",
                                        "--drain",
                                        "120",
                                        "--now",
                                        kNow};
    auto allAccepted = [&] {
        const auto accepted = ReadAccepted();
        return std::includes(accepted.begin(), accepted.end(), sent.begin(), sent.end());
    };
    // The session begins with the first run: the broker keeps for it what comes later.
    auto subscribed = [&] {
        return ReadWholeFile(m_host->Path("host.out")).find(": answering") != std::string::npos;
    };
    int kills = 0;
    for (int round = 0; round < 8; ++round) {
        const bool inside = round % 2 == 1;
        const pid_t child = StartProgram(
            "run", args, {inside ? "spool-append:" + std::to_string(between(1, 60)) : ""});
        if (round == 0) {
            ASSERT_TRUE(WaitFor(subscribed, 30000));
        }
        append(between(10, 30));
        burst(between(20, 60));
        if (!inside) {
            std::this_thread::sleep_for(std::chrono::milliseconds(between(0, 600)));
            ::kill(child, SIGKILL);
        }
        const int status = Reap(child);
        kills += WasKilled(status);
    }
    RunUntilStopped(args, allAccepted, 60000, "messages or rows sent but never accepted");
    const Stored stored = ReadStored();
    std::printf(
        "mqtt and table crash test (%s): %d kills, messages %d, table rows %d, accepted %zu\n",
        GetParam() ? "PostgreSQL" : "SQLite", kills, message, row, stored.accepted.size());
    EXPECT_GE(kills, 6);
    ExpectStoredOnce(stored);
}

INSTANTIATE_TEST_SUITE_P(Backends, CrashTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "PostgreSQL" : "SQLite"; });

}  // namespace
