// Frames through the plug-in's exports into the stores, steered by WPDB.ini.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "hostlib/VktBase.h"
#include "platform/IniFile.h"
#include "platform/OdbcHandles.h"
#include "plugin/Exports.h"
#include "plugin/PluginState.h"
#include "plugin/WPContext.h"
#include "storage/AssignmentStore.h"
#include "storage/BackendWriterThread.h"
#include "storage/WPDBThread.h"
#include "storage/WPSettings.h"
#include "tests/support/FileSizeLimit.h"
#include "tests/support/TestHost.h"
#include "tests/support/TowerData.h"

namespace {

// Tower rtu's wind speed at level 1 over ten minutes and over the hour, both 4.0.
CDataFrame Frame(int rtu, const DateTime& time) {
    return FrameOf(rtu, time, {PointOf(rtu, 7000, 4.0f, time), PointOf(rtu, 9000, 4.0f, time)});
}

// Hands the frames over and waits until they are stored in every store.
void Store(const std::vector<CDataFrame>& frames) {
    ASSERT_NE(PluginState::Context(), nullptr);
    CWPDBThread* storage = PluginState::Context()->m_pStorageThread.get();
    ASSERT_NE(storage, nullptr);
    const long before = storage->ProcessedCount();
    for (const CDataFrame& frame : frames) ASSERT_NE(SaveRTDB(frame), 0);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (storage->ProcessedCount() < before + static_cast<long>(frames.size())) {
        ASSERT_LT(std::chrono::steady_clock::now(), end);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    // The backend rows follow on the backend writer.
    while (!PluginState::Context()->m_pBackendWriter->IsIdle()) {
        ASSERT_LT(std::chrono::steady_clock::now(), end);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::string BackendValue(const std::string& sql) {
    return QueryDataSource("DAVAD", sql);
}

class PluginStorageTest : public ::testing::Test {
protected:
    void SetUp() override { PluginState::OnLoad(); }
    void TearDown() override { VKTLibExit(); }
    void WriteConfig(const std::string& text) { std::ofstream(host.Path("WPDB.ini")) << text; }

    TestHost host;
};

TEST_F(PluginStorageTest, WindFarmKindOneWritesNoHourlyRows) {
    WriteConfig("[DATABASE]\nTYPE=1\n[TXT]\nPERMIT=0\n");
    VKTLibInit();
    Store({Frame(1, k15)});
    EXPECT_EQ(BackendValue("SELECT COUNT(*) FROM FD_RUN_RTTOWER"), "1");
    EXPECT_EQ(BackendValue("SELECT COUNT(*) FROM FD_RUN_TOWERHIS"), "0");
}

TEST_F(PluginStorageTest, StandardWindFarmWritesBothRowsAndSwitchingOffWritesNone) {
    VKTLibInit();
    Store({Frame(1, k15), Frame(2, DateTime(2009, 3, 12, 15, 10, 0))});
    EXPECT_EQ(BackendValue("SELECT COUNT(*) FROM FD_RUN_RTTOWER"), "2");
    EXPECT_EQ(BackendValue("SELECT COUNT(*) FROM FD_RUN_TOWERHIS"), "1");
    EXPECT_EQ(BackendValue("SELECT TYPE FROM FD_RUN_TOWERHIS WHERE TOWERID=1"), "1");

    CWPSettingsStore& settings = PluginState::Context()->m_stores.m_settings;
    CWPSettings off = *settings.Get();
    off.m_bSaveBkgDB = false;
    settings.Replace(off);  // applies from the next record on
    Store({Frame(3, k15)});
    EXPECT_EQ(BackendValue("SELECT COUNT(*) FROM FD_RUN_RTTOWER"), "2");
}

TEST_F(PluginStorageTest, AnAssignmentTakesEffectAtTheNextStart) {
    VKTLibInit();
    EXPECT_TRUE(std::filesystem::exists(host.Path("VKTCOMM(BAK).MDB"))) << "first start";
    SaveAssignments({{12, 900}});
    Store({Frame(12, k15)});
    EXPECT_EQ(BackendValue("SELECT COUNT(*) FROM FD_RUN_RTTOWER WHERE TOWERID=12"), "1");
    VKTLibExit();

    VKTLibInit();
    Store({Frame(12, DateTime(2009, 3, 12, 15, 10, 0))});
    EXPECT_EQ(BackendValue("SELECT COUNT(*) FROM FD_RUN_RTTOWER WHERE TOWERID=900"), "1");
    EXPECT_EQ(PluginState::Context()->m_stores.m_assignments.GetTowerID(12), 900);
}

std::string StationValue(const std::string& file, const std::string& sql) {
    return QueryFile(file, sql);
}

TEST_F(PluginStorageTest, StationFilesForTowersAtStartAndForNewTowersOnTheirFirstFrame) {
    VKTLibInit();
    for (int rtu : {1, 2, 3}) {
        EXPECT_EQ(StationValue(host.Path("WPData/WP_" + std::to_string(rtu) + ".MDB"),
                               "SELECT COUNT(*) FROM RTTOWER"),
                  "0");
    }
    EXPECT_FALSE(std::filesystem::exists(host.Path("WPData/WP_12.MDB"))) << "type 101 waits";
    Store({Frame(12, k15)});
    EXPECT_EQ(StationValue(host.Path("WPData/WP_12.MDB"), "SELECT COUNT(*) FROM HSTOWER"), "1");

    // Closed connections reopen with the next frame.
    CloseAccess();
    Store({Frame(12, DateTime(2009, 3, 12, 15, 10, 0))});
    EXPECT_EQ(StationValue(host.Path("WPData/WP_12.MDB"), "SELECT COUNT(*) FROM RTTOWER"), "2");
}

std::string SpoolSegment(const TestHost& host) {
    std::string last;
    for (const auto& entry : std::filesystem::directory_iterator(host.Path("WPData/spool"))) {
        if (entry.path().extension() == ".spool") last = std::max(last, entry.path().string());
    }
    return last;
}

// A full disk: SaveRTDB refuses the frames it cannot keep (the host knows), odbc.ini
// stays whole, and what was accepted before and after is in both stores.
TEST_F(PluginStorageTest, AFullDiskRefusesFramesAndLosesNoneItAccepted) {
    if (kOnWindows) GTEST_SKIP() << "no file size limit on this system";
    WriteConfig("[LOCALDATA]\nDATALEN=0\n[TXT]\nPERMIT=0\n");
    VKTLibInit();
    Store({Frame(1, k15)});
    const std::string ini = ReadWholeFile(host.Path("odbc/odbc.ini"));
    {
        // Not one more byte in the spool's segment, nor in any larger file.
        FileSizeLimit limit(std::filesystem::file_size(SpoolSegment(host)));
        ASSERT_TRUE(limit.set);
        EXPECT_EQ(SaveRTDB(Frame(1, k15 + DateTimeSpan(0, 0, 10, 0))), 0);
        EXPECT_EQ(SaveRTDB(Frame(2, k15 + DateTimeSpan(0, 0, 10, 0))), 0);
    }
    EXPECT_EQ(ReadWholeFile(host.Path("odbc/odbc.ini")), ini);
    Store({Frame(1, k15 + DateTimeSpan(0, 0, 20, 0))});
    EXPECT_EQ(StationValue(host.Path("WPData/WP_1.MDB"), "SELECT COUNT(*) FROM RTTOWER"), "2");
    EXPECT_EQ(StationValue(host.Path("WPData/WP_2.MDB"), "SELECT COUNT(*) FROM RTTOWER"), "0");
    EXPECT_EQ(BackendValue("SELECT COUNT(*) FROM FD_RUN_RTTOWER"), "2");
    EXPECT_NE(ReadWholeFile(host.Path("VKTError.log")).find("writing again after 2 failures"),
              std::string::npos);
}

// A station file that cannot be made keeps its frame in the spool, tried again every
// pass, while the backend and the other towers go on; once the file can be made the
// frame is in it.
TEST_F(PluginStorageTest, AStationFileThatCannotBeWrittenKeepsItsFramesUntilItCan) {
    WriteConfig("[LOCALDATA]\nDATALEN=0\n[TXT]\nPERMIT=0\n");
    std::filesystem::create_directories(host.Path("WPData/WP_12.MDB"));  // in the way
    VKTLibInit();
    CWPDBThread* storage = PluginState::Context()->m_pStorageThread.get();
    ASSERT_EQ(SaveRTDB(Frame(12, k15)), 1);
    ASSERT_EQ(SaveRTDB(Frame(1, k15)), 1);
    EXPECT_TRUE(WaitFor([&] { return storage->StationHealth().nFailed >= 2; }));
    // Between two passes: the record handed over again is the one left.
    EXPECT_TRUE(WaitFor([&] { return storage->QueuedCount() == 1u; }));
    EXPECT_EQ(StationValue(host.Path("WPData/WP_1.MDB"), "SELECT COUNT(*) FROM RTTOWER"), "1");
    const auto backendRows = [] { return BackendValue("SELECT COUNT(*) FROM FD_RUN_RTTOWER"); };
    EXPECT_TRUE(WaitFor([&] { return backendRows() == "2"; }));
    std::filesystem::remove(host.Path("WPData/WP_12.MDB"));
    EXPECT_TRUE(WaitFor([&] { return storage->QueuedCount() == 0; }));
    EXPECT_EQ(StationValue(host.Path("WPData/WP_12.MDB"), "SELECT COUNT(*) FROM RTTOWER"), "1");
    EXPECT_EQ(backendRows(), "2");
}

TEST_F(PluginStorageTest, NoStationForANewTowerWhileStationDataIsOff) {
    WriteConfig("[LOCALDATA]\nSAVEDATA=0\n[TXT]\nPERMIT=0\n");
    VKTLibInit();
    Store({Frame(12, k15), Frame(1, k15)});
    EXPECT_FALSE(std::filesystem::exists(host.Path("WPData/WP_12.MDB")));
    EXPECT_EQ(StationValue(host.Path("WPData/WP_1.MDB"), "SELECT COUNT(*) FROM RTTOWER"), "0");
    EXPECT_EQ(BackendValue("SELECT COUNT(*) FROM FD_RUN_RTTOWER"), "2");
}

// Each case runs the plug-in twice on the same directory with the two configurations,
// and counts what the backend holds at the end. Station rows kept while backend rows
// were off are not the backend's, and frames without station rows wait in the frame
// spool while the backend is away, across a restart, until it has them.
TEST_F(PluginStorageTest, BackendRowsOfARunAreWhatItAcceptedForTheBackend) {
    const struct {
        const char* name;
        const char* first;
        const char* second;
        const char* backendRows;
    } cases[] = {
        {"backend rows off, then on", "[DATABASE]\nSAVEBKGDB=0\n", "[DATABASE]\nSAVEBKGDB=1\n",
         "1"},
        {"station files off, the backend away, then back",
         "[DATABASE]\nSOURCENAME=NO_SUCH_SOURCE\n[LOCALDATA]\nSAVEDATA=0\n",
         "[LOCALDATA]\nSAVEDATA=0\n", "4"},
    };
    for (const auto& run : cases) {
        SCOPED_TRACE(run.name);
        {
            OdbcConnection backend;
            ASSERT_TRUE(backend.Connect("DAVAD", "fd", "wendol", kLoginTimeoutSeconds));
            Odbc::ExecDirect(backend.Get(), "DELETE FROM FD_RUN_RTTOWER");
        }
        WriteConfig(std::string(run.first) + "[TXT]\nPERMIT=0\n");
        VKTLibInit();
        CWPDBThread* storage = PluginState::Context()->m_pStorageThread.get();
        for (int i = 0; i < 3; ++i)
            ASSERT_NE(SaveRTDB(Frame(1, k15 + DateTimeSpan(0, 0, 10 * i, 0))), 0);
        ASSERT_TRUE(WaitFor([&] { return storage->ProcessedCount() == 3; }));
        VKTLibExit();
        WriteConfig(std::string(run.second) + "[TXT]\nPERMIT=0\n");
        VKTLibInit();
        EXPECT_EQ(PluginState::Context()->m_stores.m_journal.PendingCount(), 0u);
        ASSERT_NE(SaveRTDB(Frame(1, k15 + DateTimeSpan(0, 0, 30, 0))), 0);
        EXPECT_TRUE(WaitFor([&] {
            return BackendValue("SELECT COUNT(*) FROM FD_RUN_RTTOWER") == run.backendRows;
        })) << BackendValue("SELECT COUNT(*) FROM FD_RUN_RTTOWER");
        VKTLibExit();
    }
}

// WPDB.ini changed while the plug-in runs is taken at the storage thread's next pass as
// the dialog's OK takes it: read whole as at start (a key emptied loses its old value),
// logged once by the keys' names, never a value.
TEST_F(PluginStorageTest, AConfigurationFileChangedWhileRunningIsTakenAtTheNextPass) {
    WriteConfig("[DATABASE]\nPRENAME=main\n[TXT]\nPERMIT=0\n");
    VKTLibInit();
    Store({Frame(1, k15)});
    EXPECT_EQ(BackendValue("SELECT COUNT(*) FROM FD_RUN_RTTOWER"), "1");
    const CWPSettingsStore& settings = PluginState::Context()->m_stores.m_settings;
    ASSERT_TRUE(IniFile::WriteStrings("WPDB.ini", {{"DATABASE", "SAVEBKGDB", "0"},
                                                   {"DATABASE", "PRENAME", ""},
                                                   {"DATABASE", "PASSWORD", "never-logged"}}));
    ASSERT_TRUE(WaitFor([&] { return !settings.Get()->m_bSaveBkgDB; }));
    EXPECT_EQ(settings.Get()->m_strPreName, "");
    Store({Frame(2, k15)});
    EXPECT_EQ(BackendValue("SELECT COUNT(*) FROM FD_RUN_RTTOWER"), "1");
    const std::string log = ReadWholeFile(host.Path("VKTError.log"));
    EXPECT_NE(log.find("WPDB.ini changed: working parameters reloaded (DATABASE.PRENAME, "
                       "DATABASE.PASSWORD, DATABASE.SAVEBKGDB)"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("never-logged"), std::string::npos);
}

}  // namespace

namespace {

// A host directory whose name the SQLite driver would cut at ";" or take braces in:
// every store stays inside it.
TEST(PluginPathTest, AHostDirectoryNamedWithSemicolonBraceSpaceAndChineseKeepsEveryStore) {
    // A Windows program's narrow file names are in the system's code page, which has
    // no Chinese under Wine's default locale: there the name keeps the rest.
    TestHost host(true, {}, kOnWindows ? "d;x }y" : "d;x }y 中");
    PluginState::OnLoad();
    VKTLibInit();
    Store({Frame(1, k15)});
    VKTLibExit();
    EXPECT_EQ(QueryFile(host.Path("WPData/WP_1.MDB"), "SELECT COUNT(*) FROM RTTOWER"), "1");
    EXPECT_EQ(QueryFile(host.Path("backend.db"), "SELECT COUNT(*) FROM FD_RUN_RTTOWER"), "1");
    EXPECT_EQ(QueryFile(host.Path("VKTCOMM.MDB"), "SELECT COUNT(*) FROM VKTTOWPID"), "0");
    const std::string outside = std::filesystem::path(host.Dir()).parent_path().string();
    for (const auto& entry : std::filesystem::directory_iterator(outside)) {
        EXPECT_EQ(entry.path().generic_string(), host.Dir()) << "a file outside the host directory";
    }
}

// Without odbc.ini at start, registering the first station's data source makes the
// file; that station still gets its rows.
TEST(PluginPathTest, StationRowsWhenTheDataSourceFileIsMissingAtStart) {
    TestHost host;
    std::filesystem::remove(host.Path("odbc/odbc.ini"));
    PluginState::OnLoad();
    VKTLibInit();
    Store({Frame(1, k15), Frame(2, k15)});
    VKTLibExit();
    for (int rtu : {1, 2}) {
        EXPECT_EQ(QueryFile(host.Path("WPData/WP_" + std::to_string(rtu) + ".MDB"),
                            "SELECT COUNT(*) FROM RTTOWER"),
                  "1")
            << rtu;
    }
}

}  // namespace
