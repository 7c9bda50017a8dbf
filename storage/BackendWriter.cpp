#include "storage/BackendWriter.h"

#include <cmath>
#include <cstdio>
#include <string>

#include "hostlib/VktBase.h"
#include "model/AssignmentStore.h"
#include "model/Catalogue.h"
#include "storage/BackendDB.h"
#include "storage/WPSettings.h"

namespace {

constexpr const char* kTenMinuteTable = "FD_RUN_RTTOWER";
constexpr const char* kHourlyTable = "FD_RUN_TOWERHIS";
constexpr int kHourlyType = 1;

enum class RowSet { TenMinute, Hourly };

std::string Number(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

std::string TimeText(const DateTime& time) { return time.Format("%Y-%m-%d %H:%M:%S"); }

std::string TimeLiteral(const DateTime& time) { return "{ts '" + TimeText(time) + "'}"; }

std::string TableName(const std::string& prefix, const char* table) {
    return prefix.empty() ? std::string(table) : prefix + "." + table;
}

bool IsFullHour(const DateTime& time) { return time.GetMinute() == 0 && time.GetSecond() == 0; }

bool IsAbnormal(int32_t status) { return (status % 10000) / 1000 > 2; }

// Whether the item is written into a row of the set.
bool IsSelected(const CDataItem& item, RowSet set, bool saveAbnormal) {
    if (IsAbnormal(item.m_nStatus) && !saveAbnormal) return false;
    // A value that is not a number would turn the whole statement into an error.
    if (!std::isfinite(item.m_fValue)) return false;
    const bool hourly = item.m_nDataID >= kFirstHourlyID;
    return set == RowSet::Hourly ? hourly : !hourly;
}

// Rainfall of the past hour from the rain counter: now minus one hour ago, never
// below 0; 0 without a stored sample.
double HourlyRain(const CDataItem& item, const DateTime& recordTime) {
    float rain = 0.0f;
    const auto sample =
        GetSensorDataByTime(item.m_nSensorID, recordTime - DateTimeSpan(0, 1, 0, 0), 1);
    if (sample && std::isfinite(sample->m_fValue)) rain = item.m_fValue - sample->m_fValue;
    return rain < 0.0f ? 0.0 : static_cast<double>(rain);
}

// One column and its value text, in the order the row receives them.
struct ColumnValue {
    std::string column;
    std::string value;
};

// The columns a record gives a row of the set, with the derived RAIN and MAXTM values.
std::vector<ColumnValue> RowValues(const CTowerRecord& record, RowSet set, bool saveAbnormal) {
    std::vector<ColumnValue> values;
    const std::string rainColumn = GetColumnName(kRainID);
    for (const CDataItem& item : record.m_arItems) {
        if (!IsSelected(item, set, saveAbnormal)) continue;
        const std::string column = GetColumnName(item.m_nDataID);
        if (!column.empty()) values.push_back({column, Number(item.m_fValue)});
        if (set == RowSet::TenMinute && item.m_nDataID == kCycleID &&
            IsFullHour(record.m_tTime) && !rainColumn.empty()) {
            values.push_back({rainColumn, Number(HourlyRain(item, record.m_tTime))});
        }
        if (set == RowSet::Hourly && item.m_nKind == 8 && item.m_nDataID >= kFirstExtremeID &&
            item.m_tTime.IsValid()) {
            const std::string timeColumn = GetColumnName(item.m_nDataID + kExtremeTimeOffset);
            if (!timeColumn.empty()) values.push_back({timeColumn, TimeLiteral(item.m_tTime)});
        }
    }
    return values;
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
