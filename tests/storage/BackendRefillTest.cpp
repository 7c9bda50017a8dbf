// The backend writer thread: records whose backend rows are missed go to the refill
// journal in the station files and come back when the backend answers again.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "model/Catalogue.h"
#include "platform/ErrorLog.h"
#include "storage/BackendWriter.h"
#include "storage/BackendWriterThread.h"
#include "storage/TowerRow.h"
#include "storage/WPStores.h"
#include "tests/support/TestHost.h"
#include "tests/support/TowerData.h"

namespace {

CBackendWriterThread::Timing Fast() {
    CBackendWriterThread::Timing timing;
    timing.pollMs = 10;
    timing.retryMs = 50;
    return timing;
}

DateTime At(int step) {
    return DateTime(2009, 3, 12, 0, 0, 0) + DateTimeSpan(0, 0, 10 * step, 0);
}

class BackendRefillTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directory(host.Path("WPData"));
        BuildCatalogue();
        UseSource("DAVAD");
    }
    void TearDown() override { FreeCatalogue(); }
    void UseSource(const char* source) {
        CWPSettings settings;
        settings.m_strSource = source;
        settings.m_nType = 1;  // 10-minute rows only: the cases count those
        stores->m_settings.Replace(settings);
    }
    // As the storage thread does: the station row first, then the backend's turn.
    void Store(CBackendWriterThread& writer, int step, float value) {
        const CDataFrame record = FrameOf(12, At(step), {Item(7000, value, At(step))});
        stores->m_stations.FindOrAdd(12).TEST_SaveLocalData(record);
        writer.Enqueue(record);
    }
    std::string Backend(const std::string& sql) { return QueryDataSource("DAVAD", sql); }
    std::string Station(const std::string& sql) {
        return QueryFile(host.Path("WPData/WP_12.MDB"), sql);
    }

    TestHost host;
    std::unique_ptr<CWPStores> stores = std::make_unique<CWPStores>(host.Dir());
};

// Ten records while the data source is away, a restart in the middle of it, then the
// source answers: every station row is in the backend once, with the station's value,
// the newest live value of a time included, and the log names the refilled range.
TEST_F(BackendRefillTest, MissedRowsComeBackAfterARestartWithoutDuplicates) {
    {
        UseSource("NO_SUCH_SOURCE");
        // No retry while the records come, however slowly the station rows are written.
        CBackendWriterThread::Timing noRetry = Fast();
        noRetry.retryMs = 600000;
        CBackendWriterThread writer(stores->BackendTarget(), stores->m_stations, stores->m_journal,
                                    stores->m_confirmation, noRetry);
        ASSERT_TRUE(writer.CreateThread());
        for (int step = 0; step < 10; ++step) Store(writer, step, 1.0f + step);
        ASSERT_TRUE(WaitFor([&] { return writer.IsIdle(); }));
        EXPECT_EQ(stores->m_journal.PendingCount(), 1u);
        // The start's connect found it away: no statement tried, the journal until the retry.
        EXPECT_EQ(writer.Health().nFailed, 0);
        EXPECT_TRUE(writer.Health().tOutageSince.IsValid());
    }
    stores = std::make_unique<CWPStores>(host.Dir());  // the plug-in restarted
    stores->m_journal.Load(host.Dir());
    const std::vector<CRefillRange> pending = stores->m_journal.Pending();
    ASSERT_EQ(pending.size(), 1u);
    EXPECT_EQ(pending[0].m_tTo, At(9));
    EXPECT_EQ(Backend("SELECT COUNT(*) FROM FD_RUN_RTTOWER"), "0");

    UseSource("DAVAD");
    CBackendWriterThread writer(stores->BackendTarget(), stores->m_stations, stores->m_journal,
                                stores->m_confirmation, Fast());
    Store(writer, 4, 40.0f);  // newer than the journaled record of that time
    ASSERT_TRUE(writer.CreateThread());
    // The journal forgets a range in memory as it deletes its row: wait for both.
    ASSERT_TRUE(WaitFor([&] {
        return writer.IsIdle() && stores->m_journal.PendingCount() == 0 &&
               Station("SELECT COUNT(*) FROM REFILL") == "0";
    }));
    EXPECT_EQ(Backend("SELECT COUNT(*) FROM FD_RUN_RTTOWER WHERE TOWERID=12"), "10");
    EXPECT_EQ(Backend("SELECT COUNT(DISTINCT TIME) FROM FD_RUN_RTTOWER"), "10");
    EXPECT_EQ(Backend("SELECT SUM(V1AVGSP) FROM FD_RUN_RTTOWER"),
              Station("SELECT SUM(V1AVGSP) FROM RTTOWER"));
    EXPECT_EQ(Backend("SELECT V1AVGSP FROM FD_RUN_RTTOWER WHERE TIME='2009-03-12 00:40:00'"),
              "40.0");
    // The row written live is found, not counted as refilled.
    EXPECT_EQ(writer.RefilledCount(), 9);
    EXPECT_EQ(writer.PresentCount(), 1);
    EXPECT_EQ(Station("SELECT COUNT(*) FROM REFILL"), "0");
    const std::string log = ReadWholeFile(host.Path(ErrorLog::FileName()));
    EXPECT_NE(log.find("9 rows refilled for tower 12 from 2009-03-12 00:00:00 to 2009-03-12 "
                       "01:30:00 (1 present already)"),
              std::string::npos)
        << log;
}

