// The host's main window under the offscreen platform.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAction>
#include <QLabel>
#include <QListWidget>
#include <QMainWindow>
#include <QMenuBar>
#include <QMessageBox>
#include <QRegularExpression>
#include <QScreen>
#include <QScrollArea>
#include <QSettings>
#include <QTimer>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "host/HostSession.h"
#include "host/gui/HostWindow.h"
#include "host/gui/RtuListModel.h"
#include "host/gui/TowerChart.h"
#include "hostlib/HostSide.h"
#include "hostlib/VktBase.h"
#include "platform/Clock.h"
#include "platform/ErrorLog.h"
#include "plugin/TypeRegistration.h"
#include "tests/support/QtTestSupport.h"
#include "tests/support/TestHost.h"
#include "tests/support/TowerData.h"

namespace {

struct Value {
    int id;
    float value;
};

QStringList MessageTexts(CHostWindow& window) {
    QStringList texts;
    for (int i = 0; i < window.Messages().count(); ++i) texts << window.Messages().item(i)->text();
    return texts;
}

// The plug-in's job and health figures as a test sets them.
struct FakeJobs : CPluginJobs {
    CJobSummary summary[2];
    std::vector<int> stops;
    int StartJob(int, const std::vector<int32_t>&, const DateTime&, const DateTime&,
                 WindowHandle) override {
        return -1;
    }
    void RequestStop(int kind) override { stops.push_back(kind); }
    CJobSummary Summary(int kind) override { return summary[kind]; }
    bool RenderDialogs(const std::string&) override { return false; }
};
struct FakeHealth : CPluginHealthSource {
    CPluginHealth health;
    CPluginHealth Health() override { return health; }
};
struct Offered {
    Offered(CPluginJobs* jobs, CPluginHealthSource* health) {
        OfferPluginJobs(jobs);
        OfferPluginHealth(health);
    }
    ~Offered() {
        OfferPluginJobs(nullptr);
        OfferPluginHealth(nullptr);
    }
};

// Values by level and quantity, with the names and units of the host's data types;
// a row quiet for two periods is greyed.
TEST(HostWindowTest, LatestValuesShowByLevelWithNamesAndUnits) {
    TestApplication();
    TestHost host;
    RegisterMissingTypes();  // what the plug-in registers at its start
    CHostWindow window({});
    ASSERT_EQ(window.Rtus().rowCount(), 5) << "every RTU of the catalogue";
    auto cell = [&](int row, int column, int role = Qt::DisplayRole) {
        return window.Rtus().data(window.Rtus().index(row, column), role);
    };
    const struct {
        Value value;
        const char* summary;  // in the cell, or null
        const char* details;  // in its tooltip
    } cases[] = {
        {{7000, 5.5f}, "1层 5.5 m/s 182°", "1层: 10分钟平均风速 5.5 m/s, 10分钟平均风向 182°"},
        {{7100, 182}, nullptr, "10分钟平均风向 182°, 10分钟风速标准差 0.45 m/s"},
        {{7200, 0.45f}, nullptr, "10分钟风速标准差 0.45 m/s"},
        {{7004, 8.25f}, "5层 8.3 m/s", "5层: 10分钟平均风速 8.25 m/s"},
        {{8000, 12.5f}, "最高层温度 12.5℃", "最高层温度 12.5℃"},
        {{2300, 1012.4f}, "气压 1012 hPa", "气压 1012.4 hPa"},
        {{100, 3.2f}, nullptr, "雨量计数 3.2 mm"},
        {{4242, 1}, nullptr, "数据4242 1"},
    };
    const DateTime time(2009, 3, 12, 14, 10, 0);
    std::vector<CDataItem> items;
    for (const auto& c : cases) items.push_back(PointOf(3, c.value.id, c.value.value, time));
    const CDataFrame frame = FrameOf(3, time, items);
    std::thread acquisition([&] {
        VktHost::RecordAcquiredFrame(frame);
        window.NoteFrame(frame);
    });
    acquisition.join();
    window.Refresh();
    const int row = 2;  // RTU 3
    EXPECT_NE(cell(row, 3).toString(), "-") << "the state time";
    const QString summary = cell(row, 4).toString();
    const QString details = cell(row, 4, Qt::ToolTipRole).toString();
    EXPECT_TRUE(summary.startsWith("14:10  1层")) << summary.toStdString();
    for (const auto& c : cases) {
        if (c.summary) {
            EXPECT_TRUE(summary.contains(QString::fromUtf8(c.summary))) << c.summary;
        }
        EXPECT_TRUE(details.contains(QString::fromUtf8(c.details))) << c.details << "\n"
                                                                    << details.toStdString();
    }
    EXPECT_EQ(cell(0, 3).toString(), "-") << "RTU 1 acquired nothing";
    EXPECT_FALSE(cell(row, 0, Qt::ForegroundRole).isValid()) << "not greyed";

    // Two periods later nothing has come: every row is greyed.
    ProcessClock::SetOffsetSeconds(ProcessClock::GetOffsetSeconds() +
                                   CHostWindow::kQuietPeriods * CHostWindow::kPeriodSeconds + 60);
    window.Refresh();
    ProcessClock::Reset();
    for (int r : {0, row}) {
        EXPECT_TRUE(cell(r, 1, Qt::ForegroundRole).isValid()) << r;
        EXPECT_TRUE(cell(r, 3, Qt::ToolTipRole).toString().contains(QString::fromUtf8("没有数据")));
    }
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

// Each event of the host and each line of the plug-in or its error log reaches the
// message window with its time, newest last and in view; store outages are red there,
// in the health panel and in the status bar.
TEST(HostWindowTest, TheMessageWindowTellsWhatHappens) {
    TestApplication();
    TestHost host;
    FakeJobs jobs;
    FakeHealth health;
    Offered offered(&jobs, &health);
    std::function<void()> dialogDoes;
    CHostWindow window({[&] { dialogDoes(); }, [&] { dialogDoes(); }, [] {}});
    window.show();
    QMenu* plugin = window.menuBar()->actions().front()->menu();
    auto menu = [&](int entry) { return [plugin, entry] { plugin->actions()[entry]->trigger(); }; };
    const DateTime lost = ProcessClock::Now();
    auto logged = [](const char* text) { return [text] { ErrorLog::Append(text); }; };
    const struct {
        const char* name;
        std::function<void()> dialog;  // what the plug-in's dialog does
        std::function<void()> act;
        const char* expected;
        bool alarm;
    } cases[] = {
        {"settings saved",
         [] { std::ofstream("WPDB.ini") << "[DATABASE]\nSOURCENAME=PG\nPASSWORD=secret\n"; },
         menu(0), "工作参数已保存到 WPDB.ini: DATABASE/PASSWORD=***, DATABASE/SOURCENAME=PG",
         false},
        {"settings cancelled", [] {}, menu(0), "工作参数未保存", false},
        {"stations closed", nullptr, menu(2), "单站数据库已关闭 (CloseAccess)", false},
        {"export dialog without a job", [] {}, menu(1), "没有开始作业", false},
        {"job started", [&] { jobs.summary[0].bBusy = true; }, menu(1), "本地数据导出开始", false},
        {"job ended", nullptr, [&] { jobs.summary[0] = {4, true, false, 120, 3, 0}; },
         "本地数据导出完成: 4 个单位, 复制 120 行, 已有 3 行, 失败 0 行", false},
        {"job stopped", nullptr, [&] { jobs.summary[1] = {2, false, false, 0, 0, 0}; },
         "时段雨量重算已停止: 2 个单位", false},
        {"backend lost", nullptr, [&] { health.health.backend.tOutageSince = lost; },
         "后台库中断 (自", true},
        {"backend back", nullptr, [&] { health.health.backend.tOutageSince = DateTime::Invalid(); },
         "后台库恢复", false},
        {"statement stalled", nullptr, [&] { health.health.station.tStalledSince = lost; },
         "单站库语句停滞", true},
        {"error log", nullptr, [] { ErrorLog::Append("Cannot connect\n\tIs the server running?"); },
         "错误日志: Cannot connect Is the server running?", true},
        // The storage layer's recovery lines are no errors; a refill with refused rows
        // and one left for the next start are.
        {"backend back in the log", nullptr,
         logged("The backend data source DAVAD answers again; 4"), "DAVAD answers again", false},
        {"refill in the log", nullptr, logged("144 rows refilled for tower 1 from 2009-03-12"),
         "144 rows refilled", false},
        {"refill with refused rows", nullptr,
         logged("3 rows refilled for tower 2; 1 refused, kept"), "3 rows refilled", true},
        {"refill at the next start", nullptr, logged("Shut-down bound; refilled at the next start"),
         "Shut-down bound", true},
        {"plug-in line", nullptr,
         [&] { std::thread([&] { window.PostMessage("WP Error SQL: SELECT 1\n"); }).join(); },
         "WP Error SQL: SELECT 1", false},
    };
    window.Refresh();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        dialogDoes = c.dialog;
        const int before = window.Messages().count();
        c.act();
        window.Refresh();
        const QStringList texts = MessageTexts(window).mid(before);
        const auto found = std::find_if(texts.begin(), texts.end(), [&](const QString& text) {
            return text.contains(QString::fromUtf8(c.expected));
        });
        ASSERT_NE(found, texts.end()) << texts.join('\n').toStdString();
        // "HH:MM:SS  text", the day of the process clock in the tooltip.
        EXPECT_TRUE(QRegularExpression("^\\d\\d:\\d\\d:\\d\\d  ").match(*found).hasMatch());
        const QListWidgetItem* item = window.Messages().item(before + (found - texts.begin()));
        EXPECT_EQ(item->foreground().color() == QColor(0xC0, 0, 0), c.alarm);
        EXPECT_TRUE(item->toolTip().startsWith(
            QString::fromStdString(ProcessClock::Now().Format("%Y-%m-%d"))));
    }
    // The stalled station store stays red in the panel and the status bar.
    EXPECT_TRUE(window.HealthLines()[1]->property("alarm").toBool());
    EXPECT_FALSE(window.HealthLines()[0]->property("alarm").toBool());
    EXPECT_TRUE(window.StoreStatus().property("alarm").toBool());
    EXPECT_TRUE(window.StoreStatus().text().contains(QString::fromUtf8("单站库停滞自")));

    // The newest line is in view however many came.
    for (int i = 0; i < 200; ++i) window.PostMessage("line " + std::to_string(i));
    window.Refresh();
    QListWidget& list = window.Messages();
    EXPECT_TRUE(
        list.viewport()->rect().intersects(list.visualItemRect(list.item(list.count() - 1))));
}

// Closing the window while a job runs asks; "no" keeps both, "yes" asks the job to
// stop and closes the window once it has ended, with the job's summary told.
TEST(HostWindowTest, ClosingWhileAJobRunsAsksAndStopsTheJob) {
    QApplication& app = TestApplication();
    TestHost host;
    VktHost::CloseHost();
    HostSession session;
    std::string error;
    ASSERT_TRUE(session.Prepare(error)) << error;
    ASSERT_TRUE(session.Start(std::getenv("VKT_PLUGIN"), error)) << error;
    CPluginJobs* jobs = VktHost::PluginJobs();
    ASSERT_NE(jobs, nullptr);
    const WindowHandle progress = MessageLayer::RegisterWindow([](const Message&) {});
    // 2 stations × 60 days at 50 ms a unit: it runs while the window closes.
    const int units = jobs->StartJob(CPluginJobs::kExport, {1, 2}, DateTime(2009, 1, 1, 0, 0, 0),
                                     DateTime(2009, 3, 2, 0, 0, 0), progress);
    ASSERT_EQ(units, 120);
    CHostWindow window({});
    bool closed = false;
    QObject::connect(&window, &CHostWindow::closed, [&] { closed = true; });
    window.show();
    window.Refresh();
    for (QMessageBox::StandardButton answer : {QMessageBox::No, QMessageBox::Yes}) {
        QString asked;
        QTimer::singleShot(0, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            ASSERT_NE(box, nullptr);
            EXPECT_EQ(box->objectName(), "stopJobsQuestion");
            EXPECT_EQ(box->button(QMessageBox::Yes)->text(), QString::fromUtf8("是(&Y)"));
            asked = box->text();
            box->button(answer)->click();
        });
        window.close();
        EXPECT_TRUE(asked.contains(QString::fromUtf8("本地数据导出正在运行")))
            << asked.toStdString();
        if (answer == QMessageBox::No) {
            EXPECT_TRUE(window.isVisible());
            EXPECT_TRUE(jobs->Summary(CPluginJobs::kExport).bBusy);
        }
    }
    EXPECT_TRUE(WaitFor([&] {
        app.processEvents();
        MessageLayer::PumpMessages();
        return closed;
    }));
    const CJobSummary summary = jobs->Summary(CPluginJobs::kExport);
    EXPECT_FALSE(summary.bBusy);
    EXPECT_FALSE(summary.bComplete);
    EXPECT_LT(summary.nUnits, units);
    EXPECT_FALSE(window.isVisible());
    EXPECT_TRUE(MessageTexts(window).join('\n').contains(QString::fromUtf8("本地数据导出已停止")));
    MessageLayer::UnregisterWindow(progress);
    session.Stop();
}

