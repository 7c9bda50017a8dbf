// The series of the tower chart as read from the stores, without a window.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "host/gui/TowerSeries.h"
#include "hostlib/VktBase.h"
#include "platform/DateTime.h"
#include "platform/OdbcHandles.h"
#include "platform/OdbcQuery.h"
#include "storage/StationSchema.h"
#include "tests/support/TestHost.h"

namespace {

// The tower's last day before its newest row from the backend, and from the station
// file where the backend lacks rows: points for each level the tower has, the rainfall
// at full hours; without rows the text why.
TEST(TowerSeriesTest, ATowersSeriesHaveTheLevelsItHasOrWhyTheyAreEmpty) {
    // Ten-minute rows of `hours` up to `end`, the given levels, rainfall at full hours.
    auto fill = [](SQLHDBC connection, const std::string& table, int tower, int levels,
                   const DateTime& end, int hours) {
        for (int step = 0; step < hours * 6; ++step) {
            const DateTime time = end - DateTimeSpan(0, 0, 10 * step, 0);
            std::string columns = "TIME", values = "'" + time.Format() + "'";
            if (tower > 0) {
                columns += ",TOWERID";
                values += "," + std::to_string(tower);
            }
            for (int level = 1; level <= levels; ++level) {
                columns += ",V" + std::to_string(level) + "AVGSP";
                values += "," + std::to_string(4 + level);
            }
            columns += ",RAIN";
            values += time.GetMinute() == 0 ? ",0.2" : ",-99";
            Odbc::ExecDirect(connection,
                             "INSERT INTO " + table + "(" + columns + ") VALUES(" + values + ")");
        }
    };
    const DateTime newest(2009, 3, 12, 0, 0, 0), older(2009, 3, 2, 0, 0, 0);
    auto stationFile = [&](int rtu, int levels) {
        std::filesystem::create_directories("WPData");
        OdbcConnection station;
        ASSERT_TRUE(station.DriverConnect(
            Odbc::SqliteConnectionString("WPData/WP_" + std::to_string(rtu) + ".MDB"), 10));
        Odbc::ExecDirect(station.Get(), StationSchema::CreateRTTower());
        fill(station.Get(), "RTTOWER", 0, levels, newest, 20 * 24);
    };
    auto backendRows = [&](int tower, int levels, const DateTime& end, int hours) {
        OdbcConnection backend;
        ASSERT_TRUE(backend.Connect("DAVAD", "fd", "wendol", kLoginTimeoutSeconds));
        fill(backend.Get(), "FD_RUN_RTTOWER", tower, levels, end, hours);
    };
    auto noBackend = [] { std::ofstream("WPDB.ini") << "[DATABASE]\nSOURCENAME=NO_SUCH_SOURCE\n"; };
    const struct {
        const char* name;
        std::function<void()> setUp;
        int rtu;
        int levels;          // with points
        const char* empty;   // the text instead of the axes
        const char* source;  // in the description
    } cases[] = {
        {"backend, 5 levels", [&] { backendRows(1, 5, newest, 48); }, 1, 5, "", "后台库 144 行"},
        {"no rows anywhere", [] {}, 2, 0, "无数据", "无数据"},
        {"backend rows end ten days before the station file's",
         [&] {
             backendRows(3, 7, older, 24);
             stationFile(3, 3);
         },
         3, 3, "", "单站库 144 行 (后台库无此时段的行)"},
        {"backend has the last half day",
         [&] {
             backendRows(3, 7, newest, 12);
             stationFile(3, 3);
         },
         3, 7, "", "后台库 72 行, 单站库补 72 行"},
        {"backend unreachable, station file with 4 levels",
         [&] {
             noBackend();
             stationFile(12, 4);
         },
         12, 4, "", "单站库 144 行 (后台库不可达)"},
        {"backend unreachable, no station file", noBackend, 1, 0, "后台库不可达", "后台库不可达"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TestHost host;
        c.setUp();
        const TowerSeries series = CTowerSeriesModel().Read(c.rtu);
        for (int level = 1; level <= 7; ++level) {
            EXPECT_EQ(!series.speeds[level - 1].isEmpty(), level <= c.levels) << level;
        }
        EXPECT_EQ(series.rain.size(), c.levels > 0 ? 24 : 0);
        EXPECT_EQ(series.emptyText.left(QString::fromUtf8(c.empty).size()),
                  QString::fromUtf8(c.empty));
        EXPECT_EQ(series.emptyText.isEmpty(), *c.empty == '\0') << series.emptyText.toStdString();
        EXPECT_TRUE(series.description.contains(QString::fromUtf8(c.source)))
            << series.description.toStdString();
    }
}

}  // namespace
