#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>

#include "platform/ErrorLog.h"
#include "storage/IsolationFile.h"
#include "storage/WPSettings.h"
#include "tests/support/FileSizeLimit.h"
#include "tests/support/TestHost.h"
#include "tests/support/TowerData.h"

namespace {

const DateTime kFileTime(2009, 3, 12, 14, 5, 0);
const DateTime kNow(2009, 3, 12, 14, 6, 31);

// The values of the documented example: the V0 slots and level 1, all stamped 14:00.
std::vector<CDataItem> ExampleItems() {
    const DateTime t(2009, 3, 12, 14, 0, 0);
    std::vector<CDataItem> items;
    for (auto [id, value] : std::vector<std::pair<int, float>>{
             {8000, 15.2f},  {8100, 80.0f},  {8200, 14.8f},  {8300, 78.5f}, {2300, 1012.3f},
             {100, 12.5f},   {2900, 1.0f},   {2901, 0.0f},   {2902, 0.0f},  {2903, 0.0f},
             {2904, 0.0f},   {2905, 0.0f},   {3000, 0.0f},   {7000, 5.3f},  {7100, 182.0f},
             {7200, 0.45f},  {7300, 5.1f},   {7400, 180.0f}, {7500, 7.2f},  {7600, 3.1f},
             {7700, 175.0f}, {7800, 190.0f}, {7900, 12.0f}}) {
        items.push_back(PointOf(1, id, value, t));
    }
    return items;
}

const char* const kExampleFile =
    "5,2009-03-12 14:05:00,V0,  15.20,  80.00,  14.80,  78.50,1012.30,  12.50, -99.00,   1.00,"
    "   0.00,   0.00,   0.00,   0.00,   0.00,   0.00, -99.00, -99.00\r\n"
    "5,2009-03-12 14:05:00,V1,   5.30, 182.00,   0.45,   5.10, 180.00,   7.20,   3.10, 175.00,"
    " 190.00,  12.00\r\n"
    "##";

CWPSettings Settings(bool permit, const std::string& dir) {
    CWPSettings settings;
    settings.m_bPermit = permit;
    settings.m_strDir = dir;
    return settings;
}

CRTUDef Tower(int rtu, const std::string& name, const std::string& remark) {
    CRTUDef def;
    def.m_nID = def.m_nRTUID = rtu;
    def.m_strName = name;
    def.m_nType = 100;
    def.m_strRemark = remark;
    return def;
}

// The names in a folder, sorted.
std::vector<std::string> Entries(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> LogLines() {
    std::vector<std::string> lines;
    std::istringstream log(ReadWholeFile(ErrorLog::FileName()));
    for (std::string line; std::getline(log, line);) lines.push_back(line);
    return lines;
}

TEST(IsolationFileTest, ValueSlotsOfEveryQuantity) {
    EXPECT_EQ(GetValueSlot(7000), 0);
    EXPECT_EQ(GetValueSlot(7100), 1);
    EXPECT_EQ(GetValueSlot(7900), 9);
    EXPECT_EQ(GetValueSlot(9000), 10);
    EXPECT_EQ(GetValueSlot(9300), 13);
    EXPECT_EQ(GetValueSlot(7001), 14);
    EXPECT_EQ(GetValueSlot(7906), 93);
    EXPECT_EQ(GetValueSlot(9306), 97);
    EXPECT_EQ(GetValueSlot(8000), 98);
    EXPECT_EQ(GetValueSlot(8100), 99);
    EXPECT_EQ(GetValueSlot(8200), 100);
    EXPECT_EQ(GetValueSlot(8300), 101);
    EXPECT_EQ(GetValueSlot(2300), 102);
    EXPECT_EQ(GetValueSlot(100), 103);
    EXPECT_EQ(GetValueSlot(2900), 105);
    EXPECT_EQ(GetValueSlot(2905), 110);
    EXPECT_EQ(GetValueSlot(3000), 111);
    // Levels that do not exist have no slot: 7107 must not overwrite VMAXHUM.
    EXPECT_EQ(GetValueSlot(7107), kNoSlot);
    EXPECT_EQ(GetValueSlot(7199), kNoSlot);
    EXPECT_EQ(GetValueSlot(9307), kNoSlot);
    for (int id : {101, 2000, 2906, 9400, 10000, 6999, 0, -7000}) {
        EXPECT_EQ(GetValueSlot(id), kNoSlot) << id;
    }
}

TEST(IsolationFileTest, FreshnessAdmitsThreeHundredSecondsEachWay) {
    auto slotAt = [](int h, int m, int s) {
        return CRTUValue{1.0f, DateTime(2009, 3, 12, h, m, s)};
    };
    EXPECT_TRUE(IsolationFile::IsFresh(slotAt(13, 59, 59), kFileTime));
    EXPECT_TRUE(IsolationFile::IsFresh(slotAt(14, 0, 0), kFileTime));
    EXPECT_TRUE(IsolationFile::IsFresh(slotAt(14, 10, 0), kFileTime));
    EXPECT_FALSE(IsolationFile::IsFresh(slotAt(13, 59, 58), kFileTime));
    EXPECT_FALSE(IsolationFile::IsFresh(slotAt(14, 10, 1), kFileTime));
    EXPECT_FALSE(IsolationFile::IsFresh(CRTUValue{}, kFileTime)) << "never filled";
    CRTUValue notANumber = slotAt(14, 5, 0);
    notANumber.m_fValue = std::nanf("");
    EXPECT_FALSE(IsolationFile::IsFresh(notANumber, kFileTime));
    notANumber.m_fValue = INFINITY;
    EXPECT_FALSE(IsolationFile::IsFresh(notANumber, kFileTime));
}

TEST(IsolationFileTest, NamesOutputIdsAndFileTimes) {
    EXPECT_EQ(IsolationFile::FileTime(kNow).Format(), "2009-03-12 14:05:00");
    EXPECT_EQ(IsolationFile::FileTime(DateTime(2009, 12, 31, 23, 59, 59)).Format(),
              "2009-12-31 23:55:00");

    EXPECT_EQ(IsolationFile::OutputID(Tower(5, "T1", "")), 5);
    EXPECT_EQ(IsolationFile::OutputID(Tower(5, "T1", "site outputid:17 (new)")), 17);
    EXPECT_EQ(IsolationFile::OutputID(Tower(5, "T1", "OutputId: -3x OUTPUTID:9")), -3);
    EXPECT_EQ(IsolationFile::OutputID(Tower(5, "T1", "OUTPUTID:none")), 0);

    EXPECT_EQ(IsolationFile::FileName("/data/out", "T1", 5, kFileTime),
              "/data/out/T1-5-20090312-1405.txt");
    EXPECT_EQ(IsolationFile::FileName("", "T1", 5, kFileTime), "T1-5-20090312-1405.txt");
    EXPECT_EQ(IsolationFile::FileName("/out", "../T/1", 5, kFileTime),
              "/out/.._T_1-5-20090312-1405.txt");
}

TEST(IsolationFileTest, TheDocumentedExampleByteForByte) {
    CRTUState state;
    UpdateLatestValues(state, ExampleItems());
    EXPECT_EQ(IsolationFile::Content(state, 5, kFileTime) + "##", kExampleFile);
}

TEST(IsolationFileTest, OnlyLinesWithAFreshValueAreWritten) {
    CRTUState state;
    const DateTime fresh(2009, 3, 12, 14, 4, 0), stale(2009, 3, 12, 13, 0, 0);
    UpdateLatestValues(state, {PointOf(1, 7000, 5.0f, fresh), PointOf(1, 7001, 6.0f, stale),
                               PointOf(1, 9000, 4.0f, fresh)});
    EXPECT_EQ(IsolationFile::Content(state, 7, kFileTime),
              "7,2009-03-12 14:05:00,V1,   5.00, -99.00, -99.00, -99.00, -99.00, -99.00, -99.00,"
              " -99.00, -99.00, -99.00\r\n");
    UpdateLatestValues(state, {PointOf(1, 8000, -4.25f, fresh)});
    const std::string content = IsolationFile::Content(state, 7, kFileTime);
    EXPECT_EQ(content.rfind("7,2009-03-12 14:05:00,V0,  -4.25, -99.00", 0), 0u) << content;
    EXPECT_EQ(content.find("V2"), std::string::npos);

    CRTUState empty;
    EXPECT_EQ(IsolationFile::Content(empty, 7, kFileTime), "");
}

class IsolationWriteTest : public ::testing::Test {
protected:
    void SetUp() override {
        state = CRTUState::GetRTUState(1);
        ASSERT_NE(state, nullptr);
        UpdateLatestValues(*state, ExampleItems());
        state->SetStateTime(DateTime(2009, 3, 12, 14, 1, 0));
        std::filesystem::create_directory(host.Path("out"));
        settings = Settings(true, host.Path("out"));
    }

    std::string FilePath() const { return host.Path("out/T1-5-20090312-1405.txt"); }
    IsolationOutcome Write(const std::string& remark, const DateTime& now) {
        return WriteIsolationFile(Tower(1, "T1", remark), now, settings, folder);
    }

    TestHost host;
    CRTUState* state = nullptr;
    CWPSettings settings;
    CIsolationFolderState folder;
};

TEST_F(IsolationWriteTest, WritesReplacesAndDeletes) {
    const std::string older = "an older file of the same period that is much longer";
    std::ofstream(FilePath()) << older;
    // The device may be reading the older file while the new one is written (not on
    // Windows, where an open file can be neither replaced nor deleted).
    std::optional<std::ifstream> reader;
    if (!kOnWindows) reader.emplace(FilePath(), std::ios::binary);
    // The health counts files: the period's file written again is no new one.
    EXPECT_EQ(Write("OUTPUTID:5", kNow), IsolationOutcome::Rewritten);
    EXPECT_EQ(ReadWholeFile(FilePath()), kExampleFile);
    if (reader) {
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(*reader), {}), older)
            << "rewritten in place";
    }
    EXPECT_EQ(Entries(host.Path("out")), std::vector<std::string>{"T1-5-20090312-1405.txt"});
    reader.reset();
    std::filesystem::remove(FilePath());
    EXPECT_EQ(Write("OUTPUTID:5", kNow), IsolationOutcome::Written);