// A prefix that is not an SQL name builds no statement: the refill keeps its range
// (and says why once) until the prefix is mended, then copies it whole.
TEST_F(BackendRefillTest, ABadPrefixKeepsTheRangeUntilItIsMended) {
    for (int step = 0; step < 4; ++step) {
        const CDataFrame record = FrameOf(12, At(step), {Item(7000, 1.0f, At(step))});
        stores->m_stations.FindOrAdd(12).TEST_SaveLocalData(record);
        ASSERT_TRUE(stores->m_journal.NoteMissed(12, At(step)));
    }
    CWPSettings settings = *stores->m_settings.Get();
    settings.m_strPreName = "bad name";
    stores->m_settings.Replace(settings);
    CBackendWriterThread writer(stores->BackendTarget(), stores->m_stations, stores->m_journal,
                                stores->m_confirmation, Fast());
    ASSERT_TRUE(writer.CreateThread());
    ASSERT_TRUE(WaitFor([&] {
        return ReadWholeFile(host.Path(ErrorLog::FileName())).find("bad name") != std::string::npos;
    }));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // several retries
    EXPECT_EQ(stores->m_journal.PendingCount(), 1u);
    EXPECT_EQ(Station("SELECT COUNT(*) FROM REFILL"), "1");
    settings.m_strPreName.clear();
    stores->m_settings.Replace(settings);
    ASSERT_TRUE(WaitFor([&] { return stores->m_journal.PendingCount() == 0; }));
    EXPECT_EQ(Backend("SELECT COUNT(*) FROM FD_RUN_RTTOWER WHERE TOWERID=12"), "4");
}

// A row the refill copies back equals the row the live writer writes for the same
// record, column by column, NULL where the record brought nothing; a row the backend
// has keeps its values (a recalculated RAIN) and only its NULL columns are filled.
TEST_F(BackendRefillTest, RefilledRowsEqualLiveRowsAndKeepWhatTheBackendHas) {
    const DateTime hour(2009, 3, 12, 1, 0, 0);
    const auto row = [&](const DateTime& time) {
        std::vector<std::string> values;
        for (const ColumnDef& column : TenMinuteColumns()) {
            values.push_back(column.name + "=" +
                             Backend("SELECT " + column.name +
                                     " FROM FD_RUN_RTTOWER WHERE TIME=" + TimeLiteral(time)));
        }
        return values;
    };
    CWPLocalDB& station = stores->m_stations.FindOrAdd(12);
    std::vector<std::vector<std::string>> live;
    for (const DateTime& time : {At(1), hour}) {
        const CDataFrame record =
            FrameOf(12, time, {Item(7000, 5.5f, time), Item(100, 12.5f, time)});
        ASSERT_EQ(SaveTowerRecord(stores->BackendTarget(), record), BackendOutcome::Done);
        live.push_back(row(time));
        ASSERT_TRUE(station.SaveLocalRT(record));
    }
    Backend("DELETE FROM FD_RUN_RTTOWER");
    CExportCounts counts;
    ASSERT_TRUE(station.RefillRange(stores->BackendTarget(), At(0), hour, counts));
    EXPECT_EQ(row(At(1)), live[0]);
    EXPECT_EQ(row(hour), live[1]);

    Backend("UPDATE FD_RUN_RTTOWER SET RAIN=7.5, V1AVGSP=NULL WHERE TIME=" + TimeLiteral(hour));
    ASSERT_TRUE(station.RefillRange(stores->BackendTarget(), At(0), hour, counts));
    const std::string at = " FROM FD_RUN_RTTOWER WHERE TIME=" + TimeLiteral(hour);
    EXPECT_EQ(Backend("SELECT RAIN" + at), "7.5") << "a recalculated value stays";
    EXPECT_EQ(Backend("SELECT V1AVGSP" + at), "5.5") << "a NULL column is filled";
}

