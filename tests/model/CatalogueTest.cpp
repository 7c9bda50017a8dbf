#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "model/Catalogue.h"

namespace {

std::string LevelName(int level, const std::string& suffix) {
    std::string name(1, 'V');
    name += static_cast<char>('0' + level);
    return name + suffix;
}

class CatalogueTest : public ::testing::Test {
protected:
    void SetUp() override { BuildCatalogue(); }
    void TearDown() override { FreeCatalogue(); }
};

// Every id the catalogue knows, found by asking for each id of the range in use.
std::map<int32_t, std::string> AllEntries() {
    std::map<int32_t, std::string> entries;
    for (int32_t id = -10; id <= 20000; ++id) {
        std::string name = GetColumnName(id);
        if (!name.empty()) entries[id] = std::move(name);
    }
    return entries;
}

std::vector<std::string> Names(const std::vector<ColumnDef>& columns) {
    std::vector<std::string> names;
    for (const ColumnDef& c : columns) names.push_back(c.name);
    return names;
}

std::vector<std::string> LevelNames(const std::vector<std::string>& suffixes) {
    std::vector<std::string> names;
    for (int level = 1; level <= 7; ++level) {
        for (const std::string& suffix : suffixes) {
            names.push_back(LevelName(level, suffix));
        }
    }
    return names;
}

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

struct SqlColumn {
    std::string name;
    std::string type;  // upper case, as written
};

// The column lines of "CREATE TABLE <table> ( ... );" in a backend script, without
// the primary-key clause.
std::vector<SqlColumn> TableColumns(const std::string& script, const std::string& table) {
    std::vector<SqlColumn> columns;
    std::istringstream in(script);
    std::string line;
    bool inside = false;
    while (std::getline(in, line)) {
        const std::string upper = Upper(line);
        if (!inside) {
            for (const std::string head : {"CREATE TABLE ", "CREATE TABLE IF NOT EXISTS "}) {
                inside = inside || upper.find(head + table + " ") != std::string::npos ||
                         upper.find(head + table + "(") != std::string::npos;
            }
            continue;
        }
        if (upper.find(");") != std::string::npos) break;
        std::istringstream words(upper);
        std::string name;
        words >> name;
        if (name.empty() || name == "PRIMARY" || name.rfind("--", 0) == 0) continue;
        std::string type, word;
        while (words >> word) type += (type.empty() ? "" : " ") + word;
        if (!type.empty() && type.back() == ',') type.pop_back();
        columns.push_back({name, type});
    }
    return columns;
}

std::string ReadScript(const std::string& relative) {
    const std::string path = std::string(VKT_SOURCE_DIR) + "/" + relative;
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

const std::vector<std::string> kTenMinuteLevelSuffixes = {
    "AVGSP", "AVGDIR", "STANDARD", "SP",     "DIR",
    "MSTSP", "LSTSP",  "MSTDIR",   "LSTDIR", "STANDARDDIR"};
const std::vector<std::string> kHourlyLevelSuffixes = {"AVGSP", "AVGDIR", "MAXSP", "MAXDIR",
                                                       "MAXTM"};

}  // namespace

// --- Lookup ------------------------------------------------------------------------

TEST_F(CatalogueTest, HoldsExactly119Entries) {
    EXPECT_EQ(CatalogueSize(), 119u);
    EXPECT_EQ(AllEntries().size(), 119u);
}

TEST_F(CatalogueTest, IdsThatAreNotStoredHaveNoColumn) {
    EXPECT_EQ(GetColumnName(2000), "");  // packet count: registered, never stored
    EXPECT_EQ(GetColumnName(9900), "");
    EXPECT_EQ(GetColumnName(0), "");
    EXPECT_EQ(GetColumnName(-1), "");
    EXPECT_EQ(GetColumnName(2906), "");
    EXPECT_EQ(GetColumnName(3001), "");
    EXPECT_EQ(GetColumnName(9400), "");  // 9300 + 700 is a time column, 9400 is nothing
}

TEST_F(CatalogueTest, DerivedAndSingleIds) {
    EXPECT_EQ(GetColumnName(9303 + kExtremeTimeOffset), "V4MAXTM");
    EXPECT_EQ(GetColumnName(kRainID), "RAIN");
    EXPECT_EQ(GetColumnName(101), "RAIN");
    EXPECT_EQ(GetColumnName(kCycleID), "CYCLE");
    EXPECT_EQ(GetColumnName(100), "CYCLE");
    EXPECT_EQ(GetColumnName(8000), "VMAXTEMP");
    EXPECT_EQ(GetColumnName(8100), "VMAXHUM");
    EXPECT_EQ(GetColumnName(8200), "V1TEMP");
    EXPECT_EQ(GetColumnName(8300), "V1HUM");
    EXPECT_EQ(GetColumnName(2300), "PRESSURE");
    EXPECT_EQ(GetColumnName(2900), "QX1");
    EXPECT_EQ(GetColumnName(2905), "QX6");
    EXPECT_EQ(GetColumnName(3000), "QX7");
}

// In a wind id the last two digits are the level minus 1, and the column carries the
// level after the V; a ten-minute id and its hourly one share the column, and the ids
// end at level seven.
TEST_F(CatalogueTest, EveryWindIdMapsToItsLevelsColumn) {
    const std::vector<std::pair<int32_t, std::string>> groups = {
        {7000, "AVGSP"},  {7100, "AVGDIR"},      {7200, "STANDARD"}, {7300, "SP"},
        {7400, "DIR"},    {7500, "MSTSP"},       {7600, "LSTSP"},    {7700, "MSTDIR"},
        {7800, "LSTDIR"}, {7900, "STANDARDDIR"}, {9000, "AVGSP"},    {9100, "AVGDIR"},
        {9200, "MAXSP"},  {9300, "MAXDIR"},      {10000, "MAXTM"}};
    for (const auto& [base, suffix] : groups) {
        for (int level = 1; level <= kLevels; ++level) {
            EXPECT_EQ(GetColumnName(base + level - 1), LevelName(level, suffix))
                << base + level - 1;
        }
        EXPECT_EQ(GetColumnName(base + kLevels), "") << base + kLevels;
    }
}

TEST_F(CatalogueTest, RebuildKeepsTheSameEntriesAndFreeEmptiesIt) {
    const auto before = AllEntries();
    BuildCatalogue();
    EXPECT_EQ(CatalogueSize(), 119u);
    EXPECT_EQ(AllEntries(), before);
    FreeCatalogue();
    EXPECT_EQ(CatalogueSize(), 0u);
    EXPECT_EQ(GetColumnName(7000), "");
}

// --- Column sets -------------------------------------------------------------------

TEST(CatalogueColumns, TenMinuteSetInTableOrder) {
    std::vector<std::string> expected = LevelNames(kTenMinuteLevelSuffixes);
    for (const char* name :
         {"V1TEMP", "V1HUM", "VMAXTEMP", "VMAXHUM", "PRESSURE", "RAIN", "CYCLE", "QX1", "QX2",
          "QX3", "QX4", "QX5", "QX6", "QX7", "QX8", "QX9", "QX10"}) {
        expected.push_back(name);
    }
    ASSERT_EQ(expected.size(), 87u);
    EXPECT_EQ(Names(TenMinuteColumns()), expected);
    const std::vector<std::string> levelOne = {"V1AVGSP",  "V1AVGDIR",     "V1STANDARD", "V1SP",
                                               "V1DIR",    "V1MSTSP",      "V1LSTSP",    "V1MSTDIR",
                                               "V1LSTDIR", "V1STANDARDDIR"};
    EXPECT_TRUE(std::equal(levelOne.begin(), levelOne.end(), TenMinuteColumns().begin(),
                           [](const std::string& n, const ColumnDef& c) { return n == c.name; }));
    for (const ColumnDef& c : TenMinuteColumns()) {
        EXPECT_EQ(c.kind, ColumnKind::Value) << c.name;
    }
}

TEST(CatalogueColumns, HourlySetInTableOrderWithTimeColumns) {
    EXPECT_EQ(Names(HourlyColumns()), LevelNames(kHourlyLevelSuffixes));
    ASSERT_EQ(HourlyColumns().size(), 35u);
    for (const ColumnDef& c : HourlyColumns()) {
        const bool isTime = c.name.size() > 5 && c.name.compare(c.name.size() - 5, 5, "MAXTM") == 0;
        EXPECT_EQ(c.kind, isTime ? ColumnKind::Time : ColumnKind::Value) << c.name;
    }
    EXPECT_EQ(HourlyColumns()[4].name, "V1MAXTM");
    EXPECT_EQ(HourlyColumns()[30].name, "V7AVGSP");
}

TEST(CatalogueColumns, SetsDoNotRepeatAName) {
    for (const auto* columns : {&TenMinuteColumns(), &HourlyColumns()}) {
        const std::vector<std::string> names = Names(*columns);
        EXPECT_EQ(std::set<std::string>(names.begin(), names.end()).size(), names.size());
    }
}

// Ids below 9000 fill 10-minute columns, the others hourly columns; together the
// catalogue reaches every column of both sets except QX8 to QX10, which no id feeds.
TEST_F(CatalogueTest, IdsFallIntoTheSetTheirRangeNames) {
    const auto tenMinuteNames = Names(TenMinuteColumns());
    const auto hourlyNames = Names(HourlyColumns());
    const std::set<std::string> tenMinute(tenMinuteNames.begin(), tenMinuteNames.end());
    const std::set<std::string> hourly(hourlyNames.begin(), hourlyNames.end());

    std::set<std::string> reachedTenMinute, reachedHourly;
    for (const auto& [id, name] : AllEntries()) {
        if (id < kFirstHourlyID) {
            EXPECT_TRUE(tenMinute.count(name)) << id << " " << name;
            reachedTenMinute.insert(name);
        } else {
            EXPECT_TRUE(hourly.count(name)) << id << " " << name;
            reachedHourly.insert(name);
        }
    }
    EXPECT_EQ(reachedHourly, hourly);
    std::set<std::string> unfed;
    std::set_difference(tenMinute.begin(), tenMinute.end(), reachedTenMinute.begin(),
                        reachedTenMinute.end(), std::inserter(unfed, unfed.end()));
    EXPECT_EQ(unfed, (std::set<std::string>{"QX8", "QX9", "QX10"}));
    EXPECT_EQ(reachedTenMinute.size(), 84u);  // one id per column: no name taken twice
}

// --- Backend scripts ---------------------------------------------------------------

class BackendScriptTest : public ::testing::TestWithParam<const char*> {};

TEST_P(BackendScriptTest, TenMinuteTableHasTheKeysAndTheTenMinuteSet) {
    const std::string script = ReadScript(GetParam());
    ASSERT_FALSE(script.empty()) << "cannot read " << GetParam();
    const std::vector<SqlColumn> columns = TableColumns(script, "FD_RUN_RTTOWER");
    std::vector<std::string> names;
    for (const SqlColumn& c : columns) names.push_back(c.name);

    std::vector<std::string> expected = {"TOWERID", "TIME"};
    for (const std::string& n : Names(TenMinuteColumns())) expected.push_back(n);
    EXPECT_EQ(names, expected);
    for (const SqlColumn& c : columns) {
        if (c.name == "TOWERID" || c.name == "TIME") continue;
        EXPECT_TRUE(c.type == "FLOAT" || c.type == "DOUBLE PRECISION") << c.name << " " << c.type;
    }
}

TEST_P(BackendScriptTest, HourlyTableHasTheKeysAndTheHourlySet) {
    const std::string script = ReadScript(GetParam());
    ASSERT_FALSE(script.empty()) << "cannot read " << GetParam();
    const std::vector<SqlColumn> columns = TableColumns(script, "FD_RUN_TOWERHIS");
    std::vector<std::string> names;
    for (const SqlColumn& c : columns) names.push_back(c.name);

    std::vector<std::string> expected = {"TOWERID", "TIME", "TYPE"};
    for (const std::string& n : Names(HourlyColumns())) expected.push_back(n);
    EXPECT_EQ(names, expected);

    std::map<std::string, ColumnKind> kinds;
    for (const ColumnDef& c : HourlyColumns()) kinds[c.name] = c.kind;
    for (const SqlColumn& c : columns) {
        auto it = kinds.find(c.name);
        if (it == kinds.end()) continue;
        if (it->second == ColumnKind::Time) {
            EXPECT_TRUE(c.type == "DATETIME" || c.type == "TIMESTAMP") << c.name << " " << c.type;
        } else {
            EXPECT_TRUE(c.type == "FLOAT" || c.type == "DOUBLE PRECISION")
                << c.name << " " << c.type;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Products, BackendScriptTest,
                         ::testing::Values("sql/sqlite/backend.sql", "sql/postgresql/backend.sql"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             return std::string(info.index == 0 ? "SQLite" : "PostgreSQL");
                         });
