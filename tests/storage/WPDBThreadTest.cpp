#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <thread>

#include "platform/Clock.h"
#include "storage/WPContext.h"
#include "storage/WPDBThread.h"
#include "tests/support/TestHost.h"

namespace {

constexpr int kFastPollMs = 20;

// A context whose stores are all switched off: the cases watch the thread only.
class QuietContext : public CWPContext {
public:
    QuietContext() : CWPContext("/nonexistent") {
        CWPSettings off;
        off.m_bSaveLocal = false;
        off.m_bSaveBkgDB = false;
        m_settings.Replace(off);
    }
};

class RecordingThread : public CWPDBThread {
public:
    using CWPDBThread::CWPDBThread;
    ~RecordingThread() override { StopWorker(); }

    std::vector<std::pair<int, int>> Seen() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_seen;
    }
    std::vector<DateTime> Passes() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_passes;
    }

protected:
    void ProcessRecord(const CTowerRecord& record) override {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_seen.emplace_back(
                record.m_nRTUID,
                record.m_arItems.empty() ? -1 : static_cast<int>(record.m_arItems[0].m_fValue));
        }
        CWPDBThread::ProcessRecord(record);
    }
    void WriteIsolationFiles(const DateTime& now) override {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_passes.push_back(now);
        }
        CWPDBThread::WriteIsolationFiles(now);
    }

private:
    std::mutex m_lock;
    std::vector<std::pair<int, int>> m_seen;  // guarded by m_lock
    std::vector<DateTime> m_passes;           // guarded by m_lock
};

CDataFrame Frame(int rtu, int kind, float firstValue) {
    CDataFrame frame;
    frame.m_nRTUID = rtu;
    frame.m_nKind = kind;
    frame.m_tTime = DateTime(2009, 3, 12, 14, 10, 0);
    CDataItem item;
    item.m_nSensorID = rtu * 100000 + 7000;
    item.m_nDataID = 7000;
    item.m_tTime = frame.m_tTime;
    item.m_fValue = firstValue;
    item.m_nStatus = 1234;
    frame.m_arItems.push_back(item);
    return frame;
}

TEST(WPDBThreadTest, FramesHandedOverTogetherAreStoredInCallOrderAndOddKindsDropped) {
    QuietContext context;
    RecordingThread thread(context, kFastPollMs);
    {
        // The frames are gone before the thread looks: the queue holds copies.
        auto first = std::make_unique<CDataFrame>(Frame(1, 1, 11));
        auto second = std::make_unique<CDataFrame>(Frame(2, 1, 22));
        thread.EnqueueFrame(*first);
        first.reset();
        thread.EnqueueFrame(Frame(3, 0, 0));
        thread.EnqueueFrame(*second);
        second->m_arItems[0].m_fValue = 99;
        thread.EnqueueFrame(Frame(3, 2, 0));
        thread.EnqueueFrame(Frame(3, 3, 0));
        thread.EnqueueFrame(Frame(3, 4, 33));
    }
    ASSERT_EQ(thread.QueuedCount(), 6u);
    ASSERT_TRUE(thread.CreateThread());
    ASSERT_TRUE(WaitFor([&] { return thread.ProcessedCount() == 3; }));
    EXPECT_TRUE(thread.StopWorker());
    EXPECT_EQ(thread.Seen(), (std::vector<std::pair<int, int>>{{1, 11}, {2, 22}, {3, 33}}));
    EXPECT_EQ(thread.QueuedCount(), 0u);
}

// A stop stores what is queued within the drain time, then drops the rest and says
// how many in the error log.
TEST(WPDBThreadTest, AStopStoresTheQueueWithinTheDrainTimeAndCountsWhatIsDropped) {
    TestHost host;
    QuietContext context;
    const struct {
        int drainMs;
        long stored;
    } cases[] = {{60000, 2}, {0, 0}};
    for (const auto& c : cases) {
        RecordingThread thread(context, 60000, c.drainMs);  // would not poll for a minute
        ASSERT_TRUE(thread.CreateThread());
        thread.EnqueueFrame(Frame(1, 1, 1));
        thread.EnqueueFrame(Frame(2, 1, 2));
        const size_t logBefore = ReadWholeFile(host.Path("VKTError.log")).size();
        EXPECT_TRUE(thread.StopWorker());
        EXPECT_EQ(thread.ProcessedCount(), c.stored);
        EXPECT_EQ(thread.DroppedCount(), 2 - c.stored);
        const std::string added = ReadWholeFile(host.Path("VKTError.log")).substr(logBefore);
        EXPECT_EQ(added.find("2 queued frames dropped") != std::string::npos, c.stored == 0)
            << added;
    }
}

TEST(WPDBThreadTest, IsolationIsDueOncePerFivePeriodFromSecond30OfMinute1) {
    QuietContext context;
    CWPDBThread thread(context);
    auto at = [](int minute, int second) { return DateTime(2009, 3, 12, 10, minute, second); };
    EXPECT_FALSE(thread.IsIsolationDue(at(6, 0)));
    EXPECT_FALSE(thread.IsIsolationDue(at(6, 29)));
    EXPECT_TRUE(thread.IsIsolationDue(at(6, 30)));
    EXPECT_FALSE(thread.IsIsolationDue(at(6, 31)));
    EXPECT_FALSE(thread.IsIsolationDue(at(6, 59)));
    EXPECT_FALSE(thread.IsIsolationDue(at(7, 0)));
    EXPECT_FALSE(thread.IsIsolationDue(at(10, 59)));
    EXPECT_FALSE(thread.IsIsolationDue(at(11, 29)));
    EXPECT_TRUE(thread.IsIsolationDue(at(11, 45)));  // first pass after second 30
    // A pass that skips the whole minute 16 leaves that period without files.
    EXPECT_FALSE(thread.IsIsolationDue(at(15, 59)));
    EXPECT_FALSE(thread.IsIsolationDue(at(17, 0)));
    EXPECT_TRUE(thread.IsIsolationDue(at(21, 30)));
}

TEST(WPDBThreadTest, IsolationPassesFollowTheProcessClock) {
    TestHost host;
    ProcessClock::SetNow(DateTime(2009, 3, 12, 10, 6, 28));
    QuietContext context;
    RecordingThread thread(context, kFastPollMs);
    ASSERT_TRUE(thread.CreateThread());
    ASSERT_TRUE(WaitFor([&] { return thread.IsolationPassCount() == 1; }));
    const DateTime first = thread.Passes().at(0);
    EXPECT_EQ(first.GetMinute(), 6);
    EXPECT_GE(first.GetSecond(), 30);

    // Passes in minutes 07 to 10 clear the period flag; passes in minute 11 before
    // second 30 write nothing.
    ProcessClock::SetNow(DateTime(2009, 3, 12, 10, 10, 50));
    std::this_thread::sleep_for(std::chrono::milliseconds(10 * kFastPollMs));
    ProcessClock::SetNow(DateTime(2009, 3, 12, 10, 11, 20));
    std::this_thread::sleep_for(std::chrono::milliseconds(10 * kFastPollMs));
    if (ProcessClock::Now().GetSecond() < 30) {
        EXPECT_EQ(thread.IsolationPassCount(), 1);
    }

    ProcessClock::SetNow(DateTime(2009, 3, 12, 10, 11, 30));
    ASSERT_TRUE(WaitFor([&] { return thread.IsolationPassCount() == 2; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(10 * kFastPollMs));
    EXPECT_EQ(thread.IsolationPassCount(), 2);
    thread.StopWorker();
}

}  // namespace
