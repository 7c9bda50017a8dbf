// odbc.ini: when registering a data source writes the file, and what a write keeps.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/OdbcHandles.h"
#include "platform/OdbcIni.h"
#include "platform/System.h"
#include "tests/support/FileSizeLimit.h"
#include "tests/support/TestHost.h"

namespace {

const OdbcIni::DataSource kStation = OdbcIni::DataSourceOf(
    "SQLite3", {{"DSN", "WP_1"}, {"Database", "/h/WP_1.MDB"}, {"JournalMode", "WAL"}});

TEST(OdbcIniTextTest, ASectionHoldsTheDataSourceOnlyWithTheSameDriverKeysAndValues) {
    struct Case {
        const char* what;
        std::string text;
        bool holds;
    };
    const std::string davad = "[DAVAD]\nDriver=SQLite3\nDatabase=/h/backend.db\n\n";
    const Case cases[] = {
        {"as written", "[WP_1]\nDriver=SQLite3\nDatabase=/h/WP_1.MDB\nJournalMode=WAL\n", true},
        {"names in other cases, spaces, CR LF, a comment",
         davad + "[wp_1]\r\n  DRIVER = SQLite3\r\n# made by hand\r\ndatabase\t= /h/WP_1.MDB \r\n"
                 "journalmode=WAL",
         true},
        {"another section between the keys' section and the end",
         "[WP_1]\nDriver=SQLite3\nDatabase=/h/WP_1.MDB\nJournalMode=WAL\n" + davad, true},
        {"no section", davad, false},
        {"only a section whose name starts the same",
         "[WP_10]\nDriver=SQLite3\nDatabase=/h/WP_1.MDB\nJournalMode=WAL\n", false},
        {"a key missing", "[WP_1]\nDriver=SQLite3\nDatabase=/h/WP_1.MDB\n", false},
        {"a key more",
         "[WP_1]\nDriver=SQLite3\nDatabase=/h/WP_1.MDB\nJournalMode=WAL\nTimeout=10\n", false},
        {"a key without a value sign",
         "[WP_1]\nDriver=SQLite3\nDatabase=/h/WP_1.MDB\nJournalMode=WAL\nTimeout\n", false},
        {"another driver", "[WP_1]\nDriver=SQLite\nDatabase=/h/WP_1.MDB\nJournalMode=WAL\n", false},
        {"a value in another case",
         "[WP_1]\nDriver=SQLite3\nDatabase=/h/wp_1.mdb\nJournalMode=WAL\n", false},
        {"an empty file left by a killed writer", "", false},
        {"the section twice",
         "[WP_1]\nDriver=SQLite3\nDatabase=/h/WP_1.MDB\nJournalMode=WAL\n[wp_1]\nDriver=x\n",
         false},
        {"a key twice",
         "[WP_1]\nDriver=SQLite3\nDatabase=/h/WP_1.MDB\nJournalMode=WAL\nDATABASE=/h/WP_1.MDB\n",
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(OdbcIni::Holds(c.text, kStation), c.holds);
        // Whatever the file held, the section written in its place holds the source.
        EXPECT_TRUE(OdbcIni::Holds(OdbcIni::WithDataSource(c.text, kStation), kStation));
    }
}

TEST(OdbcIniTextTest, ReplacingASectionKeepsEveryOtherLineByteForByte) {
    const std::string before =
        "; written by the host\r\n"
        "[DAVAD]\r\n"
        "Driver = SQLite3\r\n"
        "Database=/h/backend.db\r\n"
        "\r\n"
        "[wp_1]\n"
        "Driver=SQLite\n"
        "# about the next section\n"
        "\n"
        "[ODBC]\n"
        "Trace=No\n"
        "[WP_1]\n"
        "Database=/old";
    const std::string kept =
        "; written by the host\r\n"
        "[DAVAD]\r\n"
        "Driver = SQLite3\r\n"
        "Database=/h/backend.db\r\n"
        "\r\n"
        "# about the next section\n"
        "[ODBC]\n"
        "Trace=No\n";
    EXPECT_EQ(OdbcIni::WithoutSection(before, "WP_1"), kept);
    const std::string section = "[WP_1]\nDriver=SQLite3\nDatabase=/h/WP_1.MDB\nJournalMode=WAL\n";
    const std::string written = OdbcIni::WithDataSource(before, kStation);
    EXPECT_EQ(written, kept + "\n" + section);
    // Written again and again, the file stays the same: no blank lines pile up.
    EXPECT_EQ(OdbcIni::WithDataSource(written, kStation), written);
    EXPECT_EQ(OdbcIni::WithDataSource("", kStation), section);
    EXPECT_EQ(OdbcIni::WithDataSource("[DAVAD]\nDriver=SQLite3", kStation),
              "[DAVAD]\nDriver=SQLite3\n\n" + section);
}

TEST(OdbcIniTextTest, OnlyWhatOneSectionCanHoldIsWritten) {
    struct Case {
        const char* what;
        OdbcIni::Pairs attributes;
        bool writable;
    };
    const Case cases[] = {
        {"plain", {{"DSN", "WP_1"}, {"Database", "/h/a;b {c} 中文.MDB"}}, true},
        {"a line break in a value", {{"DSN", "WP_1"}, {"Database", "/h\nDriver=/tmp/x.so"}}, false},
        {"a CR in a value", {{"DSN", "WP_1"}, {"Database", "/h\r"}}, false},
        {"a tab in a value", {{"DSN", "WP_1"}, {"Database", "/h\tx"}}, false},
        {"DEL in a value", {{"DSN", "WP_1"}, {"Database", "/h\x7F"}}, false},
        {"ESC in a key", {{"DSN", "WP_1"}, {"Data\x1B", "x"}}, false},
        {"a line break in the name", {{"DSN", "WP_1]\n[DAVAD"}}, false},
        {"a bracket closing the name early", {{"DSN", "WP]1"}}, false},
        {"no name", {{"Database", "/h/x"}}, false},
        {"a key opening a section", {{"DSN", "WP_1"}, {"[DAVAD", "x"}}, false},
        {"a key read as a comment", {{"DSN", "WP_1"}, {"#Database", "x"}}, false},
        {"an empty key", {{"DSN", "WP_1"}, {" ", "x"}}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(OdbcIni::CanWrite(OdbcIni::DataSourceOf("SQLite3", c.attributes)), c.writable);
    }
    EXPECT_FALSE(OdbcIni::CanWrite(OdbcIni::DataSourceOf("SQLite3\n[x]", {{"DSN", "WP_1"}})));

    // A key given twice keeps its last value in the place of its first; spaces around a
    // name or value go, as they would on reading.
    const OdbcIni::DataSource source = OdbcIni::DataSourceOf(
        "SQLite3",
        {{"dsn", " WP_1 "}, {"Database", "/a"}, {"Timeout", "5"}, {"DATABASE ", " /b "}});
    EXPECT_EQ(source.name, "WP_1");
    EXPECT_EQ(source.keys,
              (OdbcIni::Pairs{{"Driver", "SQLite3"}, {"Database", "/b"}, {"Timeout", "5"}}));
}

// Registration through the installer and the host's setup library, as the plug-in
// registers its stations.
class OdbcIniRegistrationTest : public ::testing::Test {
protected:
    std::string IniPath() const { return System::OdbcFolder() + "/odbc.ini"; }
    std::string Ini() const { return ReadWholeFile(IniPath()); }
    std::optional<System::FileIdentity> Identity() const { return System::IdentityOf(IniPath()); }
    std::set<std::string> OdbcFolderEntries() const {
        std::set<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(host.Path("odbc"))) {
            names.insert(entry.path().filename().string());
        }
        return names;
    }
    bool Register(const std::string& dsn, const std::vector<std::string>& keys,
                  const std::string& driver = "SQLite3") {
        std::vector<std::string> attributes{"DSN=" + dsn};
        attributes.insert(attributes.end(), keys.begin(), keys.end());
        return Odbc::RegisterSystemDataSource(driver, attributes);
    }
    std::string StationFile(int rtu) const {
        return System::DriverPath(host.Path("WP_" + std::to_string(rtu) + ".MDB"));
    }

    TestHost host;
};

TEST_F(OdbcIniRegistrationTest, TheFileIsWrittenOnlyWhenTheDataSourceIsMissingOrDiffers) {
    ASSERT_TRUE(Register("WP_2", {"Database=" + StationFile(2)}));
    // Lines of the file's owner, which every write keeps.
    std::ofstream(IniPath(), std::ios::binary | std::ios::app) << "\n# kept\n[ODBC]\nTrace=No\n\n";
    const std::string others = OdbcIni::WithoutSection(Ini(), "WP_1");

    struct Step {
        const char* what;
        std::optional<std::string> byHand;  // the whole file, put there before registering
        std::vector<std::string> keys;
        bool writes;
    };
    const std::string database = "Database=" + StationFile(1);
    const Step steps[] = {
        {"missing", std::nullopt, {database, "JournalMode=WAL"}, true},
        {"the same again", std::nullopt, {database, "JournalMode=WAL"}, false},
        {"key names in another case",
         std::nullopt,
         {"DATABASE=" + StationFile(1), "journalmode=WAL"},
         false},
        {"a value changed", std::nullopt, {database, "JournalMode=DELETE"}, true},
        {"a key more", std::nullopt, {database, "JournalMode=DELETE", "Timeout=10000"}, true},
        {"a key fewer", std::nullopt, {database, "JournalMode=DELETE"}, true},
        {"a section written by hand, in other cases and spacing",
         others + "[wp_1]\n  driver = SQLite3\n" + database + "\t\nJOURNALMODE = DELETE\n",
         {database, "JournalMode=DELETE"},
         false},
        {"the file naming another driver",
         others + "[WP_1]\nDriver=SQLite\n" + database + "\nJournalMode=DELETE\n",
         {database, "JournalMode=DELETE"},
         true},
        {"a file emptied by a writer killed in place", "", {database}, true},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        if (step.byHand) std::ofstream(IniPath(), std::ios::binary) << *step.byHand;
        const std::string before = Ini();
        const auto identity = Identity();
        ASSERT_TRUE(identity);
        ASSERT_TRUE(Register("WP_1", step.keys));
        const std::string after = Ini();
        EXPECT_EQ(Identity() != identity, step.writes) << "a write replaces the file";
        if (!step.writes) {
            EXPECT_EQ(after, before);
        }
        // Every other section and comment stays as it was.
        if (!before.empty()) {
            EXPECT_EQ(OdbcIni::WithoutSection(after, "WP_1"), others);
        }
        EXPECT_EQ(OdbcFolderEntries(), (std::set<std::string>{"odbc.ini", "odbcinst.ini"}));
    }
    // The driver manager finds the data source the file now holds.
    EXPECT_EQ(QueryDataSource("WP_1", "SELECT 41 + 1"), "42");
}

TEST_F(OdbcIniRegistrationTest, ARegistrationThatCannotBeWrittenFailsAndLeavesTheFile) {
    ASSERT_TRUE(Register("WP_2", {"Database=" + StationFile(2)}));
    struct Case {
        const char* what;
        std::vector<std::string> keys;
        bool diskFull;  // no room for the new file's last bytes
    };
    const Case cases[] = {
        {"the disk fills half way", {"Database=" + StationFile(1)}, true},
        {"a line break in a value",
         {"Database=" + StationFile(1) + "\nDriver=/tmp/evil.so"},
         false},
        {"a line break after a value", {"Database=" + StationFile(1), "Timeout=1\n"}, false},
        {"a line break in a key", {"Database=" + StationFile(1), "\n[DAVAD]\nX=1"}, false},
        {"DEL in a value", {"Database=" + StationFile(1) + "\x7F"}, false},
    };
    const std::string before = Ini();
    const auto identity = Identity();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        {
            std::optional<FileSizeLimit> limit;
            if (c.diskFull && !limit.emplace(before.size() + 8).set) {
                if (kOnWindows) continue;  // no file size limit to lower there
                FAIL() << "cannot lower the file size limit";
            }
            EXPECT_FALSE(Register("WP_1", c.keys));
        }
        EXPECT_EQ(Ini(), before);
        EXPECT_EQ(Identity(), identity);
        EXPECT_EQ(OdbcFolderEntries(), (std::set<std::string>{"odbc.ini", "odbcinst.ini"}));
    }
    EXPECT_FALSE(Register("WP_1]\n[DAVAD", {"Database=" + StationFile(1)}));
    EXPECT_FALSE(Register("WP_1", {"Database=" + StationFile(1)}, "SQLite3\nDatabase=/x"));
    EXPECT_EQ(Ini(), before);
    // With room again, the same registration goes through.
    EXPECT_TRUE(Register("WP_1", {"Database=" + StationFile(1)}));
    EXPECT_TRUE(OdbcIni::Holds(
        Ini(), OdbcIni::DataSourceOf("SQLite3", {{"DSN", "WP_1"}, {"Database", StationFile(1)}})));
}

}  // namespace
