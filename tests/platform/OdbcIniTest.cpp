// odbc.ini: when registering a data source writes the file, and what a write keeps.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "platform/OdbcHandles.h"
#include "platform/OdbcIni.h"
#include "platform/System.h"
#include "tests/support/FileSizeLimit.h"
#include "tests/support/TestHost.h"

namespace {

const OdbcIni::DataSource kStation = OdbcIni::DataSourceOf(
    "SQLite3", {{"DSN", "WP_1"}, {"Database", "/h/WP_1.MDB"}, {"JournalMode", "WAL"}});
const std::string kSection = "[WP_1]\nDriver=SQLite3\nDatabase=/h/WP_1.MDB\nJournalMode=WAL\n";

// The data source that registering the attributes ("KEY=value") makes.
OdbcIni::DataSource SourceOf(const std::vector<std::string>& attributes,
                             const std::string& driver = "SQLite3") {
    OdbcIni::Pairs pairs;
    for (const std::string& a : attributes) {
        pairs.emplace_back(a.substr(0, a.find('=')), a.substr(a.find('=') + 1));
    }
    return OdbcIni::DataSourceOf(driver, pairs);
}

TEST(OdbcIniTextTest, ASectionHoldsTheDataSourceOnlyWithTheSameDriverKeysAndValues) {
    const std::string davad = "[DAVAD]\nDriver=SQLite3\nDatabase=/h/backend.db\n\n";
    const std::tuple<const char*, std::string, bool> cases[] = {
        {"as written", kSection, true},
        {"names in other cases, spaces, CR LF, a comment",
         davad + "[wp_1]\r\n  DRIVER = SQLite3\r\n# made by hand\r\ndatabase\t= /h/WP_1.MDB \r\n"
                 "journalmode=WAL",
         true},
        {"another section after it", kSection + davad, true},
        {"no section", davad, false},
        {"only a section whose name starts the same", "[WP_10]" + kSection.substr(6), false},
        {"a key missing", "[WP_1]\nDriver=SQLite3\nDatabase=/h/WP_1.MDB\n", false},
        {"a key more", kSection + "Timeout=10\n", false},
        {"a key without a value sign", kSection + "Timeout\n", false},
        {"another driver", "[WP_1]\nDriver=SQLite\nDatabase=/h/WP_1.MDB\nJournalMode=WAL\n", false},
        {"a value in another case",
         "[WP_1]\nDriver=SQLite3\nDatabase=/h/wp_1.mdb\nJournalMode=WAL\n", false},
        {"an empty file left by a killed writer", "", false},
        {"the section twice", kSection + "[wp_1]\nDriver=x\n", false},
        {"a key twice", kSection + "DATABASE=/h/WP_1.MDB\n", false},
    };
    for (const auto& [what, text, holds] : cases) {
        SCOPED_TRACE(what);
        EXPECT_EQ(OdbcIni::Holds(text, kStation), holds);
        // Whatever the file held, the section written in its place holds the source.
        EXPECT_TRUE(OdbcIni::Holds(OdbcIni::WithDataSource(text, kStation), kStation));
    }
}

TEST(OdbcIniTextTest, ReplacingASectionKeepsEveryOtherLineByteForByte) {
    const std::string head = "; by the host\r\n[DAVAD]\r\nDriver = SQLite3\r\nDatabase=/b\r\n\r\n";
    const std::string kept = head + "# about the next section\n[ODBC]\nTrace=No\n";
    const std::string before = head + "[wp_1]\nDriver=SQLite\n# about the next section\n\n" +
                               "[ODBC]\nTrace=No\n[WP_1]\nDatabase=/old";
    EXPECT_EQ(OdbcIni::WithoutSection(before, "WP_1"), kept);
    const std::string written = OdbcIni::WithDataSource(before, kStation);
    EXPECT_EQ(written, kept + "\n" + kSection);
    // Written again and again, the file stays the same: no blank lines pile up.
    EXPECT_EQ(OdbcIni::WithDataSource(written, kStation), written);
    EXPECT_EQ(OdbcIni::WithDataSource("", kStation), kSection);
    EXPECT_EQ(OdbcIni::WithDataSource("[DAVAD]\nDriver=SQLite3", kStation),
              "[DAVAD]\nDriver=SQLite3\n\n" + kSection);

    // A key given twice keeps its last value in the place of its first; spaces around a
    // name or value go, as they would on reading.
    const OdbcIni::DataSource source =
        SourceOf({"dsn= WP_1 ", "Database=/a", "Timeout=5", "DATABASE = /b "});
    EXPECT_EQ(source.name, "WP_1");
    EXPECT_EQ(source.keys,
              (OdbcIni::Pairs{{"Driver", "SQLite3"}, {"Database", "/b"}, {"Timeout", "5"}}));
    EXPECT_TRUE(OdbcIni::CanWrite(SourceOf({"DSN=WP_1", "Database=/h/a;b {c} 中文.MDB"})));
}

// Registration through the installer and the host's setup library, as the plug-in
// registers its stations. Each step runs first on a full disk, where a registration
// that must write fails, then with room; what one section cannot hold is refused; a
// step that fails or writes nothing leaves the file as it was.
TEST(OdbcIniRegistrationTest, TheFileIsWrittenOnlyWhenTheDataSourceIsMissingOrDiffers) {
    TestHost host;
    const std::string ini = System::OdbcFolder() + "/odbc.ini";
    const auto station = [&](int rtu) {
        return System::DriverPath(host.Path("WP_" + std::to_string(rtu) + ".MDB"));
    };
    ASSERT_TRUE(Odbc::RegisterSystemDataSource("SQLite3", {"DSN=WP_2", "Database=" + station(2)}));
    // Lines of the file's owner, which every write keeps.
    std::ofstream(ini, std::ios::binary | std::ios::app) << "\n# kept\n[ODBC]\nTrace=No\n\n";
    const std::string others = OdbcIni::WithoutSection(ReadWholeFile(ini), "WP_1");
    const std::string dsn = "DSN=WP_1", db = "Database=" + station(1), mode = "JournalMode=DELETE";

    enum Outcome { kWrites, kSame, kRefused };
    struct Step {
        const char* what;
        std::optional<std::string> byHand;  // the whole file, put there before registering
        std::vector<std::string> attributes;
        Outcome outcome;
        const char* driver = "SQLite3";
    };
    const Step steps[] = {
        {"missing", {}, {dsn, db, "JournalMode=WAL"}, kWrites},
        {"the same again", {}, {dsn, db, "JournalMode=WAL"}, kSame},
        {"keys in another case", {}, {dsn, "DATABASE=" + station(1), "journalmode=WAL"}, kSame},
        {"a value changed", {}, {dsn, db, mode}, kWrites},
        {"a key more", {}, {dsn, db, mode, "Timeout=10000"}, kWrites},
        {"a key fewer", {}, {dsn, db, mode}, kWrites},
        {"a section written by hand, in other cases and spacing",
         others + "[wp_1]\n  driver = SQLite3\n" + db + "\t\nJOURNALMODE = DELETE\n",
         {dsn, db, mode},
         kSame},
        {"the file naming another driver",
         others + "[WP_1]\nDriver=SQLite\n" + db + "\n" + mode + "\n",
         {dsn, db, mode},
         kWrites},
        {"a file emptied by a writer killed in place", "", {dsn, db}, kWrites},
        // What one section cannot hold so that it reads back the same.
        {"a line break in a value", {}, {dsn, db + "\nDriver=/tmp/evil.so"}, kRefused},
        {"a line break after a value", {}, {dsn, db, "Timeout=1\n"}, kRefused},
        {"a CR in a value", {}, {dsn, db + "\r"}, kRefused},
        {"a tab in a value", {}, {dsn, db + "\tx"}, kRefused},
        {"DEL in a value", {}, {dsn, db + "\x7F"}, kRefused},
        {"ESC in a key", {}, {dsn, db, "Data\x1B=x"}, kRefused},
        {"a line break in a key", {}, {dsn, db, "\n[DAVAD]\nX=1"}, kRefused},
        {"a line break in the name", {}, {"DSN=WP_1]\n[DAVAD", db}, kRefused},
        {"a bracket closing the name early", {}, {"DSN=WP]1", db}, kRefused},
        {"no name", {}, {db}, kRefused},
        {"a key opening a section", {}, {dsn, db, "[DAVAD=x"}, kRefused},
        {"a key read as a comment", {}, {dsn, db, "#Database=x"}, kRefused},
        {"an empty key", {}, {dsn, db, " =x"}, kRefused},
        {"a line the driver manager would cut short",
         {},
         {dsn, "Database=/" + std::string(OdbcIni::kLongestLine, 'x')},
         kRefused},
        {"a line break in the driver", {}, {dsn, db}, kRefused, "SQLite3\nDatabase=/x"},
    };
    for (const auto& [what, byHand, attributes, outcome, driver] : steps) {
        SCOPED_TRACE(what);
        if (byHand) std::ofstream(ini, std::ios::binary) << *byHand;
        const std::string before = ReadWholeFile(ini);
        const auto identity = System::IdentityOf(ini);
        ASSERT_TRUE(identity);
        EXPECT_EQ(OdbcIni::CanWrite(SourceOf(attributes, driver)), outcome != kRefused);
        for (const bool diskFull : {true, false}) {
            {
                std::optional<FileSizeLimit> limit;  // the disk fills after 16 bytes
                if (diskFull && !limit.emplace(16).set) {
                    ASSERT_TRUE(kOnWindows) << "cannot lower the file size limit";
                    continue;
                }
                EXPECT_EQ(Odbc::RegisterSystemDataSource(driver, attributes),
                          outcome == kSame || (!diskFull && outcome == kWrites))
                    << (diskFull ? "on a full disk" : "with room");
            }
            // No file of a write is left beside odbc.ini and odbcinst.ini.
            const std::filesystem::directory_iterator odbcFolder(host.Path("odbc"));
            EXPECT_EQ(std::distance(odbcFolder, {}), 2);
            const bool written = !diskFull && outcome == kWrites;
            const std::string after = ReadWholeFile(ini);
            EXPECT_EQ(System::IdentityOf(ini) != identity, written) << "a write replaces the file";
            EXPECT_TRUE(written ? OdbcIni::Holds(after, SourceOf(attributes, driver))
                                : after == before)
                << after;
            // Every other section and comment stays as it was.
            EXPECT_EQ(OdbcIni::WithoutSection(after, "WP_1"),
                      OdbcIni::WithoutSection(before, "WP_1"));
        }
    }
}

}  // namespace
