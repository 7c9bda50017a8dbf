// The batch jobs' progress protocol: units, messages 3024 / 3025 / 3026, busy flag.
#include <gtest/gtest.h>

#include <mutex>
#include <tuple>
#include <vector>

#include "platform/MessageLayer.h"
#include "platform/ProgressModel.h"
#include "storage/BatchJobThread.h"
#include "tests/support/TestHost.h"

namespace {

using Unit = std::tuple<int, DateTime, DateTime>;

// A job thread whose units only record themselves; a unit can be held until released.
class RecordingJobThread : public CBatchJobThread {
public:
    ~RecordingJobThread() override { StopWorker(); }
    std::vector<Unit> Units() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_units;
    }
    Event m_unitStarted{false, false};
    Event m_release{true, true};
    int m_nDaysPerStep = 1;

protected:
    int Run() override {
        for (;;) {
            if (Event::WaitAny({&m_stopEvent, &m_startEvent}, -1) != 1) return 0;
            RunJob();
        }
    }
    void RunUnit(int32_t rtu, const DateTime& from, const DateTime& to) override {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_units.emplace_back(rtu, from, to);
        }
        m_unitStarted.Set();
        m_release.Wait(-1);
    }
    int DaysPerStep() override { return m_nDaysPerStep; }

private:
    std::mutex m_lock;
    std::vector<Unit> m_units;
};

// The progress window's side: every message it got, until 3026.
struct ProgressWindow {
    ProgressWindow() {
        handle = MessageLayer::RegisterWindow([this](const Message& m) { got.push_back(m); });
    }
    ~ProgressWindow() { MessageLayer::UnregisterWindow(handle); }
    bool WaitForJobOver() {
        return WaitFor([&] {
            MessageLayer::PumpMessages();
            return !got.empty() && got.back().message == kMsgJobOver;
        });
    }
    std::vector<intptr_t> Progress() const {
        std::vector<intptr_t> units;
        for (const Message& m : got) {
            if (m.message == kMsgJobProgress) units.push_back(m.wParam);
        }
        return units;
    }
    WindowHandle handle = 0;
    std::vector<Message> got;
};

DateTime At(int day, int hour) {
    return DateTime(2009, 3, day, hour, 0, 0);
}

// A step of several days still reports each day as a unit.
TEST(BatchJobTest, UnitsAreStationDaysWithTheLastStepCutAtTheEnd) {
    const struct {
        DateTime start, end;
        int daysPerStep;
        std::vector<Unit> units;  // of station 12; station 13 repeats them
    } cases[] = {
        {At(10, 0), At(12, 0), 1, {{12, At(10, 0), At(11, 0)}, {12, At(11, 0), At(12, 0)}}},
        {At(10, 0), At(11, 6), 1, {{12, At(10, 0), At(11, 0)}, {12, At(11, 0), At(11, 6)}}},
        {At(10, 0), At(13, 2), 2, {{12, At(10, 0), At(12, 0)}, {12, At(12, 0), At(13, 2)}}},
        {At(10, 0), At(11, 0), 12, {{12, At(10, 0), At(11, 0)}}},
        {At(10, 0),
         At(13, 2),
         1,
         {{12, At(10, 0), At(11, 0)},
          {12, At(11, 0), At(12, 0)},
          {12, At(12, 0), At(13, 0)},
          {12, At(13, 0), At(13, 2)}}},
    };
    for (const auto& c : cases) {
        RecordingJobThread thread;
        thread.m_nDaysPerStep = c.daysPerStep;
        ASSERT_TRUE(thread.CreateThread());
        ProgressWindow window;
        ASSERT_TRUE(thread.StartJob({12, 13}, c.start, c.end, window.handle));
        ASSERT_TRUE(window.WaitForJobOver());
        std::vector<Unit> expected = c.units;
        for (const Unit& unit : c.units) {
            expected.emplace_back(13, std::get<1>(unit), std::get<2>(unit));
        }
        EXPECT_EQ(thread.Units(), expected);
        std::vector<intptr_t> counted;
        for (int i = 1; i <= CBatchJobThread::UnitCount(2, c.start, c.end); ++i) {
            counted.push_back(i);
        }
        EXPECT_EQ(window.Progress(), counted) << "3024 with 1 … n, then 3026";
        EXPECT_EQ(thread.UnitsDone(), static_cast<int>(counted.size()));
        EXPECT_TRUE(thread.LastJobComplete());
        EXPECT_FALSE(thread.IsBusy());
    }
}

