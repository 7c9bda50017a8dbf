// The host's main window under the offscreen platform.
#include <gtest/gtest.h>

#include <QAction>
#include <QLabel>
#include <QListWidget>
#include <QMenuBar>
#include <QTableWidget>
#include <thread>

#include "host/gui/HostWindow.h"
#include "host/gui/TowerChart.h"
#include "hostlib/HostSide.h"
#include "hostlib/VktBase.h"
#include "platform/OdbcHandles.h"
#include "tests/support/QtTestSupport.h"
#include "tests/support/TestHost.h"

namespace {

CDataFrame FrameOf(int rtu, const DateTime& time, float speed) {
    CDataFrame frame;
    frame.m_nRTUID = rtu;
    frame.m_nKind = 1;
    frame.m_tTime = time;
    CDataItem item;
    item.m_nSensorID = rtu * 100000 + 7000;
    item.m_nDataID = 7000;
    item.m_tTime = time;
    item.m_fValue = speed;
    frame.m_arItems.push_back(item);
    return frame;
}

// Lines and frames handed over on another thread show at the next refresh.
TEST(HostWindowTest, MessagesAndAcquiredFramesShowAtTheNextRefresh) {
    TestApplication();
    TestHost host;
    CHostWindow window({});
    ASSERT_EQ(window.Rtus().rowCount(), 5) << "every RTU of the catalogue";
    const CDataFrame frame = FrameOf(3, DateTime(2009, 3, 12, 14, 10, 0), 5.5f);
    std::thread acquisition([&] {
        VktHost::RecordAcquiredFrame(frame);
        window.NoteFrame(frame);
        window.PostMessage("WP Error SQL: SELECT 1\n");
    });
    acquisition.join();
    window.Refresh();
    ASSERT_EQ(window.Messages().count(), 1);
    EXPECT_TRUE(window.Messages().item(0)->text().endsWith("  WP Error SQL: SELECT 1"));
    const int row = 2;  // RTU 3
    EXPECT_NE(window.Rtus().item(row, 3)->text(), "-") << "the state time";
    EXPECT_EQ(window.Rtus().item(row, 4)->text(), "2009-03-12 14:10:00  7000=5.5");
    EXPECT_EQ(window.Rtus().item(0, 3)->text(), "-") << "RTU 1 acquired nothing";
}

// The menu's three entries reach the plug-in's exports on the window's own thread.
TEST(HostWindowTest, MenuEntriesCallTheExportsOnTheUserInterfaceThread) {
    TestApplication();
    TestHost host;
    std::vector<std::pair<std::string, std::thread::id>> calls;
    auto record = [&](const char* name) {
        return [&calls, name] { calls.emplace_back(name, std::this_thread::get_id()); };
    };
    CHostWindow window({record("EditProperty"), record("OutLocalData"), record("CloseAccess")});
    QMenu* plugin = window.menuBar()->actions().front()->menu();
    ASSERT_NE(plugin, nullptr);
    for (QAction* action : plugin->actions()) action->trigger();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].first, "EditProperty");
    EXPECT_EQ(calls[1].first, "OutLocalData");
    EXPECT_EQ(calls[2].first, "CloseAccess");
    for (const auto& call : calls) EXPECT_EQ(call.second, std::this_thread::get_id());
}

TEST(HostWindowTest, SelectingARowChartsThatTower) {
    TestApplication();
    TestHost host;
    CHostWindow window({});
    window.Rtus().selectRow(3);
    EXPECT_EQ(window.Chart().Tower(), 12);
    window.Rtus().selectRow(0);
    EXPECT_EQ(window.Chart().Tower(), 1);
}

// The chart reads the tower's last day before its newest row from the backend: every
// 10-minute row of each level's mean speed, the rainfall at full hours only.
TEST(HostWindowTest, TheChartShowsTheLastDayOfTheBackend) {
    TestApplication();
    TestHost host;
    OdbcConnection backend;
    ASSERT_TRUE(backend.Connect("DAVAD", "fd", "wendol", kLoginTimeoutSeconds));
    const DateTime first(2009, 3, 11, 0, 0, 0);
    for (int step = 0; step < 30 * 6; ++step) {
        const DateTime time = first + DateTimeSpan(0, 0, 10 * step, 0);
        const bool fullHour = time.GetMinute() == 0;
        Odbc::ExecDirect(
            backend.Get(),
            "INSERT INTO FD_RUN_RTTOWER(TOWERID,TIME,V1AVGSP,V2AVGSP,RAIN) VALUES(1,'" +
                time.Format() + "',5,6," + (fullHour ? "0.2" : "NULL") + ")");
    }
    CTowerChart chart;
    chart.ShowTower(1);
    EXPECT_EQ(chart.SpeedPoints(1), 144);
    EXPECT_EQ(chart.SpeedPoints(2), 144);
    EXPECT_EQ(chart.SpeedPoints(3), 0) << "a level without values";
    EXPECT_EQ(chart.RainPoints(), 24);
    chart.ShowTower(2);
    EXPECT_EQ(chart.SpeedPoints(1), 0) << "another tower has no rows";
}

}  // namespace
