#include "storage/StationSchema.h"

#include "model/Catalogue.h"

namespace StationSchema {

std::string CreateRTTower() {
    std::string text = "CREATE TABLE RTTOWER ([TIME] DATETIME NOT NULL PRIMARY KEY";
    for (const ColumnDef& column : TenMinuteColumns())
        text += ", " + column.name + " FLOAT DEFAULT -99";
    return text + ")";
}

std::string CreateHSTower() {
    constexpr size_t kPerLevel = 5;
    std::string text = "CREATE TABLE HSTOWER ([TIME] DATETIME NOT NULL, TYPE INT NOT NULL";
    const auto& columns = HourlyColumns();
    for (size_t i = 0; i < columns.size(); ++i) {
        // Each height after the first starts on a tab-indented continuation.
        text += i % kPerLevel == 0 && i > 0 ? ", \t\t\t\t\t" : ", ";
        text += columns[i].name +
                (columns[i].kind == ColumnKind::Time ? " DATETIME" : " FLOAT DEFAULT -99");
    }
    return text + ", CONSTRAINT CSTRA PRIMARY KEY([TIME], TYPE))";
}

}  // namespace StationSchema
