// Logger table files in the TOA5 layout, followed as a logger writes them.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "host/TableFile.h"
#include "tests/support/TestHost.h"

namespace {

namespace fs = std::filesystem;

// Wind speed (scaled), direction, and an hourly temperature.
const std::vector<CMapEntry> kMap = {
    {.id = 7000, .column = "WS_Avg", .scale = 2, .offset = 1, .line = 2},
    {.id = 7100, .column = "WD_Avg", .line = 3},
    {.id = 7200, .column = "T_Avg", .kind = SourceMap::kHourlyKind, .line = 4},
};

// The four header lines a logger writes for these fields (after TIMESTAMP and RECORD).
std::string Header(const std::string& fields) {
    std::string names = "\"TIMESTAMP\",\"RECORD\"";
    for (size_t at = 0, comma; at <= fields.size(); at = comma + 1) {
        comma = std::min(fields.find(',', at), fields.size());
        names += ",\"" + fields.substr(at, comma - at) + "\"";
    }
    return "\"TOA5\",\"T7\",\"CR1000\",\"1234\",\"CR1000.Std.32\",\"CPU:p.CR1\",\"1\",\"Ten\"\r\n" +
           names + "\r\n\"TS\",\"RN\",\"m/s\"\r\n\"\",\"\",\"Avg\"\r\n";
}

std::string Row(const std::string& time, const std::string& values) {
    return "\"" + time + "\",1," + values + "\r\n";
}

void Append(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::app | std::ios::binary) << text;
}

std::string Describe(const CDataFrame& frame) {
    std::string text = frame.m_tTime.Format("%H:%M:%S");
    for (const CDataItem& item : frame.m_arItems) {
        EXPECT_EQ(item.m_nSensorID, 700000 + item.m_nDataID);
        EXPECT_EQ(item.m_tTime, frame.m_tTime);
        char value[64];
        std::snprintf(value, sizeof value, " %s%d=%g", item.m_nKind == 8 ? "h" : "", item.m_nDataID,
                      item.m_fValue);
        text += value;
    }
    return text;
}

// What a few turns of a feed bring, every frame accepted: "line N HH:MM:SS id=value…"
// for a frame, "line N: reason" for a bad line, in order.
std::vector<std::string> Take(CLiveSource& source, std::vector<std::string>* notes = nullptr) {
    std::vector<std::string> taken, errors, seen;
    CLiveFeed feed(
        source,
        [&](const CDataFrame& frame, const std::string& place, bool) {
            EXPECT_EQ(frame.m_nRTUID, 7);
            taken.push_back(place + " " + Describe(frame));
            return FrameOutcome{};
        },
        0);
    for (int turn = 0; turn < 3; ++turn) feed.Turn(0, errors, notes ? *notes : seen);
    taken.insert(taken.end(), errors.begin(), errors.end());
    return taken;
}

std::unique_ptr<CLiveSource> Follow(const std::string& path, const std::string& registry = "") {
    std::string error;
    auto source = TableFile::Follow({7, path, kMap}, registry, error);
    EXPECT_TRUE(source) << error;
    return source;
}

// Each row alone after a good header: its frame, its error, or nothing.
TEST(TableFileTest, RowsBecomeFramesOfTheMapsValues) {
    TestHost host;
    const struct {
        std::string row;
        const char* expected;  // "" for nothing
    } cases[] = {
        {Row("2026-12-10 09:30:00", "5.5,182.4,3"), " 09:30:00 7000=12 7100=182.4"},
        {Row("2026-12-10 10:00:00", "\"NAN\",,-1.5"), " 10:00:00 h7200=-1.5"},
        {Row("2026-12-10 10:10:00", "NAN,-INF,7"), ""},
        {Row("2026-12-10 10:20", "INF,1e2,7"), " 10:20:00 7100=100"},
        {Row("2026-12-10 10:30:00.000", "0,1,7"), " 10:30:00 7000=1 7100=1"},
        {Row("2026-12-10 10:30:00.5", "0,1,7"), ": the time \"2026-12-10 10:30:00.5\" has a"},
        {Row("2026-02-30 10:40:00", "0,1,7"), ": the time \"2026-02-30 10:40:00\" is not a"},
        {Row("2026-12-10T10:50:00", "0,1,7"), ": the time \"2026-12-10T10:50:00\" is not a"},
        {Row("2026-12-10 11:00:00", "0,1"), ": the row has 4 fields, the table's header"},
        {Row("2026-12-10 11:10:00", "abc,1,7"), ": column WS_Avg holds \"abc\", not a value"},
        {Row("2026-12-10 11:20:00", "1e300,1,7"), ": column WS_Avg holds \"1e300\""},
        {"\"2026-12-10 11:30:00\",1,\"4\",\"5\",\"6\"\r\n", " 11:30:00 7000=9 7100=5"},
    };
    const std::string path = host.Path("t.dat");
    Append(path, Header("WS_Avg,WD_Avg,T_Avg"));
    for (const auto& c : cases) Append(path, c.row);
    const std::vector<std::string> taken = Take(*Follow(path));
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].row);
        const std::string line = "line " + std::to_string(i + 5), expected = cases[i].expected;
        std::string got;  // the line's last outcome: its error when it has one
        for (const std::string& one : taken) {
            if (one.rfind(line, 0) == 0 && one.find_first_of(" :", line.size()) == line.size()) {
                got = one.substr(line.size());
            }
        }
        const bool error = !expected.empty() && expected[0] == ':';
        EXPECT_EQ(error ? got.substr(0, expected.size()) : got, expected);
    }
}

