#include "storage/BackendWriter.h"

#include <string>

#include "hostlib/VktBase.h"
#include "model/Catalogue.h"
#include "storage/BackendDB.h"
#include "storage/TowerRow.h"
#include "storage/WPContext.h"

namespace {

constexpr const char* kTenMinuteTable = "FD_RUN_RTTOWER";
constexpr const char* kHourlyTable = "FD_RUN_TOWERHIS";
constexpr int kHourlyType = 1;

std::string TableName(const std::string& prefix, const char* table) {
    return prefix.empty() ? std::string(table) : prefix + "." + table;
}

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

bool RowExists(CBackendDB& backend, const std::string& prefix, int towerID, const DateTime& time,
               RowSet set) {
    if (set == RowSet::TenMinute) {
        return backend.BackendRowExists(
            "SELECT TOWERID,TIME FROM " + TableName(prefix, kTenMinuteTable) +
            " WHERE TOWERID = " + std::to_string(towerID) + " AND TIME = " + TimeLiteral(time));
    }
    return backend.BackendRowExists("SELECT TOWERID,TIME,TYPE FROM " +
                                    TableName(prefix, kHourlyTable) +
                                    KeyCondition(towerID, time, set));
}

void InsertRow(CBackendDB& backend, const CTowerRecord& record, RowSet set,
               const CWPSettings& settings, int towerID) {
    const bool hourly = set == RowSet::Hourly;
    backend.ExecBackendSQL(
        InsertStatement("INSERT INTO " + TableName(settings.m_strPreName, TableOf(set)) +
                            (hourly ? "(TOWERID,TIME,TYPE," : "(TOWERID,TIME,"),
                        " VALUES(" + std::to_string(towerID) + "," + TimeLiteral(record.m_tTime) +
                            "," + (hourly ? std::to_string(kHourlyType) + "," : ""),
                        RowValues(record, set, settings)));
}

void UpdateRow(CBackendDB& backend, const CTowerRecord& record, RowSet set,
               const CWPSettings& settings, int towerID) {
    std::string assignments = Assignments(RowValues(record, set, settings));
    if (assignments.empty()) return;  // nothing to update: no statement
    assignments.pop_back();
    backend.ExecBackendSQL("UPDATE " + TableName(settings.m_strPreName, TableOf(set)) + " SET " +
                           assignments + KeyCondition(towerID, record.m_tTime, set));
}

// One settings set and one tower id serve the query and the statement after it.
void SaveRow(CWPContext& context, const CTowerRecord& record, RowSet set) {
    const auto settings = context.m_settings.Get();
    if (!context.m_backend.CheckPrefix(settings->m_strPreName)) return;
    const int towerID = context.m_assignments.TowerIDOf(record.m_nRTUID);
    if (RowExists(context.m_backend, settings->m_strPreName, towerID, record.m_tTime, set)) {
        UpdateRow(context.m_backend, record, set, *settings, towerID);
    } else {
        InsertRow(context.m_backend, record, set, *settings, towerID);
    }
}

}  // namespace

void SaveRTTower(CWPContext& context, const CTowerRecord& record) {
    SaveRow(context, record, RowSet::TenMinute);
}

void SaveTowerHis(CWPContext& context, const CTowerRecord& record) {
    if (IsFullHour(record.m_tTime)) SaveRow(context, record, RowSet::Hourly);
}