// A step of several days reports all its units before the job ends.
TEST(BatchJobTest, AStopRequestEndsTheJobAfterTheCurrentStepAndANewJobCanStart) {
    for (const int daysPerStep : {1, 2}) {
        SCOPED_TRACE(daysPerStep);
        RecordingJobThread thread;
        thread.m_nDaysPerStep = daysPerStep;
        ASSERT_TRUE(thread.CreateThread());
        ProgressWindow window;
        thread.m_release.Reset();
        ASSERT_TRUE(thread.StartJob({12, 13}, At(10, 0), At(12, 0), window.handle));
        EXPECT_FALSE(thread.StartJob({14}, At(10, 0), At(12, 0), window.handle)) << "busy";
        ASSERT_TRUE(thread.m_unitStarted.Wait(20000));
        // Another message first, then the stop button twice: the worker takes one request
        // per look and leaves the other message queued.
        constexpr unsigned int kOther = 4711;
        thread.PostThreadMessage(kOther, 0, 0);
        thread.PostThreadMessage(kMsgJobStop, 0, 0);
        thread.PostThreadMessage(kMsgJobStop, 0, 0);
        thread.m_release.Set();
        ASSERT_TRUE(window.WaitForJobOver());
        EXPECT_EQ(thread.Units().size(), 1u);
        const std::vector<intptr_t> reported =
            daysPerStep == 1 ? std::vector<intptr_t>{1} : std::vector<intptr_t>{1, 2};
        EXPECT_EQ(window.Progress(), reported);
        EXPECT_FALSE(thread.LastJobComplete());
        EXPECT_FALSE(thread.IsBusy());

        // The second request came too late for that job: the next one drops it and runs
        // whole.
        ProgressWindow next;
        ASSERT_TRUE(thread.StartJob({15}, At(10, 0), At(12, 0), next.handle));
        ASSERT_TRUE(next.WaitForJobOver());
        EXPECT_EQ(next.Progress().size(), 2u);
        EXPECT_TRUE(thread.LastJobComplete());
        Message left;
        ASSERT_TRUE(thread.PeekMessage(left));
        EXPECT_EQ(left.message, kOther);
        EXPECT_FALSE(thread.PeekMessage(left));
    }
}

TEST(ProgressModelTest, TextRedrawAndRange) {
    CProgressModel bar;
    EXPECT_EQ(bar.SetPos(5), -1) << "no window yet";
    bar.Resize(200);
    bar.SetRange(0, 8);
    bar.SetPos(0);
    bar.TakeRepaint();
    const struct {
        intptr_t units;
        const char* text;
        int width;
    } steps[] = {{1, "已完成 12.5%", 25}, {4, "已完成 50.0%", 50}, {8, "已完成 100.0%", 75}};
    for (const auto& s : steps) {
        bar.OnJobProgress(s.units);
        EXPECT_EQ(bar.DisplayText(), s.text);
        EXPECT_EQ(bar.DoneWidth(200), s.width) << "one step per message";
        EXPECT_TRUE(bar.TakeRepaint());
    }
    EXPECT_FALSE(bar.SetText("已完成 100.0%")) << "the same text: no repaint";
    EXPECT_FALSE(bar.TakeRepaint());
    bar.SetPos(3);  // the same width as before …
    EXPECT_FALSE(bar.TakeRepaint());
    bar.Resize(200);  // … but after a resize it is drawn again
    bar.SetPos(3);
    EXPECT_TRUE(bar.TakeRepaint());
    bar.SetText("");
    EXPECT_EQ(bar.DisplayText(), "37%");
    bar.SetRange(5, 5);
    EXPECT_FALSE(bar.IsPaintable());
}

}  // namespace
