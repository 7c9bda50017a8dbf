// The local data export dialog under the offscreen platform, with the real workers.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDateTimeEdit>
#include <QListWidget>
#include <QMainWindow>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <filesystem>

#include "model/Catalogue.h"
#include "platform/Clock.h"
#include "storage/OutLocalDataThread.h"
#include "storage/WPRainProcThread.h"
#include "storage/WPStores.h"
#include "tests/support/QtTestSupport.h"
#include "tests/support/TestHost.h"
#include "ui/DialogLook.h"
#include "ui/DrawnProgressBar.h"
#include "ui/OutLocalDataDlg.h"
#include "ui/ProgressDlg.h"

namespace {

// A host with the demo towers 1, 2, 3 (type 100), the plug-in's stores and both
// workers running, the clock at 2009-03-12 14:37:20.
class OutLocalDataDlgTest : public ::testing::Test {
protected:
    void SetUp() override {
        TestApplication();
        ProcessClock::SetNow(DateTime(2009, 3, 12, 14, 37, 20));
        std::filesystem::create_directory(host.Path("WPData"));
        BuildCatalogue();
        exporter = std::make_unique<COutLocalDataThread>(stores.BackendTarget(), stores.m_stations);
        rain = std::make_unique<CWPRainProcThread>(stores.BackendTarget(), 0);
        ASSERT_TRUE(exporter->CreateThread());
        ASSERT_TRUE(rain->CreateThread());
    }

    // A dialog with the stations checked and the range set; complaints collected.
    std::unique_ptr<COutLocalDataDlg> Dialog(const std::vector<int>& checked, const DateTime& start,
                                             const DateTime& end) {
        auto dialog = std::make_unique<COutLocalDataDlg>(exporter.get(), rain.get());
        dialog->m_showMessage = [this](const QString& text) { shown.push_back(text); };
        auto* list = ControlById<QListWidget>(*dialog, 1201);
        for (int row : checked) list->item(row)->setCheckState(Qt::Checked);
        auto toQt = [](const DateTime& t) {
            return QDateTime(QDate(t.GetYear(), t.GetMonth(), t.GetDay()),
                             QTime(t.GetHour(), t.GetMinute()));
        };
        ControlById<QDateTimeEdit>(*dialog, 1135)->setDateTime(toQt(start));
        ControlById<QDateTimeEdit>(*dialog, 1142)->setDateTime(toQt(end));
        return dialog;
    }

