#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>

#include "hostlib/HostSide.h"
#include "plugin/Exports.h"
#include "plugin/PluginState.h"
#include "plugin/WPContext.h"
#include "storage/WPDBThread.h"
#include "tests/support/TestHost.h"
#include "tests/support/TowerData.h"

namespace {

bool IsDirectory(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

TEST(PluginLifecycleTest, ExtDBInfoIsAvailableBeforeInit) {
    int type = 0;
    std::string name, description;
    GetExtDBInfo(type, name, description);
    EXPECT_EQ(type, 8);
    EXPECT_EQ(name, "KOLT-ZOZARIDAZ");
    EXPECT_EQ(description, "KOLT水情风电数据库接口");
}

TEST(PluginLifecycleTest, SaveRTDBFollowsTheLifecycle) {
    TestHost host;
    PluginState::OnLoad();
    EXPECT_EQ(SaveRTDB(FrameOf(1, k1410)), 0) << "before VKTLibInit";

    VKTLibInit();
    CWPDBThread* storage = PluginState::Context()->m_pStorageThread.get();
    ASSERT_NE(storage, nullptr);
    EXPECT_NE(SaveRTDB(FrameOf(1, k1410)), 0) << "type 100";
    ASSERT_TRUE(WaitFor([&] { return storage->ProcessedCount() == 1; }));
    EXPECT_NE(SaveRTDB(FrameOf(40, k1410)), 0) << "type 102 is accepted";
    EXPECT_EQ(SaveRTDB(FrameOf(999, k1410)), 0) << "unknown RTU";
    EXPECT_NE(SaveRTDB(FrameOf(12, k1410)), 0) << "type 101";
    ASSERT_TRUE(WaitFor([&] { return storage->ProcessedCount() >= 2; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(storage->ProcessedCount(), 2) << "only the tower frames reach the queue";

    VKTLibExit();
    EXPECT_EQ(PluginState::Context(), nullptr);
    EXPECT_EQ(SaveRTDB(FrameOf(1, k1410)), 0) << "after VKTLibExit";
}

TEST(PluginLifecycleTest, ManyHostThreadsHandOverConcurrently) {
    TestHost host;
    PluginState::OnLoad();
    VKTLibInit();
    constexpr int kThreads = 4, kFrames = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kFrames; ++i) SaveRTDB(FrameOf(t % 2 ? 12 : 1, k1410));
        });
    }
    for (auto& thread : threads) thread.join();
    CWPDBThread* storage = PluginState::Context()->m_pStorageThread.get();
    ASSERT_TRUE(WaitFor([&] { return storage->ProcessedCount() == kThreads * kFrames; }));
    VKTLibExit();
}

// A second start would replace the state that the running threads still use.
TEST(PluginLifecycleTest, ASecondStartWithoutExitIsRefused) {
    TestHost host;
    PluginState::OnLoad();
    VKTLibInit();
    CWPContext* first = PluginState::Context();
    std::vector<std::string> lines;
    VktHost::SetMessageWindow([&](const std::string& text) { lines.push_back(text); });
    VKTLibInit();
    VktHost::SetMessageWindow(nullptr);
    EXPECT_EQ(PluginState::Context(), first);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("already started"), std::string::npos) << lines[0];
    EXPECT_NE(SaveRTDB(FrameOf(1, k1410)), 0);
    VKTLibExit();
    EXPECT_EQ(SaveRTDB(FrameOf(1, k1410)), 0);
}

// Host threads handing frames over in a loop must not hold the shut-down off: it ends
// while they keep calling (the bound only keeps a broken build from hanging), and no
// hand-over after it stores anything.
TEST(PluginLifecycleTest, HandOversRacingTheShutdownNeitherStarveItNorOutliveIt) {
    TestHost host;
    PluginState::OnLoad();
    VKTLibInit();
    std::atomic<bool> exited{false};
    std::atomic<bool> release{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            while (!release) {
                const bool afterExit = exited.load();
                const int result = SaveRTDB(FrameOf(t % 2 ? 40 : 1, k1410));
                EXPECT_TRUE(!afterExit || result == 0) << "stored after VKTLibExit";
            }
        });
    }
    std::thread closer([&] {
        VKTLibExit();
        exited = true;
    });
    const bool ended = WaitFor([&] { return exited.load(); }, 30000);
    release = true;  // lets the host threads go either way
    closer.join();
    for (auto& thread : threads) thread.join();
    EXPECT_TRUE(ended) << "VKTLibExit waited on the hand-overs";
    EXPECT_EQ(SaveRTDB(FrameOf(1, k1410)), 0);
}

TEST(PluginLifecycleTest, LoadCreatesWPDataUnlessTheNameIsTaken) {
    {
        TestHost host;
        PluginState::OnLoad();
        EXPECT_EQ(PluginState::WorkingDirectory(), host.Dir());
        EXPECT_TRUE(IsDirectory(host.Path("WPData")));
    }
    {
        TestHost host;
        std::ofstream(host.Path("WPData")) << "a file";
        PluginState::OnLoad();
        EXPECT_FALSE(IsDirectory(host.Path("WPData")));
        EXPECT_EQ(ReadWholeFile(host.Path("WPData")), "a file");
    }
}

// A host without a Qt application (the terminal host) gets a line, not a crash.
TEST(PluginLifecycleTest, DialogExportsWithoutAUserInterfaceSaySo) {
    TestHost host;
    PluginState::OnLoad();
    VKTLibInit();
    std::vector<std::string> lines;
    VktHost::SetMessageWindow([&](const std::string& text) { lines.push_back(text); });
    EditProperty();
    OutLocalData();
    VktHost::SetMessageWindow(nullptr);
    VKTLibExit();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("Qt user interface"), std::string::npos) << lines[0];
}

}  // namespace
