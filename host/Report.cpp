#include "host/Report.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <vector>

#include "host/HostDirectory.h"
#include "host/PluginBackend.h"
#include "hostlib/StationFiles.h"
#include "hostlib/VktBase.h"
#include "platform/BackendConnectionString.h"
#include "platform/IniFile.h"
#include "platform/OdbcQuery.h"
#include "platform/SqlText.h"
#include "plugin/ConfigFile.h"

namespace fs = std::filesystem;

namespace Report {

namespace {

std::string QueryScalar(SQLHDBC hdbc, const std::string& sql) {
    return Odbc::QueryText(hdbc, sql).value_or("?");
}

// The newest row of the table as "NAME=value" pairs, leaving out empty and -99 values.
std::string NewestRow(SQLHDBC hdbc, const std::string& table) {
    OdbcStatement stmt = Odbc::AllocStatement(hdbc);
    if (!stmt ||
        !Odbc::Succeeded(
            Odbc::ExecOn(stmt.Get(), "SELECT * FROM " + table + " ORDER BY TIME DESC LIMIT 1")) ||
        !Odbc::FetchRow(stmt.Get())) {
        return "(none)";
    }
    const OdbcRow newest(stmt.Get());
    SQLSMALLINT columns = 0;
    SQLNumResultCols(stmt.Get(), &columns);
    std::string row;
    int shown = 0;
    constexpr int kShownColumns = 16;  // enough to recognise the row
    for (SQLUSMALLINT c = 1; c <= columns; ++c) {
        SQLCHAR name[128];
        SQLSMALLINT nameLength = 0, type = 0, digits = 0, nullable = 0;
        SQLULEN size = 0;
        SQLDescribeCol(stmt.Get(), c, name, sizeof name, &nameLength, &type, &size, &digits,
                       &nullable);
        const std::string value = newest.Text(c);
        if (value.empty() || value == "-99" || value == "-99.0") continue;
        if (++shown > kShownColumns) {
            row += ", …";
            break;
        }
        if (!row.empty()) row += ", ";
        row += std::string(reinterpret_cast<char*>(name)) + "=" + value;
    }
    return row;
}

void PrintTables(SQLHDBC hdbc, const std::string& prefix, const std::vector<std::string>& tables) {
    for (const std::string& table : tables) {
        const std::string name = PrefixedTable(prefix, table);
        std::printf("  %s: %s rows\n", name.c_str(),
                    QueryScalar(hdbc, "SELECT COUNT(*) FROM " + name).c_str());
        std::printf("    newest: %s\n", NewestRow(hdbc, name).c_str());
    }
}

// ", file PATH" (with whether it is missing) for a data source that names a file.
std::string DataSourceFile(const std::string& source) {
    const std::string file = IniFile::GetString("odbc/odbc.ini", source.c_str(), "Database", "");
    if (file.empty() || file[0] != '/') return {};
    std::error_code ec;
    return " (data source " + source + ": file " + file +
           (fs::exists(file, ec) ? "" : ", which does not exist") + ")";
}

void PrintBackend() {
    const PluginBackend backend = ReadPluginBackend();
    std::printf("backend database (data source %s):\n", backend.source.c_str());
    // The prefix goes into the statements only as the plug-in would write it there.
    if (!IsSchemaPrefix(backend.prefix)) {
        std::printf(
            "  the schema prefix [DATABASE] PRENAME \"%s\" is not an SQL name; the "
            "backend tables are not read\n",
            Odbc::LogText(backend.prefix).c_str());
        return;
    }
    // As the plug-in connects: to a server that takes writes, never a standby behind it.
    std::string error;
    const std::string text =
        BackendConnection::ConnectionString(backend.source, backend.user, backend.password,
                                            Odbc::DataSourceValue(backend.source, "pqopt"), error);
    OdbcConnection connection;
    if (text.empty() || !connection.DriverConnect(text, kLoginTimeoutSeconds)) {
        std::printf("  cannot connect: %s%s\n",
                    text.empty() ? error.c_str() : connection.LastError().c_str(),
                    DataSourceFile(backend.source).c_str());
        return;
    }
    PrintTables(connection.Get(), backend.prefix, {"FD_RUN_RTTOWER", "FD_RUN_TOWERHIS"});
}

// The rows the backend refused, which the plug-in keeps in the station file (table
// QUARANTINE), and the latest refusal.
void PrintQuarantine(SQLHDBC hdbc) {
    const auto count = Odbc::QueryText(hdbc, "SELECT COUNT(*) FROM QUARANTINE");
    if (!count || *count == "0") return;  // no table: nothing was ever refused
    std::printf("  rows the backend refused (QUARANTINE): %s\n", count->c_str());
    OdbcStatement stmt = Odbc::AllocStatement(hdbc);
    if (!stmt ||
        !Odbc::Succeeded(Odbc::ExecOn(stmt.Get(),
                                      "SELECT NOTED, TIME, HOURLY, REASON FROM QUARANTINE "
                                      "ORDER BY NOTED DESC, TIME DESC LIMIT 1")) ||
        !Odbc::FetchRow(stmt.Get())) {
        return;
    }
    const OdbcRow latest(stmt.Get());
    std::printf(
        "    latest: noted %s, row %s of %s: %s\n", latest.Text(1).c_str(), latest.Text(2).c_str(),
        latest.Text(3) == "1" ? "FD_RUN_TOWERHIS" : "FD_RUN_RTTOWER", latest.Text(4).c_str());
}

void PrintStations(const std::string& dir) {
    std::vector<fs::path> files;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(fs::path(dir) / StationFiles::kFolder, ec)) {
        if (entry.path().extension() == ".MDB") files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    std::printf("station databases: %zu\n", files.size());
    for (const fs::path& file : files) {
        std::printf(" %s\n", fs::relative(file, dir).generic_string().c_str());
        OdbcConnection connection;
        if (!connection.DriverConnect(Odbc::SqliteConnectionString(file.string()),
                                      kLoginTimeoutSeconds)) {
            std::printf("  cannot open: %s\n", connection.LastError().c_str());
            continue;
        }
        PrintTables(connection.Get(), "", {"RTTOWER", "HSTOWER"});
        PrintQuarantine(connection.Get());
    }
}

void PrintIsolationFiles(const std::string& dir) {
    const std::string isolationDir = IniFile::GetString(ConfigFile::kPath, "TXT", "DIR", dir);
    std::vector<fs::path> files;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(isolationDir, ec)) {
        if (entry.path().extension() == ".txt") files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    std::printf("reverse-isolation files in %s: %zu\n", isolationDir.c_str(), files.size());
    for (const fs::path& file : files) std::printf("  %s\n", file.filename().string().c_str());
    if (files.empty()) return;
    std::printf("  content of %s (CR LF shown as \\r\\n):\n",
                files.front().filename().string().c_str());
    std::FILE* in = std::fopen(files.front().string().c_str(), "rb");
    if (!in) return;
    std::string line = "    ";
    for (int c; (c = std::fgetc(in)) != EOF;) {
        if (c == '\r') {
            line += "\\r";
        } else if (c == '\n') {
            std::printf("%s\\n\n", line.c_str());
            line = "    ";
        } else {
            line += static_cast<char>(c);
        }
    }
    std::fclose(in);
    if (line != "    ") std::printf("%s\n", line.c_str());
}

}  // namespace

int Print(const std::string& dirArg) {
    const std::string dir = HostDirectory::Absolute(dirArg);
    std::string error;
    if (!HostDirectory::Enter(dir, error)) {
        std::fprintf(stderr, "vkthost: %s\n", error.c_str());
        return 1;
    }
    PrintBackend();
    PrintStations(dir);
    PrintIsolationFiles(dir);
    return 0;
}

}  // namespace Report