    TestHost host;
    CWPStores stores{host.Dir()};
    std::unique_ptr<COutLocalDataThread> exporter;
    std::unique_ptr<CWPRainProcThread> rain;
    std::vector<QString> shown;
};

const DateTime k10(2009, 3, 10, 0, 0, 0);

TEST_F(OutLocalDataDlgTest, OpensWithTheTowersAndTheLastYearToTheLastTenMinutes) {
    COutLocalDataDlg dialog(exporter.get(), rain.get());
    EXPECT_EQ(dialog.windowTitle(), "本地数据导出选项");
    auto* list = ControlById<QListWidget>(dialog, 1201);
    ASSERT_EQ(list->count(), 3);
    EXPECT_EQ(list->item(0)->text(), "T1(1)");
    EXPECT_EQ(list->item(2)->text(), "T3(3)");
    EXPECT_EQ(ControlById<QDateTimeEdit>(dialog, 1142)->dateTime(),
              QDateTime(QDate(2009, 3, 12), QTime(14, 30)));
    EXPECT_EQ(ControlById<QDateTimeEdit>(dialog, 1135)->dateTime(),
              QDateTime(QDate(2008, 3, 12), QTime(14, 30)));
    EXPECT_EQ(ControlById<QDateTimeEdit>(dialog, 1135)->displayFormat(), "yyyy年MM月dd日 HH:mm");
    ControlById<QPushButton>(dialog, 1202)->click();
    for (int i = 0; i < 3; ++i) EXPECT_EQ(list->item(i)->checkState(), Qt::Checked);
    ControlById<QPushButton>(dialog, 1203)->click();
    for (int i = 0; i < 3; ++i) EXPECT_EQ(list->item(i)->checkState(), Qt::Unchecked);
}

TEST_F(OutLocalDataDlgTest, NothingCheckedOrReversedTimesStartNothing) {
    auto none = Dialog({}, k10, k10 + DateTimeSpan(1, 0, 0, 0));
    ControlById<QPushButton>(*none, 1)->click();
    EXPECT_EQ(none->result(), QDialog::Accepted) << "closes";
    EXPECT_EQ(none->StartedWindow(), nullptr);
    EXPECT_FALSE(exporter->IsBusy());

    for (const DateTime& end : {k10, k10 - DateTimeSpan(0, 1, 0, 0)}) {
        auto reversed = Dialog({0}, k10, end);
        ControlById<QPushButton>(*reversed, 1)->click();
        EXPECT_EQ(reversed->result(), 0) << "stays open";
        EXPECT_FALSE(exporter->IsBusy());
    }
    EXPECT_EQ(shown,
              (std::vector<QString>{"开始时间不能大于结束时间", "开始时间不能大于结束时间"}));
}

// Units: stations × days, a part of a day counting as a day; the bar's range follows.
TEST_F(OutLocalDataDlgTest, TheBarsRangeIsStationsTimesDaysAndTheWindowClosesAtTheEnd) {
    const struct {
        std::vector<int> checked;
        DateTimeSpan span;
        int units;
    } cases[] = {{{0, 1, 2}, DateTimeSpan(0, 1, 0, 0), 3}, {{0, 2}, DateTimeSpan(2, 0, 0, 0), 4}};
    for (const auto& c : cases) {
        auto dialog = Dialog(c.checked, k10, k10 + c.span);
        ControlById<QPushButton>(*dialog, 1)->click();
        QPointer<CProgressDlg> window = dialog->StartedWindow();
        ASSERT_FALSE(window.isNull());
        EXPECT_EQ(window->windowTitle(), "导出风电站本地数据进度");
        EXPECT_EQ(window->Bar().Model().Upper(), c.units);
        ASSERT_TRUE(WaitFor([&] {
            QTest::qWait(10);
            return window.isNull();
        })) << "3026 closes the window";
        EXPECT_EQ(exporter->UnitsDone(), c.units);
        EXPECT_FALSE(exporter->IsBusy());
    }
}

// The progress window belongs to the main window of the thread that opened the dialog
// (none in a host without one), and has its template's size: 187 × 38 dialog units of
// its font, not what a wider bar would ask for.
TEST_F(OutLocalDataDlgTest, TheProgressWindowSitsOnTheMainWindowAtItsTemplatesSize) {
    for (bool hostHasMainWindow : {false, true}) {
        std::unique_ptr<QMainWindow> mainWindow;
        if (hostHasMainWindow) mainWindow = std::make_unique<QMainWindow>();
        auto dialog = Dialog({0}, k10, k10 + DateTimeSpan(0, 1, 0, 0));
        ControlById<QPushButton>(*dialog, 1)->click();
        QPointer<CProgressDlg> window = dialog->StartedWindow();
        ASSERT_FALSE(window.isNull());
        EXPECT_EQ(window->parentWidget(), mainWindow.get());
        EXPECT_TRUE(window->isWindow()) << "a window of its own over the main window";
        EXPECT_EQ(window->size(), DialogUnitsToPixels(window->font(), CProgressDlg::kDialogUnits));
        ASSERT_TRUE(WaitFor([&] {
            QTest::qWait(10);
            return window.isNull();
        }));
    }
}

// While an export runs another export is refused with the busy text; the rainfall
// recalculation may run beside it.
TEST_F(OutLocalDataDlgTest, ABusyJobRefusesTheSameJobButNotTheOther) {
    auto first = Dialog({0, 1, 2}, k10 - DateTimeSpan(30, 0, 0, 0), k10);
    ControlById<QPushButton>(*first, 1)->click();
    ASSERT_TRUE(exporter->IsBusy());
    auto second = Dialog({0}, k10, k10 + DateTimeSpan(1, 0, 0, 0));
    ControlById<QPushButton>(*second, 1)->click();
    EXPECT_EQ(shown, (std::vector<QString>{"正在进行本地数据输出，请稍候再试"}));
    EXPECT_EQ(second->result(), 0);
    ControlById<QPushButton>(*second, 3)->click();
    ASSERT_NE(second->StartedWindow(), nullptr);
    EXPECT_EQ(second->StartedWindow()->windowTitle(), "风电站时段雨量重新计算进度");
    EXPECT_EQ(second->result(), QDialog::Accepted);
    // The stop button of the export's window ends it after the current unit.
    first->StartedWindow()->findChild<QPushButton*>("stopButton")->click();
    EXPECT_TRUE(WaitFor([&] {
        QTest::qWait(10);
        return !exporter->IsBusy() && !rain->IsBusy();
    }));
    EXPECT_FALSE(exporter->LastJobComplete());
}

}  // namespace
