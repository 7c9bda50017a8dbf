#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "hostlib/VktRecords.h"
#include "model/AssignmentMap.h"
#include "platform/OdbcApi.h"

class OdbcRow;

// Output station numbers (WPID) of the RTUs: the table VKTTOWPID of VKTCOMM.MDB, from
// which the assignment map is loaded at start-up. Every failure here is silent:
// without assignments each tower id is its RTU number.

// One row of VKTTOWPID.
class CVKTTOWPID : public CObject {
public:
    static constexpr const char* kCreateTable =
        "CREATE TABLE VKTTOWPID (RTUID INT NOT NULL PRIMARY KEY, WPID INT NOT NULL)";

    // The statement of an operation: 0 delete, 1 update, 2 insert, 3 select; others empty.
    std::string GetSQLStr(int nCode) const;
    // Reads columns 1 and 2 of the row; false (the record left as it was) when either
    // is NULL or not a whole number.
    bool ReadRow(const OdbcRow& row);

    int32_t m_nRTUID = 0;
    int32_t m_nWPID = 0;
};

// Makes sure VKTTOWPID exists in VKTCOMM.MDB of the current directory, opening the
// file itself. When the probe fails the file is first copied to VKTCOMM(BAK).MDB.
// 1 when the file could be opened, else 0. User-interface thread, at start-up.
int EnsureAssignmentTable();

// Appends every stored row, in ascending RTU number order; 1 when the query ran. A
// row whose RTU number or WPID is not a number is left out: it assigns nothing.
int LoadAssignments(CObList<CVKTTOWPID>& list);
// The stored row of the RTU, or null.
std::unique_ptr<CVKTTOWPID> FindAssignment(int32_t nRTUID);
// Runs the record's statement of the operation on VKTCOMM.MDB.
void ExecAssignmentSQL(int nCode, const CVKTTOWPID& record);
// Replaces the stored rows by the (RTU number, WPID) pairs, in order.
void SaveAssignments(const std::vector<std::pair<int32_t, int32_t>>& rows);

// Puts every record into the map, in list order.
void FillAssignmentMap(const CObList<CVKTTOWPID>& list, CAssignmentMap& map);
