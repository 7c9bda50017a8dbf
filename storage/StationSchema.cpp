#include "storage/StationSchema.h"

#include <set>
#include <vector>

#include "model/Catalogue.h"
#include "platform/OdbcHandles.h"
#include "platform/OdbcQuery.h"

namespace StationSchema {

namespace {

// SQLite's native error for a file that is not a database.
constexpr SQLINTEGER kSqliteNotADatabase = 26;

SQLINTEGER NativeError(SQLHSTMT hstmt) {
    SQLCHAR state[6] = {};
    SQLINTEGER native = 0;
    SQLCHAR message[256];
    SQLSMALLINT length = 0;
    if (!Odbc::Succeeded(SQLGetDiagRec(SQL_HANDLE_STMT, hstmt, 1, state, &native, message,
                                       sizeof message, &length))) {
        return 0;
    }
    return native;
}

}  // namespace

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

std::string CreateConfirmed() {
    return std::string("CREATE TABLE IF NOT EXISTS ") + kConfirmed + " (UPTO DATETIME)";
}

std::string CreateRefill() {
    return std::string("CREATE TABLE IF NOT EXISTS ") + kRefill +
           " (FROMTIME DATETIME, TOTIME DATETIME)";
}

std::string CreateQuarantine() {
    return std::string("CREATE TABLE IF NOT EXISTS ") + kQuarantine +
           " (TIME DATETIME, HOURLY INT, REASON VARCHAR(" + std::to_string(kReasonLength) +
           "), NOTED DATETIME)";
}

TablesCheck MakeMissingTables(SQLHDBC hdbc) {
    std::set<std::string> present;
    {
        OdbcStatement stmt = Odbc::AllocStatement(hdbc);
        if (!stmt) return TablesCheck::Unknown;
        const SQLRETURN rc =
            Odbc::QueryOn(stmt.Get(), "SELECT UPPER(name) FROM sqlite_master WHERE type = 'table'",
                          [&](const OdbcRow& row) { present.insert(row.Text(1)); });
        if (!Odbc::Succeeded(rc)) {
            return NativeError(stmt.Get()) == kSqliteNotADatabase ? TablesCheck::NotADatabase
                                                                  : TablesCheck::Unknown;
        }
    }
    // A new file has no confirmed time: every row it gets is compared with the backend
    // until one is written.
    const std::pair<const char*, std::vector<std::string>> tables[] = {
        {kConfirmed, {CreateConfirmed()}},
        {"RTTOWER", {CreateRTTower(), kIndexRTTower}},
        {"HSTOWER", {CreateHSTower(), kIndexHSTower}},
        {kRefill, {CreateRefill()}},
        {kQuarantine, {CreateQuarantine()}},
    };
    for (const auto& [name, texts] : tables) {
        if (present.count(name) != 0) continue;
        for (const std::string& text : texts) Odbc::ExecDirect(hdbc, text);
    }
    return TablesCheck::Ready;
}

}  // namespace StationSchema
