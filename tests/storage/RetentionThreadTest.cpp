#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "hostlib/VktBase.h"
#include "model/Catalogue.h"
#include "platform/Clock.h"
#include "platform/OdbcHandles.h"
#include "storage/StationMap.h"
#include "storage/WPDBThread.h"
#include "storage/WPStores.h"
#include "tests/support/TestHost.h"
#include "tests/support/TowerData.h"

namespace {

constexpr int kFastPollMs = 20;

long Rows(const std::string& file, const char* table) {
    const std::string count = QueryFile(file, std::string("SELECT COUNT(*) FROM ") + table);
    return count.empty() || count[0] == '<' ? -1 : std::stol(count);
}

class RetentionThreadTest : public ::testing::Test {
protected:
    void SetUp() override {
        BuildCatalogue();
        std::filesystem::create_directory(host.Path("WPData"));
        CWPSettings settings;
        settings.m_nDataLen = 2;
        settings.m_bSaveBkgDB = false;
        stores.m_settings.Replace(settings);
    }
    TestHost host;
    CWPStores stores{host.Dir(), kFastPollMs};
};

TEST_F(RetentionThreadTest, APassAfterStartAndAnotherWhenTheDayChanges) {
    ProcessClock::SetNow(DateTime(2009, 3, 12, 10, 0, 0));
    CWPLocalDB station(12, host.Dir(), stores.m_settings, kFastPollMs);
    // The first row starts the thread.
    station.SaveLocalRT(SpeedFrame(12, DateTime(2007, 3, 12, 23, 50, 0), 1.0f));
    station.SaveLocalRT(SpeedFrame(12, DateTime(2007, 3, 13, 0, 0, 0), 1.0f));
    ASSERT_TRUE(WaitFor([&] { return station.RetentionPassCount() == 1; }));
    EXPECT_EQ(Rows(station.FilePath(), "RTTOWER"), 1);

    // More polls on the same day run no pass.
    std::this_thread::sleep_for(std::chrono::milliseconds(10 * kFastPollMs));
    if (ProcessClock::Now().GetDay() == 12) {
        EXPECT_EQ(station.RetentionPassCount(), 1);
    }

    ProcessClock::SetNow(DateTime(2009, 3, 13, 0, 0, 1));
    ASSERT_TRUE(WaitFor([&] { return station.RetentionPassCount() == 2; }));
    EXPECT_EQ(Rows(station.FilePath(), "RTTOWER"), 0) << "the cut-off moved to 2007-03-14";
}

TEST_F(RetentionThreadTest, AStopWhileWaitingEndsAtOnce) {
    CDeleteMyDeadData thread([] {}, 60 * 60 * 1000);  // would not look at the clock for an hour
    ASSERT_TRUE(thread.CreateThread());
    EXPECT_TRUE(thread.StopWorker()) << "ended within the stop bound";
    EXPECT_EQ(thread.PassCount(), 0);
}

TEST_F(RetentionThreadTest, StationsStayConsistentUnderConcurrentCloseAndRetention) {
    ProcessClock::SetNow(DateTime(2009, 3, 12, 10, 0, 0));
    CStationMap& stations = stores.m_stations;
    constexpr int kFrames = 30;
    const std::vector<int> towers = {21, 22, 23};
    std::atomic<bool> done{false};
    // The user-interface thread closes every connection again and again.
    std::thread closer([&] {
        while (!done) stations.CloseAll();
    });
    // The calendar flips, so that retention passes keep running.
    std::thread calendar([&] {
        for (int day = 0; !done; day = 1 - day) {
            ProcessClock::SetNow(DateTime(2009, 3, 12 + day, 10, 0, 0));
            std::this_thread::sleep_for(std::chrono::milliseconds(3 * kFastPollMs));
        }
    });
    {
        CWPDBThread storage(stores.BackendTarget(), stores.m_stations, stores.m_confirmation,
                            nullptr, stores.m_pSpool.get(), kFastPollMs);
        ASSERT_TRUE(storage.CreateThread());
        for (int i = 0; i < kFrames; ++i) {
            for (int rtu : towers) {
                storage.EnqueueFrame(SpeedFrame(
                    rtu, DateTime(2009, 3, 12, 0, 0, 0) + DateTimeSpan(0, 0, 10 * i, 0), 1.0f));
            }
        }
        EXPECT_TRUE(WaitFor([&] { return storage.ProcessedCount() == kFrames * 3; }, 120000));
        storage.StopWorker();
    }
    done = true;
    closer.join();
    calendar.join();
    for (int rtu : towers) {
        CWPLocalDB* station = stations.Find(rtu);
        ASSERT_NE(station, nullptr);
        EXPECT_EQ(Rows(station->FilePath(), "RTTOWER"), kFrames) << rtu;
        EXPECT_GE(station->RetentionPassCount(), 1);
    }
    stations.Clear();
}

// A pass that reopens the connection while its station is being destroyed must find
// the thread it runs on, not start a second one on the dying object.
TEST_F(RetentionThreadTest, AStationDestroyedDuringItsPassesEndsItsOneThread) {
    std::atomic<bool> done{false};
    std::thread calendar([&] {
        for (int day = 0; !done; day = 1 - day) {
            ProcessClock::SetNow(DateTime(2009, 3, 12 + day, 10, 0, 0));
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    for (int rtu = 30; rtu < 40; ++rtu) {
        auto station = std::make_unique<CWPLocalDB>(rtu, host.Dir(), stores.m_settings, 1);
        // The first row starts the thread.
        station->SaveLocalRT(SpeedFrame(rtu, DateTime(2009, 3, 12, 0, 0, 0), 1.0f));
        ASSERT_TRUE(WaitFor([&] { return station->RetentionPassCount() >= 2; }));
        {
            AccessGuard guard;
            station->CloseLocalDB();  // the next pass opens it again
        }
        station.reset();
    }
    done = true;
    calendar.join();
}

}  // namespace
