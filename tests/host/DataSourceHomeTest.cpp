#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "host/DataSourceHome.h"
#include "platform/IniFile.h"
#include "tests/support/TestHost.h"

namespace {

namespace fs = std::filesystem;

// The data source file as the host writes it, for a directory at `place`.
std::string OdbcIni(const std::string& place, const std::string& backendPort = "") {
    std::string text =
        backendPort.empty()
            ? "[DAVAD]\nDriver=SQLite3\nDatabase=" + place + "/backend.db\n\n"
            : "[DAVAD]\nDriver=PostgreSQL ANSI\nPort=" + backendPort + "\nDatabase=postgres\n\n";
    return text + "[WP_1]\nDriver=SQLite3\ndatabase = " + place +
           "/WPData/WP_1.MDB\nJournalMode=WAL\n\n[OTHER]\nDriver=SQLite3\nDatabase=/srv/x.db\n";
}

TEST(DataSourceHomeTest, NamesOfAnotherPlaceAreRepointedAndOthersKept) {
    TestHost host(false);
    const std::string ini = host.Path("odbc/odbc.ini");
    const std::string here = host.Dir();
    struct Case {
        const char* what;
        std::string before;
        std::string after;  // empty: left as it was, no note
        bool backendHere;
        bool refused;
    };
    const Case cases[] = {
        {"at home", OdbcIni(here), "", true, false},
        {"moved", OdbcIni("/old/place"), OdbcIni(here), true, false},
        {"PostgreSQL backend, station moved", OdbcIni("/old/place", "5432"), OdbcIni(here, "5432"),
         false, false},
        // A new empty backend would take the rows that belong to the old one.
        {"backend file not here", OdbcIni("/old/place"), "", false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::ofstream(ini, std::ios::trunc) << c.before;
        fs::remove(host.Path("backend.db"));
        if (c.backendHere) std::ofstream(host.Path("backend.db")).close();
        std::string note, error;
        EXPECT_EQ(DataSourceHome::Repoint(ini, here, note, error), !c.refused) << error;
        // Every other line and the keys' spelling stay; only the path changes.
        EXPECT_EQ(ReadWholeFile(ini), c.after.empty() ? c.before : c.after);
        EXPECT_EQ(note.empty(), c.after.empty()) << note;
        if (!c.after.empty()) {
            EXPECT_NE(note.find("/old/place"), std::string::npos) << note;
            EXPECT_NE(note.find(here), std::string::npos) << note;
        }
        if (c.refused) {
            EXPECT_NE(error.find("copy that backend file into this host directory"),
                      std::string::npos)
                << error;
        }
    }
}

// A host directory copied or moved elsewhere stores into its own files: the copy's
// run leaves the original as it was, and the run says where its data sources pointed.
TEST(DataSourceHomeTest, ACopiedOrMovedHostDirectoryStoresIntoItsOwnFiles) {
    for (const bool copy : {true, false}) {
        SCOPED_TRACE(copy ? "copied" : "moved");
        TestHost host(true, {}, "first");
        const fs::path root = fs::path(host.Dir()).parent_path();
        const std::string second = (root / "second").string();
        const auto run = [&](const std::string& dir, const std::string& span) {
            const std::string command = std::string(VKT_HOST_PROGRAM) + " run '" + dir +
                                        "' --simulate '" + span + "' --linger 0 --plugin '" +
                                        std::getenv("VKT_PLUGIN") + "' > '" + root.string() +
                                        "/run.txt' 2>&1";
            const int status = std::system(command.c_str());
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
                << ReadWholeFile(root.string() + "/run.txt");
            return ReadWholeFile(root.string() + "/run.txt");
        };
        run(host.Dir(), "2009-03-12 00:00:00..2009-03-12 01:00:00");
        const auto backendRows = [](const std::string& dir) {
            return std::atoi(
                QueryFile(dir + "/backend.db", "SELECT COUNT(*) FROM FD_RUN_RTTOWER").c_str());
        };
        const int firstRows = backendRows(host.Dir());
        ASSERT_GT(firstRows, 0);
        const std::string isolation = host.Path("iso");
        IniFile::WriteString(host.Path("WPDB.ini"), "TXT", "DIR", isolation);
        std::error_code ec;
        if (copy) {
            fs::copy(host.Dir(), second, fs::copy_options::recursive, ec);
        } else {
            fs::rename(host.Dir(), second, ec);
        }
        ASSERT_FALSE(ec) << ec.message();
        const std::string printed = run(second, "2009-03-12 02:00:00..2009-03-12 03:00:00");
        EXPECT_NE(printed.find("named files at " + host.Dir()), std::string::npos) << printed;
        EXPECT_NE(printed.find("[TXT] DIR " + isolation), std::string::npos) << printed;
        EXPECT_EQ(IniFile::GetString(second + "/WPDB.ini", "TXT", "DIR", ""), second + "/iso");
        EXPECT_EQ(QueryFile(second + "/WPData/WP_1.MDB", "SELECT COUNT(*) FROM RTTOWER"), "14");
        EXPECT_EQ(backendRows(second), 2 * firstRows);
        if (copy) {
            EXPECT_EQ(IniFile::GetString(host.Path("WPDB.ini"), "TXT", "DIR", ""), isolation);
            EXPECT_EQ(QueryFile(host.Path("WPData/WP_1.MDB"), "SELECT COUNT(*) FROM RTTOWER"), "7");
            EXPECT_EQ(backendRows(host.Dir()), firstRows);
        }
        if (!copy) fs::rename(second, host.Dir(), ec);  // for the clean-up
    }
}

}  // namespace