// The confirmed time follows the records the backend has, never passes one still
// pending, drops back for a late record before its station row is written, and tells
// a restart which station rows to compare with the backend.
TEST_F(BackendRefillTest, TheConfirmedTimeNeverPassesAPendingRecord) {
    for (int step = 0; step < 6; ++step) {
        stores->m_stations.FindOrAdd(12).TEST_SaveLocalData(
            FrameOf(12, At(step), {Item(7000, 1.0f, At(step))}));
    }
    const DateTimeSpan second(0, 0, 0, 1);
    CBackendConfirmation& confirmation = stores->m_confirmation;
    // Rows no backend writing had in hand (an earlier installation's) are not copied.
    EXPECT_TRUE(confirmation.Unconfirmed(host.Dir()).empty());
    EXPECT_EQ(confirmation.Confirmed(12), At(5));
    EXPECT_NE(ReadWholeFile(host.Path("VKTError.log")).find("had no backend confirmation"),
              std::string::npos);

    const struct {
        const char* step;
        std::function<void()> act;
        DateTime confirmed;
    } steps[] = {
        {"two pending, the later written",
         [&] {
             confirmation.Hold(12, At(6));
             confirmation.Hold(12, At(7));
             confirmation.Release(12, At(7));
         },
         At(6) - second},
        {"the earlier written too", [&] { confirmation.Release(12, At(6)); }, At(7)},
        {"a late record", [&] { confirmation.Hold(12, At(2)); }, At(2) - second},
        {"the late record written", [&] { confirmation.Release(12, At(2)); }, At(7)},
        {"records never held (station data off)",
         [&] {
             confirmation.Release(12, At(9));
             confirmation.Release(99, At(9));
         },
         At(7)},
    };
    for (const auto& step : steps) {
        step.act();
        confirmation.PersistIfDue(true);
        EXPECT_EQ(confirmation.Confirmed(12), step.confirmed) << step.step;
    }
    EXPECT_FALSE(std::filesystem::exists(host.Path("WPData/WP_99.MDB")));
    CWPStores restarted(host.Dir());
    EXPECT_TRUE(restarted.m_confirmation.Unconfirmed(host.Dir()).empty());
    // A file from before confirmation: confirmed up to its newest row, nothing compared.
    ASSERT_TRUE(restarted.m_stations.FindOrAdd(12).ExecLocalSQL("DROP TABLE CONFIRMED"));
    CWPStores upgraded(host.Dir());
    EXPECT_TRUE(upgraded.m_confirmation.Unconfirmed(host.Dir()).empty());
    EXPECT_EQ(upgraded.m_confirmation.Confirmed(12), At(5));
}

// Past the queue's bound the oldest records leave it for the journal: counted, not lost.
TEST_F(BackendRefillTest, AFullQueueHandsItsOldestToTheJournal) {
    CBackendWriterThread::Timing timing = Fast();
    timing.maxQueued = 5;
    CBackendWriterThread writer(stores->BackendTarget(), stores->m_stations, stores->m_journal,
                                stores->m_confirmation, timing);  // not started
    for (int step = 0; step < 8; ++step) Store(writer, step, 1.0f);
    EXPECT_EQ(writer.DroppedCount(), 3);
    EXPECT_EQ(writer.QueuedCount(), 5u);
    const std::vector<CRefillRange> pending = stores->m_journal.Pending();
    ASSERT_EQ(pending.size(), 1u);
    EXPECT_EQ(pending[0].m_tFrom, At(0) - DateTimeSpan(0, 0, 0, 1));
    EXPECT_EQ(pending[0].m_tTo, At(2));
}

// A missed record widens its tower's last range within a day of it, else opens one.
TEST_F(BackendRefillTest, TheJournalKeepsFewRanges) {
    const struct {
        std::vector<int> steps;  // 10-minute steps missed, in this order
        size_t ranges;
    } cases[] = {
        {{0, 1, 2, 3}, 1}, {{0, 144, 288}, 1},  // a day apart each: still one range
        {{0, 145}, 2},                          // more than a day apart
        {{5, 3, 4}, 1},                         // a late record just before the range
        {{0, 1, 0, 1}, 1},                      // noted again: nothing changes
    };
    for (const auto& c : cases) {
        CRefillJournal journal(stores->m_stations);
        for (int step : c.steps) ASSERT_TRUE(journal.NoteMissed(12, At(step)));
        EXPECT_EQ(journal.PendingCount(), c.ranges) << c.steps.size();
        CRefillJournal reloaded(stores->m_stations);
        reloaded.Load(host.Dir());
        EXPECT_EQ(reloaded.PendingCount(), c.ranges) << "as stored";
        for (const CRefillRange& range : journal.Pending()) journal.Advance(12, range.m_tTo);
        EXPECT_EQ(journal.PendingCount(), 0u);
    }
}

