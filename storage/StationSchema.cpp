#include "storage/StationSchema.h"

#include "model/Catalogue.h"

namespace StationSchema {

namespace {

constexpr const char* kHead = "WP_";
constexpr const char* kTail = ".MDB";

}  // namespace

std::string FileName(int32_t nRTUID) {
    return kHead + std::to_string(nRTUID) + kTail;
}

std::string FilePath(const std::string& workingDir, int32_t nRTUID) {
    return workingDir + "/" + kFolder + "/" + FileName(nRTUID);
}

int32_t RtuOfFileName(const std::string& name) {
    const std::string head = kHead, tail = kTail;
    if (name.size() <= head.size() + tail.size() || name.rfind(head, 0) != 0 ||
        name.compare(name.size() - tail.size(), tail.size(), tail) != 0) {
        return 0;
    }
    const std::string digits = name.substr(head.size(), name.size() - head.size() - tail.size());
    if (digits.find_first_not_of("0123456789") != std::string::npos || digits.size() > 9) return 0;
    return static_cast<int32_t>(std::stol(digits));
}

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
