#include "storage/TowerStatement.h"

#include "platform/SqlText.h"

namespace {

bool IsHourly(RowSet set) {
    return set == RowSet::Hourly;
}

std::string KeyCondition(int towerID, const DateTime& time, RowSet set) {
    return " WHERE TOWERID=" + std::to_string(towerID) + " AND TIME=" + TimeLiteral(time) +
           TowerTypeCondition(set);
}

}  // namespace

std::string TowerTableName(const std::string& prefix, RowSet set) {
    return PrefixedTable(prefix, IsHourly(set) ? "FD_RUN_TOWERHIS" : "FD_RUN_RTTOWER");
}

std::string TowerInsertHead(const std::string& name, RowSet set) {
    return "INSERT INTO " + name + (IsHourly(set) ? "(TOWERID,TIME,TYPE," : "(TOWERID,TIME,");
}

std::string TowerKeyValues(int towerID, const DateTime& time, RowSet set) {
    return " VALUES(" + std::to_string(towerID) + "," + TimeLiteral(time) + "," +
           (IsHourly(set) ? std::to_string(kHourlyType) + "," : "");
}

std::string TowerTypeCondition(RowSet set) {
    return IsHourly(set) ? " AND TYPE=" + std::to_string(kHourlyType) : "";
}

std::string TowerInsert(const std::string& name, int towerID, const DateTime& time, RowSet set,
                        const std::vector<ColumnValue>& values) {
    return InsertStatement(TowerInsertHead(name, set), TowerKeyValues(towerID, time, set), values);
}

std::string TowerUpdate(const std::string& name, int towerID, const DateTime& time, RowSet set,
                        std::string assignments) {
    if (assignments.empty()) return {};
    assignments.pop_back();
    return "UPDATE " + name + " SET " + assignments + KeyCondition(towerID, time, set);
}

std::string TowerExistsQuery(const std::string& name, int towerID, const DateTime& time,
                             RowSet set) {
    if (!IsHourly(set)) {
        return "SELECT TOWERID,TIME FROM " + name + " WHERE TOWERID = " + std::to_string(towerID) +
               " AND TIME = " + TimeLiteral(time);
    }
    return "SELECT TOWERID,TIME,TYPE FROM " + name + KeyCondition(towerID, time, set);
}

std::string TowerPresentQuery(const std::string& name, int towerID, const DateTime& from,
                              const DateTime& to, RowSet set) {
    return "SELECT TIME FROM " + name + " WHERE TOWERID=" + std::to_string(towerID) +
           " AND TIME > " + TimeLiteral(from) + " AND TIME <= " + TimeLiteral(to) +
           TowerTypeCondition(set);
}