// The storage thread (a full queue) and the writer note the same tower at once: the
// station file ends with the ranges the journal holds, whichever write lands last.
TEST_F(BackendRefillTest, NotesFromTwoThreadsLeaveTheNewestRangesInTheFile) {
    CRefillJournal journal(stores->m_stations);
    constexpr int kNotes = 60;
    auto note = [&](int first) {
        for (int i = 0; i < kNotes; ++i) journal.NoteMissed(12, At(first + 2 * i));
    };
    std::thread odd(note, 1);
    note(0);
    odd.join();
    CRefillJournal reloaded(stores->m_stations);
    reloaded.Load(host.Dir());
    ASSERT_EQ(reloaded.PendingCount(), 1u);
    EXPECT_EQ(reloaded.Pending()[0].m_tTo, At(2 * kNotes - 1));
    EXPECT_EQ(reloaded.Pending()[0].m_tTo, journal.Pending()[0].m_tTo);
}

// Rows the backend answers and refuses are kept in the station file's quarantine with
// the driver's reason, the first refusal logged in full and the rest counted, without
// an outage; once the table is mended a restart hands them back and the refill copies
// them: none missing, the quarantine empty.
TEST_F(BackendRefillTest, RefusedRowsAreKeptAndSentAgainAfterARestart) {
    const struct {
        const char* name;
        const char* when;    // the trigger's condition
        const char* reason;  // its message, as given to RAISE
        std::vector<float> values;
        size_t refused;
        const char* kept;  // the reason as the quarantine keeps it
    } cases[] = {
        {"some rows",
         "NEW.V1AVGSP > 50",
         "speed out of range",
         {10, 60, 20, 70},
         2,
         "speed out of range"},
        {"every row", "1", "no writes", {1, 2, 3}, 3, "no writes"},
        {"a reason with quotes", "1", "it''s refused\\", {5}, 1, "it?s refused?"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Backend(std::string("CREATE TRIGGER REFUSE BEFORE INSERT ON FD_RUN_RTTOWER WHEN ") +
                c.when + " BEGIN SELECT RAISE(ABORT, '" + c.reason + "'); END");
        const std::string log = host.Path(ErrorLog::FileName());
        const size_t logStart = ReadWholeFile(log).size();
        stores = std::make_unique<CWPStores>(host.Dir());
        UseSource("DAVAD");
        {
            CBackendWriterThread writer(stores->BackendTarget(), stores->m_stations,
                                        stores->m_journal, stores->m_confirmation, Fast());
            ASSERT_TRUE(writer.CreateThread());
            for (size_t i = 0; i < c.values.size(); ++i) {
                Store(writer, static_cast<int>(i), c.values[i]);
            }
            ASSERT_TRUE(WaitFor([&] {
                return writer.IsIdle() && stores->m_journal.PendingCount() == 0 &&
                       Station("SELECT COUNT(*) FROM REFILL") == "0";
            }));
            EXPECT_EQ(stores->m_journal.Quarantine().Count(), static_cast<long>(c.refused));
            EXPECT_FALSE(writer.Health().tOutageSince.IsValid()) << "the backend answered";
        }
        const std::vector<CRefusedRow> kept = stores->m_journal.Quarantine().Rows(12);
        ASSERT_EQ(kept.size(), c.refused);
        EXPECT_NE(kept[0].reason.find(c.kept), std::string::npos) << kept[0].reason;
        EXPECT_FALSE(kept[0].hourly);
        const std::string added = ReadWholeFile(log).substr(logStart);
        size_t full = 0;
        for (size_t at = 0; (at = added.find("WP Error SQL", at)) != std::string::npos; ++at) {
            ++full;
        }
        EXPECT_EQ(full, 1u) << added;

        Backend("DROP TRIGGER REFUSE");  // the table mended
        stores = std::make_unique<CWPStores>(host.Dir());
        UseSource("DAVAD");
        stores->m_journal.Load(host.Dir());
        stores->m_journal.Quarantine().Load(host.Dir());
        EXPECT_EQ(stores->m_journal.Quarantine().HandBack(stores->m_journal),
                  static_cast<long>(c.refused));
        CBackendWriterThread writer(stores->BackendTarget(), stores->m_stations, stores->m_journal,
                                    stores->m_confirmation, Fast());
        ASSERT_TRUE(writer.CreateThread());
        ASSERT_TRUE(WaitFor([&] { return stores->m_journal.PendingCount() == 0; }));
        EXPECT_EQ(Backend("SELECT COUNT(*) FROM FD_RUN_RTTOWER"), std::to_string(c.values.size()));
        EXPECT_EQ(Station("SELECT COUNT(*) FROM QUARANTINE"), "0");
        EXPECT_EQ(stores->m_journal.Quarantine().Count(), 0);
        writer.StopWorker();
        Backend("DELETE FROM FD_RUN_RTTOWER");
        stores->m_stations.FindOrAdd(12).ExecLocalSQL("DELETE FROM RTTOWER");
    }
}

}  // namespace