    // The tower still reports but nothing it sent is current: the file goes away.
    std::vector<CDataItem> stale = ExampleItems();
    for (CDataItem& item : stale) item.m_tTime = DateTime(2009, 3, 12, 13, 0, 0);
    UpdateLatestValues(*state, stale);
    Write("OUTPUTID:5", DateTime(2009, 3, 12, 14, 6, 40));
    EXPECT_EQ(Entries(host.Path("out")), std::vector<std::string>{});
    EXPECT_TRUE(LogLines().empty());
}

TEST_F(IsolationWriteTest, NoFileWhenSwitchedOffOrTheTowerIsSilent) {
    settings = Settings(false, host.Path("out"));
    Write("OUTPUTID:5", kNow);
    EXPECT_FALSE(std::filesystem::exists(FilePath()));

    settings = Settings(true, host.Path("out"));
    state->SetStateTime(DateTime(2009, 3, 12, 13, 56, 30));  // 10 min 1 s before now
    Write("OUTPUTID:5", kNow);
    EXPECT_FALSE(std::filesystem::exists(FilePath()));

    state->SetStateTime(DateTime(2009, 3, 12, 13, 56, 31));  // exactly 10 minutes
    Write("OUTPUTID:5", kNow);
    EXPECT_TRUE(std::filesystem::exists(FilePath()));
}

