// The loggers a host reads by itself, configured from the terminal and acquired by a run.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "host/FrameFile.h"
#include "hostlib/HostSide.h"
#include "tests/support/HostProgram.h"
#include "tests/support/TestHost.h"
#include "tests/support/TestModbusDevice.h"

namespace {

const char* const kHeader =
    "\"TOA5\",\"Mast1\",\"CR1000\",\"1\",\"OS\",\"CPU:mast.CR1\",\"1\",\"Table10\"\n"
    "\"TIMESTAMP\",\"RECORD\",\"WS_Avg\",\"WD_Avg\"\n"
    "\"TS\",\"RN\",\"m/s\",\"deg\"\n"
    "\"\",\"\",\"Avg\",\"Avg\"\n";

// A logger's ten-minute row.
std::string Row(const char* time, int record, const char* speed) {
    return std::string("\"") + time + "\"," + std::to_string(record) + "," + speed + ",180\n";
}

class SourceCommandTest : public testing::Test {
protected:
    void SetUp() override {
        VktHost::CloseHost();
        std::ofstream(m_host.Path("map.csv")) << "id,column,scale,offset\n7000,WS_Avg,1,0\n"
                                                 "7100,WD_Avg,1,0\n";
        std::ofstream(m_host.Path("mast1.dat")) << kHeader << Row("2009-03-12 15:00:00", 1, "5.5")
                                                << Row("2009-03-12 15:10:00", 2, "6.25");
    }

    ProgramRun Source(std::vector<std::string> args) {
        args.insert(args.begin(), "source");
        args.insert(args.begin() + 2, m_host.Dir());
        return RunHost(args, m_host.Path("source"));
    }

