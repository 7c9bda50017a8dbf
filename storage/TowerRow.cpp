#include "storage/TowerRow.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>

#include "hostlib/VktBase.h"
#include "model/Catalogue.h"

namespace {

bool IsAbnormal(int32_t status) {
    return (status % 10000) / 1000 > 2;
}

bool IsSelected(const CDataItem& item, RowSet set, const RowRules& rules) {
    if (rules.skipAbnormal && IsAbnormal(item.m_nStatus)) return false;
    // A value that is not a number would turn the whole statement into an error.
    if (!std::isfinite(item.m_fValue)) return false;
    const bool hourly = item.m_nDataID >= kFirstHourlyID;
    return set == RowSet::Hourly ? hourly : !hourly;
}

// Rainfall of the past hour from the rain counter: now minus one hour ago, 0 when
// that is not a number of at least 0 or when no sample was stored an hour ago.
double HourlyRain(const CDataItem& item, const DateTime& recordTime, int sampleFlag) {
    float rain = 0.0f;
    const auto sample =
        GetSensorDataByTime(item.m_nSensorID, recordTime - DateTimeSpan(0, 1, 0, 0), sampleFlag);
    if (sample) rain = item.m_fValue - sample->m_fValue;
    if (!(rain >= 0.0f) || !std::isfinite(rain)) rain = 0.0f;
    return static_cast<double>(rain);
}

}  // namespace

std::string InsertStatement(std::string columns, std::string values,
                            const std::vector<ColumnValue>& row) {
    for (const ColumnValue& cv : row) {
        columns += cv.column + ",";
        values += cv.value + ",";
    }
    columns.back() = ')';
    values.back() = ')';
    return columns + values;
}

std::string Assignments(const std::vector<ColumnValue>& row) {
    std::string text;
    for (const ColumnValue& cv : row) text += cv.column + "=" + cv.value + ",";
    return text;
}

std::string NumberText(double value) {
    // The same text as printf's "%g", without going through the formatting machinery.
    char text[64];
    const auto result =
        std::to_chars(text, text + sizeof text, value, std::chars_format::general, 6);
    return std::string(text, result.ptr);
}

bool IsFullHour(const DateTime& time) {
    return time.GetMinute() == 0 && time.GetSecond() == 0;
}

std::vector<ColumnValue> TowerRowValues(const CDataFrame& record, RowSet set,
                                        const RowRules& rules) {
    std::vector<ColumnValue> values;
    const std::string rainColumn = GetColumnName(kRainID);
    for (const CDataItem& item : record.m_arItems) {
        if (!IsSelected(item, set, rules)) continue;
        const std::string column = GetColumnName(item.m_nDataID);
        if (!column.empty()) values.push_back({column, NumberText(item.m_fValue)});
        if (set == RowSet::TenMinute && rules.withRain && item.m_nDataID == kCycleID &&
            IsFullHour(record.m_tTime) && !rainColumn.empty()) {
            values.push_back(
                {rainColumn, NumberText(HourlyRain(item, record.m_tTime, rules.sampleFlag))});
        }
        if (set == RowSet::Hourly && item.m_nKind == 8 && item.m_nDataID >= kFirstExtremeID &&
            item.m_nDataID <= INT32_MAX - kExtremeTimeOffset && item.m_tTime.IsValid()) {
            const std::string timeColumn = GetColumnName(item.m_nDataID + kExtremeTimeOffset);
            if (!timeColumn.empty()) values.push_back({timeColumn, TimeLiteral(item.m_tTime)});
        }
    }
    return values;
}
