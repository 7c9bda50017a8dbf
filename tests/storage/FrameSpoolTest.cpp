#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <thread>

#include "storage/FrameSpool.h"
#include "tests/support/FileSizeLimit.h"
#include "tests/support/TestHost.h"
#include "tests/support/TowerData.h"

namespace {

namespace fs = std::filesystem;

// Tower rtu's frame `minute` minutes after 14:00, its wind speed item twice.
CDataFrame Frame(int rtu, int minute, float value) {
    CDataFrame frame =
        SpeedFrame(rtu, DateTime(2009, 3, 12, 14, 0, 0) + DateTimeSpan(0, 0, minute, 0), value);
    frame.m_arItems.push_back(frame.m_arItems[0]);
    return frame;
}

// Reads everything there is, marking each record stored; the values of the first items.
std::vector<float> StoreAll(CFrameSpool& spool) {
    std::vector<float> values;
    for (;;) {
        std::vector<SpooledRecord> batch = spool.ReadBatch(3);
        if (batch.empty()) return values;
        for (const SpooledRecord& entry : batch) {
            values.push_back(entry.record->m_arItems.at(0).m_fValue);
            spool.MarkStored(entry.end);
        }
    }
}

std::vector<fs::path> SegmentFiles(const std::string& folder) {
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.path().extension() == ".spool") files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

class FrameSpoolTest : public ::testing::Test {
protected:
    TestHost m_host;
    const std::string m_folder = m_host.Path("WPData/spool");
};

TEST_F(FrameSpoolTest, FramesComeBackWholeAndInOrderAcrossRestarts) {
    {
        CFrameSpool spool(m_folder);
        ASSERT_TRUE(spool.Open());
        for (int i = 0; i < 5; ++i) ASSERT_TRUE(spool.Append(Frame(1 + i % 2, 10 * i, 1.5f + i)));
        std::vector<SpooledRecord> first = spool.ReadBatch(2);
        ASSERT_EQ(first.size(), 2u);
        const CDataFrame& record = *first[1].record;
        EXPECT_EQ(record.m_nRTUID, 2);
        EXPECT_EQ(record.m_nKind, 1);
        EXPECT_EQ(record.m_tTime.Format(), "2009-03-12 14:10:00");
        ASSERT_EQ(record.m_arItems.size(), 2u);
        EXPECT_EQ(record.m_arItems[1].m_nSensorID, 207000);
        for (const SpooledRecord& entry : first) spool.MarkStored(entry.end);
        EXPECT_EQ(spool.Backlog(), 3);
        spool.SyncIfDue(true);
        // A third record read but not marked stored when the process ends.
        EXPECT_EQ(spool.ReadBatch(1).size(), 1u);
    }
    CFrameSpool again(m_folder);
    ASSERT_TRUE(again.Open());
    EXPECT_EQ(again.Backlog(), 3);
    ASSERT_TRUE(again.Append(Frame(1, 60, 9.5f)));
    EXPECT_EQ(StoreAll(again), (std::vector<float>{3.5f, 4.5f, 5.5f, 9.5f}));
    EXPECT_EQ(again.Backlog(), 0);
}

// Damage at the end of the last segment (a torn write, garbage) is cut off at start;
// what came before it is kept, and new frames follow it.
TEST_F(FrameSpoolTest, ATornOrCorruptTailIsCutAtStart) {
    struct Damage {
        const char* name;
        void (*apply)(const fs::path& segment);
    };
    const Damage damages[] = {
        {"torn last record",
         [](const fs::path& segment) { fs::resize_file(segment, fs::file_size(segment) - 7); }},
        {"garbage appended",
         [](const fs::path& segment) { std::ofstream(segment, std::ios::app) << "garbage!!!"; }},
        {"flipped byte in the last record",
         [](const fs::path& segment) {
             std::fstream file(segment, std::ios::in | std::ios::out | std::ios::binary);
             file.seekp(static_cast<std::streamoff>(fs::file_size(segment)) - 3);
             file.put('\x7f');
         }},
    };
    for (const Damage& damage : damages) {
        SCOPED_TRACE(damage.name);
        fs::remove_all(m_folder);
        {
            CFrameSpool spool(m_folder);
            ASSERT_TRUE(spool.Open());
            for (int i = 0; i < 3; ++i) ASSERT_TRUE(spool.Append(Frame(1, 10 * i, 1.0f + i)));
        }
        damage.apply(SegmentFiles(m_folder).back());
        CFrameSpool spool(m_folder);
        ASSERT_TRUE(spool.Open());
        const bool cutWholeRecord = std::string(damage.name) != "garbage appended";
        EXPECT_EQ(spool.Backlog(), cutWholeRecord ? 2 : 3);
        ASSERT_TRUE(spool.Append(Frame(1, 50, 7.0f)));
        EXPECT_EQ(StoreAll(spool), cutWholeRecord ? (std::vector<float>{1.0f, 2.0f, 7.0f})
                                                  : (std::vector<float>{1.0f, 2.0f, 3.0f, 7.0f}));
    }
}

// Damage inside a segment, older or being written, is named in the log with its offset
// and counted; reading goes on with the next whole record, so nothing after it is lost.
// A frame larger than a record may be is refused at the door, never half taken.
TEST_F(FrameSpoolTest, DamageIsPassedToTheNextWholeRecordAndOversizedFramesAreRefused) {
    for (const bool olderSegment : {true, false}) {
        SCOPED_TRACE(olderSegment ? "older segment" : "segment being written");
        fs::remove_all(m_folder);
        CFrameSpool spool(m_folder, CFrameSpool::kSyncIntervalMs, olderSegment ? 500 : 1 << 20);
        ASSERT_TRUE(spool.Open());
        CDataFrame oversized = Frame(1, 5, 0.0f);
        oversized.m_arItems.resize(CFrameSpool::kMaxItems + 1);
        EXPECT_FALSE(spool.Append(oversized));
        for (int i = 0; i < 8; ++i) ASSERT_TRUE(spool.Append(Frame(1, 10 * i, float(i))));
        const int64_t recordBytes = 128;  // header, fixed fields and two items
        {
            // A byte of the second record's payload flipped.
            std::fstream file(SegmentFiles(m_folder).front(),
                              std::ios::in | std::ios::out | std::ios::binary);
            file.seekp(recordBytes + 20);
            file.put('\x5a');
        }
        EXPECT_EQ(StoreAll(spool), (std::vector<float>{0, 2, 3, 4, 5, 6, 7}));
        EXPECT_EQ(spool.DamagedCount(), 1);
        const std::string log = ReadWholeFile(m_host.Path("VKTError.log"));
        EXPECT_NE(log.find(SegmentFiles(m_folder).front().filename().string() + " at offset " +
                           std::to_string(recordBytes)),
                  std::string::npos)
            << log;
        EXPECT_NE(log.find("RTU 1 at 2009-03-12 14:05:00 with 4097 items refused"),
                  std::string::npos);
    }
}

TEST_F(FrameSpoolTest, StoredSegmentsAreDeletedAndTheMarkOutlivesTheProcess) {
    {
        CFrameSpool spool(m_folder, CFrameSpool::kSyncIntervalMs, 300);  // 3 frames a segment
        ASSERT_TRUE(spool.Open());
        for (int i = 0; i < 9; ++i) ASSERT_TRUE(spool.Append(Frame(1, 10 * i, float(i))));
        EXPECT_EQ(SegmentFiles(m_folder).size(), 3u);
        EXPECT_EQ(StoreAll(spool).size(), 9u);
        spool.SyncIfDue(true);
        EXPECT_EQ(SegmentFiles(m_folder).size(), 1u) << "only the segment being written stays";
    }
    CFrameSpool again(m_folder);
    ASSERT_TRUE(again.Open());
    EXPECT_EQ(again.Backlog(), 0);
    EXPECT_TRUE(StoreAll(again).empty());
}

// A full disk refuses the frame (the host is told) and leaves nothing of it; once
// there is room again frames are taken, and the log says each change once.
TEST_F(FrameSpoolTest, AFullDiskRefusesFramesWholeAndSaysSoOnceEachWay) {
    if (kOnWindows) GTEST_SKIP() << "no file size limit on this system";
    CFrameSpool spool(m_folder);
    ASSERT_TRUE(spool.Open());
    ASSERT_TRUE(spool.Append(Frame(1, 0, 1.0f)));
    const auto logLines = [&](const std::string& text) {
        const std::string log = ReadWholeFile(m_host.Path("VKTError.log"));
        int count = 0;
        for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) {
            ++count;
        }
        return count;
    };
    {
        std::optional<FileSizeLimit> limit;
        limit.emplace(fs::file_size(SegmentFiles(m_folder).back()) + 100);
        ASSERT_TRUE(limit->set);
        for (int i = 1; i <= 4; ++i) EXPECT_FALSE(spool.Append(Frame(1, 10 * i, 2.0f)));
        EXPECT_EQ(spool.RefusedCount(), 4);
    }
    ASSERT_TRUE(spool.Append(Frame(1, 60, 3.0f)));
    EXPECT_EQ(StoreAll(spool), (std::vector<float>{1.0f, 3.0f}));
    EXPECT_EQ(logLines("cannot take frames"), 1);
    EXPECT_EQ(logLines("writing again after 4 failures"), 1);
}