    TestHost m_host;
};

// A source whose map or target cannot work is refused, naming the map's line or what is
// wrong, and sources.json is not written.
TEST_F(SourceCommandTest, AddRefusesWhatCannotWorkNamingTheLine) {
    std::ofstream(m_host.Path("unknown.csv")) << "id,column\n7000,WS_Avg\n123,WD_Avg\n";
    std::ofstream(m_host.Path("nocolumn.csv")) << "id,column\n7000,WS_Max\n";
    std::ofstream(m_host.Path("modbus.csv")) << "id,area,address,type\n7000,holding,0,uint16\n";
    const std::string table = m_host.Path("mast1.dat"), map = m_host.Path("map.csv");
    const struct {
        std::vector<std::string> args;
        std::vector<const char*> expected;
    } cases[] = {
        {{"1", "table", table, "--map", m_host.Path("unknown.csv")}, {"line 3", "123"}},
        {{"1", "table", table, "--map", m_host.Path("nocolumn.csv")}, {"line 2", "WS_Max"}},
        {{"1", "table", m_host.Path("none.dat"), "--map", map}, {"none.dat"}},
        {{"1", "modbus", "localhost", "--map", m_host.Path("modbus.csv")}, {"not HOST:PORT"}},
        {{"1", "modbus", "127.0.0.1:502", "--map", m_host.Path("modbus.csv"), "--every", "7m"},
         {"--every must divide a day"}},
        {{"40", "table", table, "--map", map}, {"is not a tower"}},
        {{"77", "table", table, "--map", map}, {"no RTU 77"}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args{"add"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const ProgramRun run = Source(args);
        EXPECT_EQ(run.status, 1) << run.err;
        for (const char* text : c.expected)
            EXPECT_NE(run.err.find(text), std::string::npos) << run.err;
        EXPECT_FALSE(std::filesystem::exists(m_host.Path("sources.json")));
    }
}

// Added, listed, checked (the newest row as a --frames line), replaced and removed.
TEST_F(SourceCommandTest, ATableSourceFromAddToRemove) {
    ASSERT_EQ(Source({"add", "1", "table", m_host.Path("mast1.dat"), "--map", "map.csv"}).status,
              0);
    struct stat info {};
    ASSERT_EQ(stat(m_host.Path("sources.json").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_NE(Source({"list"}).out.find("RTU 1 table " + m_host.Path("mast1.dat")),
              std::string::npos);
    const ProgramRun check = Source({"check", "1"});
    ASSERT_EQ(check.status, 0) << check.err;
    std::string error;
    const auto frame = FrameFile::ParseLine(check.out, error);
    ASSERT_TRUE(frame) << check.out << error;
    EXPECT_EQ(frame->m_tTime.Format(), "2009-03-12 15:10:00");
    ASSERT_EQ(frame->m_arItems.size(), 2u);
    EXPECT_EQ(frame->m_arItems[0].m_nSensorID, 107000);
    EXPECT_FLOAT_EQ(frame->m_arItems[0].m_fValue, 6.25f);
    EXPECT_EQ(Source({"check", "2"}).status, 1);
    ASSERT_EQ(Source({"remove", "1"}).status, 0);
    EXPECT_NE(Source({"list"}).out.find("no sources"), std::string::npos);
    EXPECT_EQ(Source({"remove", "1"}).status, 1);
}

// A running host takes the rows its table gains, and a source added while it runs at its
// next pass; a stop signal ends it with everything stored.
TEST_F(SourceCommandTest, ARunTakesTheConfiguredTablesAndAChangeOfThem) {
    ASSERT_EQ(Source({"add", "1", "table", m_host.Path("mast1.dat"), "--map", "map.csv"}).status,
              0);
    std::ofstream(m_host.Path("mast2.dat")) << kHeader << Row("2009-03-12 15:00:00", 7, "3");
    const std::string accepted = m_host.Path("accepted.txt");
    auto acceptedLines = [&] {
        const std::string text = ReadWholeFile(accepted);
        return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
    };
    const ProgramRun run = RunHost(
        {"run", m_host.Dir(), "--sources", "--accepted", accepted, "--now", "2009-03-12 15:30",
         "--plugin", std::getenv("VKT_PLUGIN")},
        m_host.Path("run"), [&](pid_t child, const std::string&) {
            EXPECT_TRUE(WaitFor([&] { return acceptedLines() == 2; }));
            std::ofstream(m_host.Path("mast1.dat"), std::ios::app)
                << Row("2009-03-12 15:20:00", 3, "7");
            EXPECT_TRUE(WaitFor([&] { return acceptedLines() == 3; }));
            EXPECT_EQ(
                Source({"add", "2", "table", m_host.Path("mast2.dat"), "--map", "map.csv"}).status,
                0);
            EXPECT_TRUE(WaitFor([&] { return acceptedLines() == 4; }));
            kill(child, SIGTERM);
        });
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(ReadWholeFile(accepted),
              "1 2009-03-12 15:00:00\n1 2009-03-12 15:10:00\n1 2009-03-12 15:20:00\n"
              "2 2009-03-12 15:00:00\n");
    EXPECT_EQ(QueryFile(m_host.Path("backend.db"), "SELECT COUNT(*) FROM FD_RUN_RTTOWER"), "4");
}

// Two devices polled every second: one stopped mid-run gives no frame while it is away
// and is told once each way; the other loses no mark; the run ends 0.
TEST_F(SourceCommandTest, ADeviceStoppedMidRunGivesNoFrameAndHoldsUpNoOther) {
    TestModbusDevice flaky({"--holding", "0=55"}), steady({"--holding", "0=72"});
    std::ofstream(m_host.Path("registers.csv")) << "id,area,address,type,scale\n"
                                                   "7000,holding,0,uint16,0.1\n";
    for (const auto& [rtu, device] : {std::pair{"1", &flaky}, std::pair{"2", &steady}}) {
        const std::string address = "127.0.0.1:" + std::to_string(device->Port());
        ASSERT_EQ(Source({"add", rtu, "modbus", address, "--map", "registers.csv", "--every", "1s",
                          "--offset", "0s", "--timeout", "1s"})
                      .status,
                  0);
    }
    const ProgramRun check = Source({"check", "1"});
    std::string error;
    const auto frame = FrameFile::ParseLine(check.out, error);
    ASSERT_TRUE(frame && frame->m_arItems.size() == 1) << check.out << error;
    EXPECT_EQ(frame->m_arItems[0].m_nSensorID, 107000);
    EXPECT_FLOAT_EQ(frame->m_arItems[0].m_fValue, 5.5f);

    const std::string accepted = m_host.Path("accepted.txt");
    std::map<int, std::set<std::string>> marks;  // of each RTU's accepted frames
    auto readMarks = [&] {
        marks.clear();
        std::istringstream in(ReadWholeFile(accepted));
        int rtu = 0;
        for (std::string day, time; in >> rtu >> day >> time;) marks[rtu].insert(time);
        return marks;
    };
    std::string told;
    const int port = flaky.Port();
    const ProgramRun run =
        RunHost({"run", m_host.Dir(), "--sources", "--accepted", accepted, "--plugin",
                 std::getenv("VKT_PLUGIN")},
                m_host.Path("run"), [&](pid_t child, const std::string& out) {
                    EXPECT_TRUE(WaitFor([&] { return readMarks()[1].size() >= 2; }));
                    flaky.Kill();
                    EXPECT_TRUE(WaitFor([&] {
                        return ReadWholeFile(out).find("does not answer") != std::string::npos;
                    }));
                    const size_t during = readMarks()[2].size();
                    EXPECT_TRUE(WaitFor([&] { return readMarks()[2].size() >= during + 2; }));
                    flaky.Start(port);
                    EXPECT_TRUE(WaitFor([&] {
                        return ReadWholeFile(out).find("answers again") != std::string::npos;
                    }));
                    const size_t back = readMarks()[1].size();
                    EXPECT_TRUE(WaitFor([&] { return readMarks()[1].size() > back; }));
                    told = ReadWholeFile(out);
                    kill(child, SIGTERM);
                });
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    auto count = [&](const char* text) {
        size_t n = 0;
        for (size_t at = told.find(text); at != std::string::npos; at = told.find(text, at + 1))
            ++n;
        return n;
    };
    EXPECT_EQ(count("does not answer"), 1u) << told;
    EXPECT_EQ(count("answers again"), 1u) << told;
    readMarks();
    // Every second of the steady device's run is there; the stopped one misses some.
    const auto& all = marks[2];
    const int first = std::stoi(all.begin()->substr(6)), last = std::stoi(all.rbegin()->substr(6));
    EXPECT_GE((last - first + 60) % 60 + 1, static_cast<int>(all.size()));
    EXPECT_LT(marks[1].size(), all.size());
    for (const std::string& time : marks[1]) EXPECT_TRUE(all.count(time)) << time;
}

}  // namespace
