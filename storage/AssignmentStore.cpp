#include "storage/AssignmentStore.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>

#include "hostlib/HostStatement.h"
#include "hostlib/VktBase.h"
#include "platform/OdbcQuery.h"
#include "platform/System.h"

namespace {

constexpr const char* kHostFile = "VKTCOMM.MDB";
constexpr const char* kBackupFile = "VKTCOMM(BAK).MDB";
// Runs a select on the host statement and appends its rows; 1 when it ran.
int QueryAssignments(const std::string& sql, CObList<CVKTTOWPID>& list) {
    SQLRETURN rc = SQL_ERROR;
    {
        HostStatement hstmt;
        if (!hstmt) return 0;
        rc = Odbc::ExecOn(hstmt.Get(), sql);
        // Success with information reads no rows.
        if (rc == SQL_SUCCESS) {
            Odbc::ForEachRow(hstmt.Get(), [&](const OdbcRow& row) {
                auto record = std::make_unique<CVKTTOWPID>();
                if (record->ReadRow(row)) list.push_back(std::move(record));
            });
        }
    }
    // Closed once the statement is gone.
    if (rc < 0) CloseDB();
    return rc == SQL_SUCCESS ? 1 : 0;
}

bool RunAssignmentSQL(int nCode, const CVKTTOWPID& record) {
    HostStatement hstmt;
    return hstmt && Odbc::ExecOn(hstmt.Get(), record.GetSQLStr(nCode)) >= 0;
}

}  // namespace

std::string CVKTTOWPID::GetSQLStr(int nCode) const {
    char text[128];
    switch (nCode) {
        case 0:
            std::snprintf(text, sizeof text, "DELETE FROM VKTTOWPID WHERE RTUID=%d", m_nRTUID);
            return text;
        case 1:
            std::snprintf(text, sizeof text, "UPDATE VKTTOWPID SET WPID=%d WHERE RTUID=%d", m_nWPID,
                          m_nRTUID);
            return text;
        case 2:
            std::snprintf(text, sizeof text, "INSERT INTO VKTTOWPID (RTUID,WPID) VALUES (%d,%d)",
                          m_nRTUID, m_nWPID);
            return text;
        case 3:
            return "SELECT RTUID,WPID FROM VKTTOWPID";
        default:
            return {};
    }
}

bool CVKTTOWPID::ReadRow(const OdbcRow& row) {
    const std::optional<int> rtu = row.Int(1);
    const std::optional<int> wpid = row.Int(2);
    if (!rtu || !wpid) return false;
    m_nRTUID = *rtu;
    m_nWPID = *wpid;
    return true;
}

int EnsureAssignmentTable() {
    const std::string path = System::CurrentDirectory() + "/" + kHostFile;
    CloseDB();
    if (!std::filesystem::exists(path)) return 0;  // the driver would create an empty file
    OdbcConnection connection;
    if (!connection.DriverConnect(Odbc::SqliteConnectionString(path), kLoginTimeoutSeconds)) {
        return 0;
    }
    if (!Odbc::Succeeded(Odbc::ExecDirect(connection.Get(), CVKTTOWPID().GetSQLStr(3)))) {
        // Fold the write-ahead log into the file so that the copy is complete.
        Odbc::ExecDirect(connection.Get(), "PRAGMA wal_checkpoint(TRUNCATE)");
        System::CopyFileOver(path, System::CurrentDirectory() + "/" + kBackupFile);
        Odbc::ExecDirect(connection.Get(), CVKTTOWPID::kCreateTable);
    }
    return 1;
}

int LoadAssignments(CObList<CVKTTOWPID>& list) {
    return QueryAssignments(CVKTTOWPID().GetSQLStr(3) + " ORDER BY RTUID ASC", list);
}

std::unique_ptr<CVKTTOWPID> FindAssignment(int32_t nRTUID) {
    CObList<CVKTTOWPID> list;
    QueryAssignments(CVKTTOWPID().GetSQLStr(3) + " WHERE RTUID = " + std::to_string(nRTUID), list);
    if (list.empty()) return nullptr;
    return std::move(list.front());
}

void ExecAssignmentSQL(int nCode, const CVKTTOWPID& record) {
    if (!RunAssignmentSQL(nCode, record)) CloseDB();
}

void SaveAssignments(const std::vector<std::pair<int32_t, int32_t>>& rows) {
    // All or nothing: a kill or a refused statement part-way leaves the assignments as
    // they were, never a table without the output station numbers.
    ExecInTransaction([&](SQLHDBC) {
        // Every dialect accepts this form of the delete.
        if (!ExecSQLStr("DELETE FROM VKTTOWPID")) return false;
        for (const auto& [rtu, wpid] : rows) {
            CVKTTOWPID row;
            row.m_nRTUID = rtu;
            row.m_nWPID = wpid;
            // An RTU named twice: the later number replaces the earlier one.
            if (!RunAssignmentSQL(FindAssignment(rtu) ? 1 : 2, row)) return false;
        }
        return true;
    });
}

void FillAssignmentMap(const CObList<CVKTTOWPID>& list, CAssignmentMap& map) {
    for (const auto& record : list) map.Assign(record->m_nRTUID, record->m_nWPID);
}
