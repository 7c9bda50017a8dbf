#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "hostlib/HostSide.h"
#include "hostlib/VktBase.h"
#include "platform/OdbcHandles.h"
#include "storage/AssignmentStore.h"
#include "tests/support/TestHost.h"

namespace {

std::vector<std::pair<int, int>> Loaded() {
    CObList<CVKTTOWPID> list;
    EXPECT_EQ(LoadAssignments(list), 1);
    std::vector<std::pair<int, int>> rows;
    for (const auto& record : list) rows.emplace_back(record->m_nRTUID, record->m_nWPID);
    return rows;
}

TEST(AssignmentStoreTest, StatementTexts) {
    CVKTTOWPID record;
    record.m_nRTUID = 12;
    record.m_nWPID = 900;
    EXPECT_EQ(record.GetSQLStr(0), "DELETE FROM VKTTOWPID WHERE RTUID=12");
    EXPECT_EQ(record.GetSQLStr(1), "UPDATE VKTTOWPID SET WPID=900 WHERE RTUID=12");
    EXPECT_EQ(record.GetSQLStr(2), "INSERT INTO VKTTOWPID (RTUID,WPID) VALUES (12,900)");
    EXPECT_EQ(record.GetSQLStr(3), "SELECT RTUID,WPID FROM VKTTOWPID");
    EXPECT_EQ(record.GetSQLStr(4), "");
    EXPECT_EQ(record.GetSQLStr(-1), "");
}

TEST(AssignmentStoreTest, FirstStartBacksUpAndCreatesTheTable) {
    TestHost host;
    const std::string backup = host.Path("VKTCOMM(BAK).MDB");
    CObList<CVKTTOWPID> list;
    EXPECT_EQ(LoadAssignments(list), 0) << "no table yet";
    EXPECT_TRUE(list.empty());

    EXPECT_EQ(EnsureAssignmentTable(), 1);
    ASSERT_TRUE(std::filesystem::exists(backup));
    EXPECT_GT(std::filesystem::file_size(backup), 0u);
    EXPECT_TRUE(Loaded().empty());

    // The table exists now: a second start writes no backup.
    std::filesystem::remove(backup);
    EXPECT_EQ(EnsureAssignmentTable(), 1);
    EXPECT_FALSE(std::filesystem::exists(backup));

    // Whenever the probe fails again the backup is overwritten.
    ASSERT_EQ(ExecSQLStr("DROP TABLE VKTTOWPID"), 1);
    std::ofstream(backup) << "stale";
    EXPECT_EQ(EnsureAssignmentTable(), 1);
    EXPECT_NE(ReadWholeFile(backup), "stale");
    EXPECT_TRUE(Loaded().empty());
}

TEST(AssignmentStoreTest, MissingHostDatabaseIsNotCreated) {
    TestHost host;
    VktHost::CloseHost();
    std::filesystem::remove(host.Path("VKTCOMM.MDB"));
    EXPECT_EQ(EnsureAssignmentTable(), 0);
    EXPECT_FALSE(std::filesystem::exists(host.Path("VKTCOMM.MDB")));
}

TEST(AssignmentStoreTest, SavedRowsReplaceTheTableAndLoadInRtuOrder) {
    TestHost host;
    EnsureAssignmentTable();
    SaveAssignments({{12, 900}, {3, 33}, {1, 900}});
    EXPECT_EQ(Loaded(), (std::vector<std::pair<int, int>>{{1, 900}, {3, 33}, {12, 900}}));
    auto found = FindAssignment(3);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->m_nWPID, 33);
    EXPECT_FALSE(FindAssignment(2));

    // A row left out of the list is gone afterwards.
    SaveAssignments({{3, 34}});
    EXPECT_EQ(Loaded(), (std::vector<std::pair<int, int>>{{3, 34}}));
    SaveAssignments({});
    EXPECT_TRUE(Loaded().empty());

    // A statement refused part-way leaves the assignments as they were.
    SaveAssignments({{3, 34}});
    ASSERT_EQ(ExecSQLStr("CREATE TRIGGER refuse BEFORE INSERT ON VKTTOWPID WHEN NEW.WPID=999 "
                         "BEGIN SELECT RAISE(ABORT, 'refused'); END"),
              1);
    SaveAssignments({{1, 5}, {2, 999}});
    EXPECT_EQ(Loaded(), (std::vector<std::pair<int, int>>{{3, 34}}));
}

// A WPID that is NULL or not a number must not read as 0: two RTUs would then share
// tower id 0 and overwrite each other's rows. Such a row assigns nothing.
TEST(AssignmentStoreTest, RowsThatAreNotTwoNumbersAssignNothing) {
    TestHost host;
    ASSERT_EQ(ExecSQLStr("CREATE TABLE VKTTOWPID (RTUID INT, WPID INT)"), 1);
    for (const char* row : {"(5,'abc')", "(7,'-12x')", "(9,NULL)", "(NULL,3)", "(8,80)"}) {
        ASSERT_EQ(ExecSQLStr(std::string("INSERT INTO VKTTOWPID (RTUID,WPID) VALUES ") + row), 1);
    }
    CObList<CVKTTOWPID> list;
    ASSERT_EQ(LoadAssignments(list), 1);
    CAssignmentMap map;
    FillAssignmentMap(list, map);
    EXPECT_EQ(list.size(), 1u);
    EXPECT_EQ(map.TowerIDOf(8), 80);
    for (int rtu : {5, 7, 9, 0, 6}) EXPECT_EQ(map.TowerIDOf(rtu), rtu) << rtu;
    map.Clear();
    EXPECT_EQ(map.GetTowerID(8), -1);
}

}  // namespace