TEST_F(IsolationWriteTest, WithoutDirTheFileGoesToTheCurrentDirectory) {
    settings = Settings(true, "");
    Write("outputid:17", kNow);
    const std::string content = ReadWholeFile(host.Path("T1-17-20090312-1405.txt"));
    EXPECT_EQ(content.rfind("17,2009-03-12 14:05:00,V0,", 0), 0u) << content;
    EXPECT_NE(content.find("\r\n17,2009-03-12 14:05:00,V1,"), std::string::npos);
}

TEST_F(IsolationWriteTest, AFailedWriteLeavesWhatWasThereAndNoTemporary) {
    struct Case {
        const char* what;
        std::function<void()> arrange;  // puts something under the final name
        uint64_t sizeLimit;             // 0: none
        const char* reason;
    };
    const std::string older = "an older file of the same period";
    const Case cases[] = {
        {"the disk fills half way", [&] { std::ofstream(FilePath()) << older; }, 200,
         "File too large"},
        {"a folder has the file's name", [&] { std::filesystem::create_directory(FilePath()); }, 0,
         kOnWindows ? "Permission denied" : "Is a directory"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all(host.Path("out"));
        std::filesystem::create_directory(host.Path("out"));
        std::filesystem::remove(ErrorLog::FileName());
        folder = {};
        c.arrange();
        {
            std::optional<FileSizeLimit> limit;
            if (c.sizeLimit && !limit.emplace(c.sizeLimit).set) {
                if (kOnWindows) continue;  // no file size limit to lower there
                FAIL() << "cannot lower the file size limit";
            }
            Write("OUTPUTID:5", kNow);
        }
        EXPECT_EQ(Entries(host.Path("out")), std::vector<std::string>{"T1-5-20090312-1405.txt"});
        if (std::filesystem::is_regular_file(FilePath())) {
            EXPECT_EQ(ReadWholeFile(FilePath()), older);
        }
        const std::vector<std::string> log = LogLines();
        ASSERT_EQ(log.size(), 1u);
        EXPECT_NE(log[0].find(c.reason), std::string::npos) << log[0];
    }
}

TEST_F(IsolationWriteTest, AFailingFolderIsLoggedOnceAndItsRecoveryOnce) {
    struct Case {
        const char* what;
        std::string dir;
        std::function<void()> arrange;
        const char* reason;
    };
    const Case cases[] = {
        {"missing", host.Path("missing/out"), [] {}, "No such file or directory"},
        {"a file where a folder should be", host.Path("blocker/out"),
         [&] { std::ofstream(host.Path("blocker")) << "x"; },
         kOnWindows ? "No such file or directory" : "Not a directory"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove(ErrorLog::FileName());
        folder = {};
        c.arrange();
        settings = Settings(true, c.dir);
        for (int pass = 0; pass < 3; ++pass) Write("OUTPUTID:5", kNow);
        std::vector<std::string> log = LogLines();
        ASSERT_EQ(log.size(), 1u);
        EXPECT_NE(log[0].find(c.dir + ": " + c.reason), std::string::npos) << log[0];

        // Another folder that fails too is news.
        settings = Settings(true, host.Path("elsewhere/out"));
        for (int pass = 0; pass < 2; ++pass) Write("OUTPUTID:5", kNow);
        EXPECT_EQ(LogLines().size(), 2u);

        std::filesystem::remove_all(host.Path("blocker"));
        std::filesystem::create_directories(c.dir);
        settings = Settings(true, c.dir);
        for (int pass = 0; pass < 2; ++pass) Write("OUTPUTID:5", kNow);
        EXPECT_EQ(ReadWholeFile(c.dir + "/T1-5-20090312-1405.txt"), kExampleFile);
        log = LogLines();
        ASSERT_EQ(log.size(), 3u);
        EXPECT_NE(log[2].find(c.dir), std::string::npos) << log[2];
        EXPECT_EQ(log[2].find(c.reason), std::string::npos) << log[2];
    }
}

}  // namespace
