#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "hostlib/HostSide.h"
#include "hostlib/VktBase.h"
#include "model/AssignmentStore.h"
#include "platform/OdbcHandles.h"
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
    EXPECT_EQ(GetTowerID(12), -1);

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
}

TEST(AssignmentStoreTest, MapLookupsAndNonNumericValues) {
    TestHost host;
    EnsureAssignmentTable();
    ASSERT_EQ(ExecSQLStr("INSERT INTO VKTTOWPID (RTUID,WPID) VALUES (5,'abc')"), 1);
    ASSERT_EQ(ExecSQLStr("INSERT INTO VKTTOWPID (RTUID,WPID) VALUES (7,'-12x')"), 1);
    CObList<CVKTTOWPID> list;
    ASSERT_EQ(LoadAssignments(list), 1);
    FillAssignmentMap(list);
    EXPECT_EQ(GetTowerID(5), 0);
    EXPECT_EQ(GetTowerID(7), -12);
    EXPECT_EQ(GetTowerID(6), -1);
    ClearAssignmentMap();
    EXPECT_EQ(GetTowerID(5), -1);
}

}  // namespace
