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

std::vector<ColumnValue> RowValues(const CTowerRecord& record, RowSet set, bool saveAbnormal) {
    return TowerRowValues(record, set, RowRules{!saveAbnormal, true, 1});
}

std::string KeyCondition(int towerID, const DateTime& time, RowSet set) {
    std::string condition = " WHERE TOWERID=" + std::to_string(towerID) + " AND TIME=" +
                            TimeLiteral(time);
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

void InsertRow(const CTowerRecord& record, RowSet set) {
    const auto settings = WPSettings::Get();
    const int towerID = TowerIDOf(record.m_nRTUID);
    const bool hourly = set == RowSet::Hourly;
    std::string columns = "INSERT INTO " +
                          TableName(settings->m_strPreName, hourly ? kHourlyTable : kTenMinuteTable) +
                          (hourly ? "(TOWERID,TIME,TYPE," : "(TOWERID,TIME,");
    std::string values = " VALUES(" + std::to_string(towerID) + "," + TimeLiteral(record.m_tTime) +
                         "," + (hourly ? std::to_string(kHourlyType) + "," : "");
    for (const ColumnValue& cv : RowValues(record, set, settings->m_bSaveErrorData)) {
        columns += cv.column + ",";
        values += cv.value + ",";
    }
    // The last comma goes, also the one after TIME (or TYPE) when no item contributed.
    columns.back() = ')';
    values.back() = ')';
    ExecBackendSQL(columns + values);
}

void UpdateRow(const CTowerRecord& record, RowSet set) {
    const auto settings = WPSettings::Get();
    const std::vector<ColumnValue> values = RowValues(record, set, settings->m_bSaveErrorData);
    if (values.empty()) return;  // nothing to update: no statement
    std::string sql = "UPDATE " +
                      TableName(settings->m_strPreName,
                                set == RowSet::Hourly ? kHourlyTable : kTenMinuteTable) +
                      " SET ";
    for (const ColumnValue& cv : values) sql += cv.column + "=" + cv.value + ",";
    sql.pop_back();
    sql += KeyCondition(TowerIDOf(record.m_nRTUID), record.m_tTime, set);
    ExecBackendSQL(sql);
}

void SaveRow(const CTowerRecord& record, RowSet set) {
    const std::string prefix = WPSettings::Get()->m_strPreName;
    if (RowExists(prefix, TowerIDOf(record.m_nRTUID), record.m_tTime, set)) {
        UpdateRow(record, set);
    } else {
        InsertRow(record, set);
    }
}

}  // namespace

int TowerIDOf(int32_t nRTUID) {
    const int wpid = GetTowerID(nRTUID);
    return wpid == -1 ? nRTUID : wpid;
}

void SaveRTTower(const CTowerRecord& record) { SaveRow(record, RowSet::TenMinute); }

void UpdateRTTower(const CTowerRecord& record) { UpdateRow(record, RowSet::TenMinute); }

void SaveTowerHis(const CTowerRecord& record) {
    if (IsFullHour(record.m_tTime)) SaveRow(record, RowSet::Hourly);
}

void UpdateTowerHis(const CTowerRecord& record) {
    if (IsFullHour(record.m_tTime)) UpdateRow(record, RowSet::Hourly);
}