// A new logger program writes a new header mid-file: its columns are found again (here
// in another order); while a header lacks a map column its rows are reported, not
// guessed; a good header again resumes. A restart in the middle recalls the header.
TEST(TableFileTest, AHeaderMidFileIsCheckedAgain) {
    TestHost host;
    const std::string path = host.Path("t.dat"), registry = host.Path("pos.json");
    Append(path, Header("WS_Avg,WD_Avg,T_Avg") + Row("2026-12-10 09:00:00", "1,2,3") +
                     Header("T_Avg,WD_Avg,WS_Avg,Extra") + Row("2026-12-10 09:10:00", "3,2,1,0"));
    std::vector<std::string> notes;
    EXPECT_EQ(Take(*Follow(path, registry), &notes),
              (std::vector<std::string>{"line 5 09:00:00 7000=3 7100=2 h7200=3",
                                        "line 10 09:10:00 7000=3 7100=2"}));
    ASSERT_EQ(notes.size(), 2u);
    EXPECT_NE(notes[1].find("a new header at line 6 (the logger's program changed): it has every"),
              std::string::npos)
        << notes[1];
    Append(path, Row("2026-12-10 09:20:00", "3,2,4,0") + Header("T_Avg,WD_Avg") +
                     Row("2026-12-10 09:30:00", "3,2") + Header("WS_Avg,WD_Avg,T_Avg") +
                     Row("2026-12-10 09:40:00", "4,5,6"));
    notes.clear();
    EXPECT_EQ(Take(*Follow(path, registry), &notes),
              (std::vector<std::string>{
                  "line 11 09:20:00 7000=9 7100=2", "line 21 09:40:00 7000=9 7100=5",
                  "line 16: the table's header (line 12) lacks column WS_Avg that the map "
                  "names (map line 2)"}));
    ASSERT_EQ(notes.size(), 3u);
    EXPECT_NE(notes[1].find("line 12 (the logger's program changed): the table's header (line 12) "
                            "lacks column WS_Avg that the map names (map line 2); its rows are "
                            "skipped until a header that has it"),
              std::string::npos)
        << notes[1];
}

// Rows the logger wrote while the host was down are taken at the restart, each once,
// whether the file grew, a row came in two parts, or the file was rotated by rename.
TEST(TableFileTest, ARestartOrARotationTakesEveryRowOnce) {
    TestHost host;
    const struct {
        const char* name;
        bool restart;  // the host stops before the logger writes on
        bool rename;
    } cases[] = {
        {"running", false, false},
        {"restarted", true, false},
        {"rotated", false, true},
        {"rotated while down", true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::create_directory(host.Path(c.name));
        const std::string path = host.Path(std::string(c.name) + "/t.dat");
        const std::string registry = host.Path(std::string(c.name) + "/pos.json");
        const std::string third = Row("2026-12-10 09:20:00", "3,3,3");
        Append(path, Header("WS_Avg,WD_Avg,T_Avg") + Row("2026-12-10 09:00:00", "1,1,1") +
                         Row("2026-12-10 09:10:00", "2,2,2") + third.substr(0, 12));
        auto source = Follow(path, registry);
        std::vector<std::string> taken = Take(*source);
        if (c.restart) source.reset();
        Append(path, third.substr(12));
        if (c.rename) fs::rename(path, path + ".1");
        Append(path, (c.rename ? Header("WS_Avg,WD_Avg,T_Avg") : "") +
                         Row("2026-12-10 09:30:00", "4,4,4"));
        if (!source) source = Follow(path, registry);
        for (const std::string& one : Take(*source)) taken.push_back(one);
        EXPECT_EQ(taken.size(), 4u);
        for (size_t i = 0; i < taken.size(); ++i) {
            EXPECT_NE(
                taken[i].find("09:" + std::to_string(i) + "0:00 7000=" + std::to_string(2 * i + 3)),
                std::string::npos)
                << taken[i];
        }
    }
}

// Follow refuses a table it cannot read rows of; LastFrame shows the newest row.
TEST(TableFileTest, ATableThatCannotBeReadIsRefused) {
    TestHost host;
    const struct {
        const char* text;  // nullptr: no file
        const char* error;
    } cases[] = {
        {nullptr, "cannot open"},
        {"TIMESTAMP,RECORD,WS_Avg\n", "is not a table in the TOA5 layout"},
        {"\"TOA5\"\n\"TIMESTAMP\",\"WS_Avg\",\"WD_Avg\"\n", "lacks column T_Avg"},
        {"\"TOA5\"\n\"RECORD\",\"WS_Avg\",\"WD_Avg\",\"T_Avg\"\n", "has no TIMESTAMP field"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.error);
        const std::string path = host.Path("t.dat");
        fs::remove(path);
        if (c.text) Append(path, c.text);
        std::string error;
        EXPECT_FALSE(TableFile::Follow({7, path, kMap}, "", error));
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }
    const std::string path = host.Path("last.dat");
    Append(path, Header("WS_Avg,WD_Avg,T_Avg") + Row("2026-12-10 09:00:00", "1,1,1") +
                     Row("2026-12-10 09:10:00", "NAN,NAN,NAN") + "\"2026-12-10 09:2");
    std::string error;
    const auto last = TableFile::LastFrame({7, path, kMap}, error);
    ASSERT_TRUE(last) << error;
    EXPECT_EQ(Describe(*last), "09:10:00") << "the newest whole row, without values";
    EXPECT_EQ(TableFile::ReadFields(path, error)->at(2), "WS_Avg");
}

}  // namespace
