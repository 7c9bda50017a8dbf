#pragma once

#include <string>
#include <vector>

#include "platform/DateTime.h"
#include "platform/SqlText.h"
#include "hostlib/VktRecords.h"

// What one tower record contributes to a row of the tower tables, shared by the
// backend and the station writers.

enum class RowSet { TenMinute, Hourly };

// One column and its value text, in the order the row receives them.
struct ColumnValue {
    std::string column;
    std::string value;
};

struct RowRules {
    bool skipAbnormal = false;  // leave out items whose status marks them abnormal
    bool withRain = true;       // at full hours, RAIN from the counter (10-minute rows)
    int sampleFlag = 0;         // the history kind asked for the counter an hour earlier
};

// The columns of the set that the record's items give, in item order: each item's own
// column, RAIN right after CYCLE, and an extreme's time right after its value. An
// item whose value is not a finite number contributes nothing.
std::vector<ColumnValue> TowerRowValues(const CDataFrame& record, RowSet set,
                                        const RowRules& rules);

// The insert statement from its two heads, which end in the key columns and key
// values each followed by a comma: every column and value is appended, and the last
// comma of each list (also the one after the keys when the row brings nothing)
// becomes ")".
std::string InsertStatement(std::string columns, std::string values,
                            const std::vector<ColumnValue>& row);
// "COLUMN=value,COLUMN=value,…" with a trailing comma; empty for an empty row.
std::string Assignments(const std::vector<ColumnValue>& row);

// "%g" of the value.
std::string NumberText(double value);
// Minute and second both 0.
bool IsFullHour(const DateTime& time);
