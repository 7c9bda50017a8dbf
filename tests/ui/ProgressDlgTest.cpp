// The progress window under the offscreen platform, as an operator and a worker use it.
#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <cstdlib>
#include <functional>

#include "platform/ProgressModel.h"
#include "platform/WorkerThread.h"
#include "tests/support/QtTestSupport.h"
#include "ui/DrawnProgressBar.h"
#include "ui/ProgressDlg.h"

namespace {

// A worker that is never started: its queue shows what the window posted to it.
class IdleWorker : public CWorkerThread {
protected:
    int Run() override { return 0; }
};

// Dispatches what the worker posted, as the window's pump does.
void Deliver() {
    for (int i = 0; i < 5; ++i) QTest::qWait(CProgressDlg::kPumpIntervalMs * 2);
}

TEST(ProgressDlgTest, TheBarFollowsTheWorkerAndTheWindowClosesOnJobOver) {
    TestApplication();
    IdleWorker worker;
    QPointer<CProgressDlg> window = new CProgressDlg(&worker);
    window->ConfigureForJob(8);
    window->show();
    ASSERT_NE(ControlById(*window, 4004), nullptr);
    ASSERT_NE(ControlById(*window, 4005), nullptr);
    EXPECT_EQ(window->windowTitle(), "进度显示");

    MessageLayer::PostMessage(window->Handle(), kMsgJobProgress, 3, 0);
    Deliver();
    EXPECT_EQ(window->Bar().Model().DisplayText(), "已完成 37.5%");
    const QImage drawn = window->Bar().grab().toImage();
    EXPECT_EQ(QColor(drawn.pixel(1, 1)), QColor(0, 0, 0)) << "the done part is black";
    EXPECT_EQ(QColor(drawn.pixel(drawn.width() - 2, 1)),
              QApplication::palette().color(QPalette::Base))
        << "the rest in the system's window colour";

    MessageLayer::PostMessage(window->Handle(), kMsgJobProgress, 8, 0);
    Deliver();
    EXPECT_EQ(window->Bar().Model().DisplayText(), "已完成 100.0%");

    // The stop button twice: two requests in the worker's queue.
    auto* stop = qobject_cast<QPushButton*>(ControlById(*window, 4005));
    ASSERT_NE(stop, nullptr);
    EXPECT_EQ(stop->text(), "停止");
    QTest::mouseClick(stop, Qt::LeftButton);
    QTest::mouseClick(stop, Qt::LeftButton);
    Message message;
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(worker.PeekMessage(message));
        EXPECT_EQ(message.message, kMsgJobStop);
    }
    EXPECT_FALSE(worker.PeekMessage(message));

    const WindowHandle handle = window->Handle();
    MessageLayer::PostMessage(handle, kMsgJobOver, 0, 0);
    Deliver();
    EXPECT_TRUE(window.isNull()) << "3026 deletes the window";
    EXPECT_FALSE(MessageLayer::IsWindow(handle));
}

// The operator closing the window (Esc, as the title bar's X) is asked whether to stop
// the job: 否 keeps the window and the job, 是 asks the worker to stop as the stop button
// does and the window goes with the job's end. A job that ends meanwhile takes the
// question with it; the host's own close() does not ask.
TEST(ProgressDlgTest, ClosingAsksWhetherToStopTheJob) {
    TestApplication();
    const auto esc = [](CProgressDlg& w) { QTest::keyClick(&w, Qt::Key_Escape); };
    const struct {
        const char* name;
        std::function<void(CProgressDlg&)> close;
        QMessageBox::StandardButton answer;  // NoButton: the job ends while asked
        bool asked, stopped, gone;           // gone at once, before the job's end
    } cases[] = {
        {"否", esc, QMessageBox::No, true, false, false},
        {"是", esc, QMessageBox::Yes, true, true, false},
        {"job ends while asked", esc, QMessageBox::NoButton, true, false, true},
        {"the host closes it", &QWidget::close, QMessageBox::NoButton, false, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        IdleWorker worker;
        QPointer<CProgressDlg> window = new CProgressDlg(&worker);
        window->show();
        QString yes;
        QTimer::singleShot(0, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box) return;
            yes = box->button(QMessageBox::Yes)->text();
            if (c.answer != QMessageBox::NoButton)
                box->button(c.answer)->click();
            else
                MessageLayer::PostMessage(window->Handle(), kMsgJobOver, 0, 0);
        });
        c.close(*window);
        EXPECT_EQ(yes, c.asked ? QString::fromUtf8("是(&Y)") : QString());
        Message message;
        EXPECT_EQ(worker.PeekMessage(message), c.stopped);
        Deliver();
        EXPECT_EQ(window.isNull(), c.gone);
        if (window.isNull()) continue;
        MessageLayer::PostMessage(window->Handle(), kMsgJobOver, 0, 0);
        Deliver();
        EXPECT_TRUE(window.isNull()) << "the window goes with the job";
    }
}

TEST(DrawnProgressBarTest, ColoursArePlatformColourReferences) {
    EXPECT_EQ(CDrawnProgressBar::FromColorRef(0xFF0000), QColor(0, 0, 255)) << "blue";
    EXPECT_EQ(CDrawnProgressBar::FromColorRef(0x00FF00), QColor(0, 255, 0)) << "green";
    EXPECT_EQ(CDrawnProgressBar::FromColorRef(0xFFEFEF), QColor(239, 239, 255));
}

}  // namespace
