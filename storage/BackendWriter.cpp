#include "storage/BackendWriter.h"

#include <string>

#include "hostlib/VktBase.h"
#include "model/AssignmentMap.h"
#include "model/Catalogue.h"
#include "platform/System.h"
#include "storage/BackendDB.h"
#include "storage/TowerRow.h"
#include "storage/WPSettings.h"

namespace {

constexpr const char* kTenMinuteTable = "FD_RUN_RTTOWER";
constexpr const char* kHourlyTable = "FD_RUN_TOWERHIS";
constexpr int kHourlyType = 1;

std::vector<ColumnValue> RowValues(const CTowerRecord& record, RowSet set,
                                   const CWPSettings& settings) {
    return TowerRowValues(record, set, RowRules{!settings.m_bSaveErrorData, true, 1});
}

const char* TableOf(RowSet set) {
    return set == RowSet::Hourly ? kHourlyTable : kTenMinuteTable;
}

std::string KeyCondition(int towerID, const DateTime& time, RowSet set) {
    std::string condition =
        " WHERE TOWERID=" + std::to_string(towerID) + " AND TIME=" + TimeLiteral(time);
    if (set == RowSet::Hourly) condition += " AND TYPE=" + std::to_string(kHourlyType);
    return condition;
}

// Whether the row is there; `outcome` tells whether the query could run.
bool RowExists(CBackendDB& backend, const std::string& prefix, int towerID, const DateTime& time,
               RowSet set, BackendOutcome& outcome) {
    if (set == RowSet::TenMinute) {
        return backend.BackendRowExists(
            "SELECT TOWERID,TIME FROM " + PrefixedTable(prefix, kTenMinuteTable) +
                " WHERE TOWERID = " + std::to_string(towerID) + " AND TIME = " + TimeLiteral(time),
            &outcome);
    }
    return backend.BackendRowExists("SELECT TOWERID,TIME,TYPE FROM " +
                                        PrefixedTable(prefix, kHourlyTable) +
                                        KeyCondition(towerID, time, set),
                                    &outcome);
}

BackendOutcome InsertRow(CBackendDB& backend, const CTowerRecord& record, RowSet set,
                         const CWPSettings& settings, int towerID,
                         const std::vector<ColumnValue>& values) {
    const bool hourly = set == RowSet::Hourly;
    return backend.ExecBackendRow(
        InsertStatement("INSERT INTO " + PrefixedTable(settings.m_strPreName, TableOf(set)) +
                            (hourly ? "(TOWERID,TIME,TYPE," : "(TOWERID,TIME,"),
                        " VALUES(" + std::to_string(towerID) + "," + TimeLiteral(record.m_tTime) +
                            "," + (hourly ? std::to_string(kHourlyType) + "," : ""),
                        values));
}

BackendOutcome UpdateRow(CBackendDB& backend, const CTowerRecord& record, RowSet set,
                         const CWPSettings& settings, int towerID,
                         const std::vector<ColumnValue>& values) {
    std::string assignments = Assignments(values);
    if (assignments.empty()) return BackendOutcome::Done;  // nothing to update: no statement
    assignments.pop_back();
    return backend.ExecBackendRow("UPDATE " + PrefixedTable(settings.m_strPreName, TableOf(set)) +
                                  " SET " + assignments +
                                  KeyCondition(towerID, record.m_tTime, set));
}

// A row's values come first: the rain counter's sample may be looked up in the host's
// database, which no one should wait for while the backend lock is held. One settings
// set and one tower id serve the query and the statement after it. A query that could
// not run ends the row there: the insert would only wait for the same unreachable
// server again.
BackendOutcome SaveRow(CBackendDB& backend, const CTowerRecord& record, RowSet set,
                       const CWPSettings& settings, int towerID,
                       const std::vector<ColumnValue>& values) {
    BackendOutcome queried = BackendOutcome::Done;
    const bool exists =
        RowExists(backend, settings.m_strPreName, towerID, record.m_tTime, set, queried);
    if (queried != BackendOutcome::Done) return queried;
    return exists ? UpdateRow(backend, record, set, settings, towerID, values)
                  : InsertRow(backend, record, set, settings, towerID, values);
}

BackendOutcome SaveRow(const CBackendTarget& target, const CTowerRecord& record, RowSet set) {
    const auto settings = target.m_settings.Get();
    if (!target.m_backend.CheckPrefix(settings->m_strPreName)) return BackendOutcome::Failed;
    const int towerID = target.m_assignments.TowerIDOf(record.m_nRTUID);
    return SaveRow(target.m_backend, record, set, *settings, towerID,
                   RowValues(record, set, *settings));
}

bool IsWritten(BackendOutcome outcome) {
    return outcome == BackendOutcome::Done || outcome == BackendOutcome::AlreadyPresent;
}

}  // namespace

BackendOutcome SaveRTTower(const CBackendTarget& target, const CTowerRecord& record) {
    return SaveRow(target, record, RowSet::TenMinute);
}

BackendOutcome SaveTowerHis(const CBackendTarget& target, const CTowerRecord& record) {
    if (!IsFullHour(record.m_tTime)) return BackendOutcome::Done;
    return SaveRow(target, record, RowSet::Hourly);
}

BackendOutcome SaveTowerRecord(const CBackendTarget& target, const CTowerRecord& record) {
    const auto settings = target.m_settings.Get();
    if (!target.m_backend.CheckPrefix(settings->m_strPreName)) return BackendOutcome::Failed;
    const int towerID = target.m_assignments.TowerIDOf(record.m_nRTUID);
    const bool withHourly = settings->WithHourlyRows();
    const std::vector<ColumnValue> tenMinute = RowValues(record, RowSet::TenMinute, *settings);
    const std::vector<ColumnValue> hourly = withHourly && IsFullHour(record.m_tTime)
                                                ? RowValues(record, RowSet::Hourly, *settings)
                                                : std::vector<ColumnValue>{};
    CBackendTransaction transaction(target.m_backend);
    BackendOutcome outcome =
        SaveRow(target.m_backend, record, RowSet::TenMinute, *settings, towerID, tenMinute);
    if (IsWritten(outcome) && withHourly) {
        // A kill here must leave neither row: the transaction is not committed yet.
        System::KillPoint("backend-between");
        if (IsFullHour(record.m_tTime)) {
            outcome = SaveRow(target.m_backend, record, RowSet::Hourly, *settings, towerID, hourly);
        }
    }
    if (IsWritten(outcome) && !transaction.Commit()) {
        // A commit that lost its connection refused nothing: the backend went away.
        outcome = target.m_backend.IsConnected() ? BackendOutcome::Failed : BackendOutcome::NotRun;
    }
    return outcome;
}
