#include "storage/BackendWriter.h"

#include <string>

#include "hostlib/VktBase.h"
#include "model/AssignmentStore.h"
#include "model/Catalogue.h"
#include "storage/BackendDB.h"
#include "storage/TowerRow.h"
#include "storage/WPSettings.h"

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

bool RowExists(const std::string& prefix, int towerID, const DateTime& time, RowSet set) {
    if (set == RowSet::TenMinute) {
        return BackendRowExists("SELECT TOWERID,TIME FROM " + TableName(prefix, kTenMinuteTable) +
                                " WHERE TOWERID = " + std::to_string(towerID) +
                                " AND TIME = " + TimeLiteral(time));
    }
    return BackendRowExists("SELECT TOWERID,TIME,TYPE FROM " + TableName(prefix, kHourlyTable) +
                            KeyCondition(towerID, time, set));
}

void InsertRow(const CTowerRecord& record, RowSet set, const CWPSettings& settings, int towerID) {
    const bool hourly = set == RowSet::Hourly;
    ExecBackendSQL(InsertStatement("INSERT INTO " + TableName(settings.m_strPreName, TableOf(set)) +
                                       (hourly ? "(TOWERID,TIME,TYPE," : "(TOWERID,TIME,"),
                                   " VALUES(" + std::to_string(towerID) + "," +
                                       TimeLiteral(record.m_tTime) + "," +
                                       (hourly ? std::to_string(kHourlyType) + "," : ""),
                                   RowValues(record, set, settings)));
}

void UpdateRow(const CTowerRecord& record, RowSet set, const CWPSettings& settings, int towerID) {
    std::string assignments = Assignments(RowValues(record, set, settings));
    if (assignments.empty()) return;  // nothing to update: no statement
    assignments.pop_back();
    ExecBackendSQL("UPDATE " + TableName(settings.m_strPreName, TableOf(set)) + " SET " +
                   assignments + KeyCondition(towerID, record.m_tTime, set));
}

// One settings set and one tower id serve the query and the statement after it.
void SaveRow(const CTowerRecord& record, RowSet set) {
    const auto settings = WPSettings::Get();
    const int towerID = TowerIDOf(record.m_nRTUID);
    if (RowExists(settings->m_strPreName, towerID, record.m_tTime, set)) {
        UpdateRow(record, set, *settings, towerID);
    } else {
        InsertRow(record, set, *settings, towerID);
    }
}

void UpdateRowNow(const CTowerRecord& record, RowSet set) {
    UpdateRow(record, set, *WPSettings::Get(), TowerIDOf(record.m_nRTUID));
}

}  // namespace

int TowerIDOf(int32_t nRTUID) {
    const int wpid = GetTowerID(nRTUID);
    return wpid == -1 ? nRTUID : wpid;
}

void SaveRTTower(const CTowerRecord& record) {
    SaveRow(record, RowSet::TenMinute);
}

void UpdateRTTower(const CTowerRecord& record) {
    UpdateRowNow(record, RowSet::TenMinute);
}

void SaveTowerHis(const CTowerRecord& record) {
    if (IsFullHour(record.m_tTime)) SaveRow(record, RowSet::Hourly);
}

void UpdateTowerHis(const CTowerRecord& record) {
    if (IsFullHour(record.m_tTime)) UpdateRowNow(record, RowSet::Hourly);
}
