#pragma once
// What the tests that run a host program against a PostgreSQL backend of their own
// share: the host run, and the comparison of every station row with the backend.
// Header-only: VKT_HOST_PROGRAM is the including test's own definition.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "hostlib/StationFiles.h"
#include "hostlib/VktBase.h"
#include "model/Catalogue.h"
#include "platform/OdbcHandles.h"
#include "platform/OdbcQuery.h"
#include "tests/support/TestHost.h"

namespace station_rows {

// "tower|time[|type]" → "COLUMN=value …" of every value column of the row.
using Rows = std::map<std::string, std::string>;

// The station files mark a value the frame lacked -99, the backend NULL.
void ReadRows(const std::string& connectionString, const std::string& sql, int keys,
              const std::vector<ColumnDef>& columns, bool station, Rows& rows) {
    OdbcConnection connection;
    ASSERT_TRUE(connection.DriverConnect(connectionString, kLoginTimeoutSeconds));
    const SQLRETURN rc = Odbc::Query(connection.Get(), sql, [&](const OdbcRow& row) {
        std::string key, values;
        for (int i = 1; i <= keys; ++i) key += row.Text(static_cast<SQLUSMALLINT>(i)) + "|";
        for (size_t i = 0; i < columns.size(); ++i) {
            const auto column = static_cast<SQLUSMALLINT>(keys + 1 + i);
            const std::optional<double> number = row.Number(column);
            char text[32] = "NULL";
            if (columns[i].kind == ColumnKind::Time) {
                std::snprintf(text, sizeof text, "%.19s", row.Text(column).c_str());
            } else if (number && !(station && *number == -99.0)) {
                std::snprintf(text, sizeof text, "%.17g", *number);
            }
            values += columns[i].name + "=" + text + " ";
        }
        EXPECT_TRUE(rows.emplace(key, values).second) << "a key twice: " << key;
    });
    ASSERT_TRUE(Odbc::Succeeded(rc)) << sql;
}

}  // namespace station_rows

// Every row (10-minute and hourly) of the station files of `towers` is in the backend
// behind `backend` (a connection string) once, with every column equal; at least
// `atLeast` 10-minute rows.
inline void ExpectEveryStationRowIn(const std::string& backend, const TestHost& host,
                                    const std::vector<std::string>& towers, size_t atLeast) {
    using namespace station_rows;
    const struct {
        const char *station, *backend, *keys;
        int keyCount;  // with the tower
        const std::vector<ColumnDef>& columns;
    } tables[] = {
        {"RTTOWER", "FD_RUN_RTTOWER", "TIME", 2, TenMinuteColumns()},
        {"HSTOWER", "FD_RUN_TOWERHIS", "TIME, TYPE", 3, HourlyColumns()},
    };
    for (const auto& table : tables) {
        std::string columns;
        for (const ColumnDef& column : table.columns) columns += ", " + column.name;
        Rows inStations, inBackend;
        for (const std::string& tower : towers) {
            ReadRows(
                Odbc::SqliteConnectionString(StationFiles::FilePath(host.Dir(), std::stoi(tower))),
                "SELECT " + tower + ", " + table.keys + columns + " FROM " + table.station,
                table.keyCount, table.columns, true, inStations);
        }
        ReadRows(backend,
                 std::string("SELECT TOWERID, ") + table.keys + columns + " FROM " + table.backend,
                 table.keyCount, table.columns, false, inBackend);
        if (table.keyCount == 2) {
            EXPECT_GE(inStations.size(), atLeast);
        }
        long wrong = 0;
        for (const auto& [key, values] : inStations) {
            const auto found = inBackend.find(key);
            const std::string there = found == inBackend.end() ? "not there" : found->second;
            if (there != values && ++wrong <= 3) {
                ADD_FAILURE() << table.backend << " " << key << ": " << there
                              << "\nstation row: " << values;
            }
        }
        EXPECT_EQ(wrong, 0) << table.backend << ": rows missing or different";
        EXPECT_EQ(inBackend.size(), inStations.size()) << table.backend << ": rows of no station";
    }
}

// The host program simulating a mark every 0.2 s for each tower of the host, until
// Stop, which waits up to `drainSeconds` for the backend; killed at the end of the case
// if still running.
class SimulatingHost {
public:
    SimulatingHost(const TestHost& host, int drainSeconds) : m_output(host.Path("run.txt")) {
        const std::string drain = std::to_string(drainSeconds);
        m_pid = fork();
        if (m_pid != 0) return;
        std::freopen(m_output.c_str(), "w", stdout);
        std::freopen(m_output.c_str(), "a", stderr);
        execl(VKT_HOST_PROGRAM, "vkthost", "run", host.Dir().c_str(), "--simulate", "live:3000",
              "--now", "2009-03-10 00:00:00", "--drain", drain.c_str(), "--status", "1", "--plugin",
              std::getenv("VKT_PLUGIN"), nullptr);
        _exit(127);
    }
    ~SimulatingHost() {
        if (m_status != -1) return;
        kill(m_pid, SIGKILL);
        waitpid(m_pid, &m_status, 0);
    }
    // Stops the host as a service manager does; its exit code.
    int Stop() {
        kill(m_pid, SIGTERM);
        waitpid(m_pid, &m_status, 0);
        return WIFEXITED(m_status) ? WEXITSTATUS(m_status) : 128 + WTERMSIG(m_status);
    }
    std::string Output() const { return ReadWholeFile(m_output); }

private:
    std::string m_output;
    pid_t m_pid = -1;
    int m_status = -1;
};