// Host threads append while the storage thread reads: every frame arrives once, each
// thread's in the order it handed them over.
TEST_F(FrameSpoolTest, HostThreadsAppendWhileTheStorageThreadReads) {
    constexpr int kThreads = 4;
    constexpr int kFrames = 300;
    CFrameSpool spool(m_folder, CFrameSpool::kSyncIntervalMs, 8192);  // segments turn over too
    ASSERT_TRUE(spool.Open());
    std::vector<std::thread> hosts;
    for (int t = 0; t < kThreads; ++t) {
        hosts.emplace_back([&spool, t] {
            for (int i = 0; i < kFrames; ++i) EXPECT_TRUE(spool.Append(Frame(t + 1, i, float(i))));
        });
    }
    std::vector<std::vector<float>> seen(kThreads);
    size_t total = 0;
    while (total < size_t(kThreads * kFrames)) {
        for (const SpooledRecord& entry : spool.ReadBatch(50)) {
            seen[entry.record->m_nRTUID - 1].push_back(entry.record->m_arItems[0].m_fValue);
            spool.MarkStored(entry.end);
            ++total;
        }
        spool.SyncIfDue();
    }
    for (std::thread& host : hosts) host.join();
    for (const auto& values : seen) {
        ASSERT_EQ(values.size(), size_t(kFrames));
        for (int i = 0; i < kFrames; ++i) EXPECT_EQ(values[i], float(i));
    }
    EXPECT_EQ(spool.Backlog(), 0);
}

}  // namespace
