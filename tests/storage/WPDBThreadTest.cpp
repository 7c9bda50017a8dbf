#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>

#include "model/AssignmentMap.h"
#include "model/Catalogue.h"
#include "platform/Clock.h"
#include "storage/BackendWriterThread.h"
#include "storage/WPDBThread.h"
#include "storage/WPStores.h"
#include "tests/support/TestHost.h"
#include "tests/support/TowerData.h"

namespace {

constexpr int kFastPollMs = 20;

// Stores that are all switched off: the cases watch the thread only.
class QuietStores : public CWPStores {
public:
    QuietStores() : CWPStores("/nonexistent") {
        CWPSettings off;
        off.m_bSaveLocal = false;
        off.m_bSaveBkgDB = false;
        m_settings.Replace(off);
    }
};

// A storage thread on the stores, without a backend writer and without a spool.
class BareThread : public CWPDBThread {
public:
    explicit BareThread(CWPStores& stores, int pollIntervalMs = kPollIntervalMs,
                        int drainMs = kDrainMs)
        : CWPDBThread(stores.BackendTarget(), stores.m_stations, stores.m_confirmation, nullptr,
                      nullptr, pollIntervalMs, drainMs) {}
};

class RecordingThread : public BareThread {
public:
    using BareThread::BareThread;
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
    bool ProcessRecord(const CDataFrame& record) override {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_seen.emplace_back(
                record.m_nRTUID,
                record.m_arItems.empty() ? -1 : static_cast<int>(record.m_arItems[0].m_fValue));
        }
        return CWPDBThread::ProcessRecord(record);
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

TEST(WPDBThreadTest, FramesHandedOverTogetherAreStoredInCallOrderAndOddKindsDropped) {
    QuietStores stores;
    RecordingThread thread(stores, kFastPollMs);
    {
        // The frames are gone before the thread looks: the queue holds copies.
        auto first = std::make_unique<CDataFrame>(SpeedFrame(1, k1410, 11));
        auto second = std::make_unique<CDataFrame>(SpeedFrame(2, k1410, 22));
        thread.EnqueueFrame(*first);
        first.reset();
        thread.EnqueueFrame(SpeedFrame(3, k1410, 0, 0));
        thread.EnqueueFrame(*second);
        second->m_arItems[0].m_fValue = 99;
        thread.EnqueueFrame(SpeedFrame(3, k1410, 0, 2));
        thread.EnqueueFrame(SpeedFrame(3, k1410, 0, 3));
        thread.EnqueueFrame(SpeedFrame(3, k1410, 33, 4));
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
    QuietStores stores;
    const struct {
        int drainMs;
        long stored;
    } cases[] = {{60000, 2}, {0, 0}};
    for (const auto& c : cases) {
        RecordingThread thread(stores, 60000, c.drainMs);  // would not poll for a minute
        ASSERT_TRUE(thread.CreateThread());
        thread.EnqueueFrame(SpeedFrame(1, k1410, 1));
        thread.EnqueueFrame(SpeedFrame(2, k1410, 2));
        const size_t logBefore = ReadWholeFile(host.Path("VKTError.log")).size();
        EXPECT_TRUE(thread.StopWorker());
        EXPECT_EQ(thread.ProcessedCount(), c.stored);
        EXPECT_EQ(thread.DroppedCount(), 2 - c.stored);
        const std::string added = ReadWholeFile(host.Path("VKTError.log")).substr(logBefore);
        EXPECT_EQ(added.find("2 queued frames dropped") != std::string::npos, c.stored == 0)
            << added;
    }
}

// Each look at the clock in turn, with the passes it makes due.
TEST(WPDBThreadTest, OneIsolationPassForEveryPeriodReachedHoweverFarTheClockJumps) {
    TestHost host;
    QuietStores stores;
    BareThread thread(stores);
    auto at = [](int hour, int minute, int second) {
        return DateTime(2009, 3, 12, hour, minute, second);
    };
    struct Look {
        DateTime now;
        std::vector<DateTime> due;
    };
    const std::vector<Look> looks = {
        {at(10, 6, 0), {}},
        {at(10, 6, 29), {}},
        {at(10, 6, 30), {at(10, 6, 30)}},
        {at(10, 6, 31), {}},
        {at(10, 10, 59), {}},
        {at(10, 11, 29), {}},
        {at(10, 11, 45), {at(10, 11, 45)}},  // the first look after second 30
        // A poll that jumps over minute 16 and 21 still makes both periods' passes.
        {at(10, 15, 59), {}},
        {at(10, 22, 10), {at(10, 16, 30), at(10, 21, 30)}},
        {at(10, 26, 40), {at(10, 26, 40)}},
        // Ten minutes in one step, landing before second 30 of minute 1.
        {at(10, 36, 5), {at(10, 31, 30)}},
        // A clock set back makes nothing due until it reaches a new period.
        {at(9, 0, 0), {}},
        {at(9, 1, 30), {at(9, 1, 30)}},
    };
    for (const Look& look : looks) {
        EXPECT_EQ(thread.DueIsolationPasses(look.now), look.due) << look.now.Format();
    }
    // The first look inside an open period makes that period due; a jump of days is
    // caught up for one day at most.
    BareThread fresh(stores);
    EXPECT_EQ(fresh.DueIsolationPasses(at(10, 1, 59)), std::vector<DateTime>{at(10, 1, 59)});
    EXPECT_EQ(fresh.DueIsolationPasses(DateTime(2009, 3, 15, 10, 3, 0)).size(), 288u);
}

TEST(WPDBThreadTest, IsolationPassesFollowTheProcessClock) {
    TestHost host;
    ProcessClock::SetNow(DateTime(2009, 3, 12, 10, 6, 28));
    QuietStores stores;
    RecordingThread thread(stores, kFastPollMs);
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

// The storage thread built from the few stores it is handed, nothing else, with and
// without a backend writer: either way the record reaches the station file and the
// backend under its tower id; with the writer, the confirmation both threads share
// learns that the backend has it.
TEST(WPDBThreadTest, BuiltFromItsStoresAloneItFillsBothStores) {
    TestHost host;
    std::filesystem::create_directory(host.Path("WPData"));
    BuildCatalogue();
    for (const bool withWriter : {false, true}) {
        CWPSettingsStore settings;
        CWPSettings values;
        values.m_strSource = "DAVAD";
        values.m_strUser = "fd";
        values.m_strPassword = "wendol";
        settings.Replace(values);
        CAssignmentMap assignments;
        const int towerID = withWriter ? 901 : 900;
        assignments.Assign(12, towerID);
        CBackendDB backend(settings);
        CStationMap stations(host.Dir(), settings);
        CRefillJournal journal(stations);
        CBackendConfirmation confirmation(stations);
        const CBackendTarget target{backend, settings, assignments};
        std::unique_ptr<CBackendWriterThread> writer;
        if (withWriter) {
            writer =
                std::make_unique<CBackendWriterThread>(target, stations, journal, confirmation);
            ASSERT_TRUE(writer->CreateThread());
        }
        CWPDBThread storage(target, stations, confirmation, writer.get(), nullptr, kFastPollMs);
        const DateTime at(2009, 3, 12, 14, withWriter ? 20 : 10, 0);
        ASSERT_TRUE(storage.EnqueueFrame(FrameOf(12, at, {Item(7000, 5.0f, at)})));
        ASSERT_TRUE(storage.CreateThread());
        ASSERT_TRUE(WaitFor(
            [&] { return storage.ProcessedCount() == 1 && (!writer || writer->IsIdle()); }));
        EXPECT_TRUE(storage.StopWorker());
        if (writer) {
            EXPECT_TRUE(writer->StopWorker());
        }
        EXPECT_EQ(QueryFile(host.Path("WPData/WP_12.MDB"),
                            "SELECT V1AVGSP FROM RTTOWER WHERE TIME='" + at.Format() + "'"),
                  "5.0");
        EXPECT_EQ(QueryDataSource("DAVAD", "SELECT V1AVGSP FROM FD_RUN_RTTOWER WHERE TOWERID=" +
                                               std::to_string(towerID)),
                  "5.0")
            << withWriter;
        if (withWriter) {
            EXPECT_EQ(confirmation.Confirmed(12), at);
        } else {
            EXPECT_FALSE(confirmation.Confirmed(12).IsValid());
        }
    }
    FreeCatalogue();
}

}  // namespace