// The window never outgrows its screen: at most the available area, its smallest size
// within 640×480 however long the status texts, the health lines whole there. It opens
// where it was closed, and WPDB.ini is not where that is kept.
TEST(HostWindowTest, TheWindowFitsItsScreenAndOpensWhereItWasClosed) {
    TestApplication();
    TestHost host;
    const struct {
        QRect wanted, available, fitted;
    } cases[] = {
        {{0, 0, 1280, 800}, {0, 0, 640, 480}, {0, 0, 640, 480}},
        {{900, 600, 800, 500}, {0, 0, 1280, 800}, {480, 300, 800, 500}},
        {{2000, 100, 600, 400}, {1920, 30, 1024, 738}, {2000, 100, 600, 400}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(CHostWindow::FitToScreen(c.wanted, c.available), c.fitted);
    FakeHealth health;
    Offered offered(nullptr, &health);
    health.health.backend.tOutageSince = health.health.station.tStalledSince = ProcessClock::Now();
    health.health.nFramesDropped = 123456;
    CHostWindow window({});
    EXPECT_TRUE(window.screen()->availableGeometry().contains(window.geometry()));
    window.resize(640, 480);
    window.show();
    window.Refresh();
    QApplication::processEvents();
    EXPECT_EQ(window.size(), QSize(640, 480)) << "the status texts do not widen it";
    for (QLabel* line : window.HealthLines()) {
        EXPECT_GE(line->height(), line->heightForWidth(line->width()))
            << line->text().toStdString();
        EXPECT_LE(line->width(), window.HealthPanel().viewport()->width());
    }
    window.setGeometry(40, 50, 600, 400);
    window.CloseWithoutAsking(true);
    // Kept in the host directory's own file, which the next window reads at its start
    // (a second main window in one process is no case of the host's).
    QMainWindow next;
    next.restoreGeometry(QSettings("vkthost-window.ini", QSettings::IniFormat)
                             .value("window/geometry")
                             .toByteArray());
    EXPECT_EQ(next.geometry(), QRect(40, 50, 600, 400));
    EXPECT_FALSE(std::filesystem::exists("WPDB.ini"));
}

// The chart's note that the backend does not answer goes as soon as the plug-in's
// backend answers again, though the chart's own connect failed a moment before.
TEST(HostWindowTest, TheChartReadsTheBackendAgainOnceItAnswers) {
    TestApplication();
    TestHost host;
    FakeHealth health;
    Offered offered(nullptr, &health);
    std::ofstream("WPDB.ini") << "[DATABASE]\nSOURCENAME=NO_SUCH_SOURCE\n";
    CHostWindow window({});
    window.Chart().ShowTower(1);
    health.health.backend.tOutageSince = ProcessClock::Now();
    window.Refresh();
    window.Chart().WaitForLoad();
    EXPECT_TRUE(window.Chart().EmptyText().startsWith(QString::fromUtf8("后台库不可达")));
    std::filesystem::remove("WPDB.ini");  // the default data source, which answers
    health.health.backend.tOutageSince = DateTime::Invalid();
    window.Refresh();
    window.Chart().WaitForLoad();
    EXPECT_EQ(window.Chart().EmptyText(), QString::fromUtf8("无数据"));
    EXPECT_EQ(window.StoreStatus().text(), QString::fromUtf8("存储正常"));
}

// A line and a legend entry for each level the series has, the rainfall's last;
// without rows the text why instead of the axes.
TEST(HostWindowTest, TheChartDrawsTheLevelsItWasGivenOrWhyItIsEmpty) {
    TestApplication();
    TowerSeries threeLevels;
    threeLevels.rtu = 3;
    threeLevels.from = 0;
    threeLevels.newest = 3600000;
    for (int level = 0; level < 3; ++level) threeLevels.speeds[level] = {{0, 5}, {600000, 6}};
    threeLevels.rain = {{0, 0.2}};
    TowerSeries none;
    none.rtu = 2;
    none.emptyText = QString::fromUtf8("无数据");
    const struct {
        const TowerSeries& series;
        QStringList legend;
    } cases[] = {
        {threeLevels,
         {QString::fromUtf8("1层"), QString::fromUtf8("2层"), QString::fromUtf8("3层"),
          QString::fromUtf8("小时雨量")}},
        {none, {}},
    };
    CTowerChart chart;
    chart.resize(600, 400);
    for (const auto& c : cases) {
        chart.Draw(c.series);
        EXPECT_EQ(chart.LegendNames(), c.legend);
        for (int level = 1; level <= 7; ++level) {
            EXPECT_EQ(chart.SpeedPoints(level), c.series.speeds[level - 1].size()) << level;
        }
        EXPECT_EQ(chart.RainPoints(), c.series.rain.size());
        EXPECT_EQ(chart.EmptyText(), c.series.emptyText);
    }
}

}  // namespace
