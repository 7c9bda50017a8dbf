#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/MessageLayer.h"

namespace {

// A window on the calling thread that records what it is sent, and on which thread.
class RecordingWindow {
public:
    RecordingWindow()
        : m_hwnd(MessageLayer::RegisterWindow([this](const Message& m) {
              received.push_back(m);
              threads.push_back(std::this_thread::get_id());
          })) {}
    ~RecordingWindow() { MessageLayer::UnregisterWindow(m_hwnd); }
    RecordingWindow(const RecordingWindow&) = delete;
    RecordingWindow& operator=(const RecordingWindow&) = delete;

    WindowHandle Handle() const { return m_hwnd; }

    std::vector<Message> received;
    std::vector<std::thread::id> threads;

private:
    WindowHandle m_hwnd;
};

}  // namespace

TEST(MessageLayerTest, RegisteredWindowsHaveDistinctNonZeroHandles) {
    RecordingWindow a, b;
    EXPECT_NE(a.Handle(), 0);
    EXPECT_NE(b.Handle(), 0);
    EXPECT_NE(a.Handle(), b.Handle());
    EXPECT_TRUE(MessageLayer::IsWindow(a.Handle()));
    EXPECT_FALSE(MessageLayer::IsWindow(0));
}

// Posts from a worker wait in the window thread's queue until that thread pumps, and
// are then dispatched on it in the order they were posted.
TEST(MessageLayerTest, PostFromWorkerIsDispatchedInOrderOnTheWindowsThread) {
    RecordingWindow window;
    const WindowHandle hwnd = window.Handle();
    std::atomic<int> refused{0};
    std::thread worker([&] {
        for (int i = 0; i < 200; ++i) {
            if (!MessageLayer::PostMessage(hwnd, 3024 + i % 3, i, 1000 + i)) ++refused;
        }
    });
    worker.join();
    EXPECT_EQ(refused.load(), 0);
    EXPECT_TRUE(window.received.empty()) << "dispatched before the owner pumped";

    EXPECT_EQ(MessageLayer::PumpMessages(), 200);
    ASSERT_EQ(window.received.size(), 200u);
    for (int i = 0; i < 200; ++i) {
        const Message& m = window.received[i];
        EXPECT_EQ(m.hwnd, hwnd);
        EXPECT_EQ(m.message, static_cast<unsigned>(3024 + i % 3));
        EXPECT_EQ(m.wParam, i);
        EXPECT_EQ(m.lParam, 1000 + i);
        EXPECT_EQ(window.threads[i], std::this_thread::get_id());
    }
    EXPECT_EQ(MessageLayer::PumpMessages(), 0);  // the queue was emptied
}

// Pumping on another thread does not take the messages of this thread's windows.
TEST(MessageLayerTest, PumpOnAnotherThreadDispatchesNothingOfThisThread) {
    RecordingWindow window;
    ASSERT_TRUE(MessageLayer::PostMessage(window.Handle(), 3025, 1, 2));
    int pumpedElsewhere = -1;
    std::thread other([&] { pumpedElsewhere = MessageLayer::PumpMessages(); });
    other.join();
    EXPECT_EQ(pumpedElsewhere, 0);
    EXPECT_TRUE(window.received.empty());
    EXPECT_EQ(MessageLayer::PumpMessages(), 1);
    EXPECT_EQ(window.received.size(), 1u);
}

// Messages to several windows of one thread keep their overall posting order.
TEST(MessageLayerTest, OrderIsKeptAcrossWindowsOfOneThread) {
    std::vector<std::pair<WindowHandle, intptr_t>> order;
    const WindowHandle a = MessageLayer::RegisterWindow([&](const Message& m) {
        order.push_back({m.hwnd, m.wParam});
    });
    const WindowHandle b = MessageLayer::RegisterWindow([&](const Message& m) {
        order.push_back({m.hwnd, m.wParam});
    });
    std::thread worker([&] {
        MessageLayer::PostMessage(a, 3024, 1, 0);
        MessageLayer::PostMessage(b, 3024, 2, 0);
        MessageLayer::PostMessage(a, 3024, 3, 0);
    });
    worker.join();
    EXPECT_EQ(MessageLayer::PumpMessages(), 3);
    const std::vector<std::pair<WindowHandle, intptr_t>> expected = {{a, 1}, {b, 2}, {a, 3}};
    EXPECT_EQ(order, expected);
    MessageLayer::UnregisterWindow(a);
    MessageLayer::UnregisterWindow(b);
}

TEST(MessageLayerTest, PostToAnUnknownWindowIsRefused) {
    EXPECT_FALSE(MessageLayer::PostMessage(0, 3024, 0, 0));
    EXPECT_FALSE(MessageLayer::PostMessage(-5, 3024, 0, 0));
    EXPECT_FALSE(MessageLayer::PostMessage(123456789, 3024, 0, 0));
    EXPECT_EQ(MessageLayer::PumpMessages(), 0);
}

TEST(MessageLayerTest, PostAfterUnregisterIsRefused) {
    const WindowHandle hwnd = MessageLayer::RegisterWindow([](const Message&) {});
    MessageLayer::UnregisterWindow(hwnd);
    EXPECT_FALSE(MessageLayer::IsWindow(hwnd));
    EXPECT_FALSE(MessageLayer::PostMessage(hwnd, 3024, 0, 0));
    bool posted = true;
    std::thread worker([&] { posted = MessageLayer::PostMessage(hwnd, 3024, 0, 0); });
    worker.join();
    EXPECT_FALSE(posted);
    EXPECT_EQ(MessageLayer::PumpMessages(), 0);
}

// Messages already queued when the window goes away are dropped, and do not disturb
// the messages of the thread's other windows.
TEST(MessageLayerTest, QueuedMessagesAreDroppedAfterUnregister) {
    int goneCalls = 0;
    const WindowHandle gone = MessageLayer::RegisterWindow([&](const Message&) { ++goneCalls; });
    RecordingWindow stays;
    std::thread worker([&] {
        MessageLayer::PostMessage(gone, 3024, 1, 0);
        MessageLayer::PostMessage(stays.Handle(), 3024, 2, 0);
        MessageLayer::PostMessage(gone, 3024, 3, 0);
        MessageLayer::PostMessage(stays.Handle(), 3024, 4, 0);
    });
    worker.join();
    MessageLayer::UnregisterWindow(gone);

    EXPECT_EQ(MessageLayer::PumpMessages(), 2);
    EXPECT_EQ(goneCalls, 0);
    ASSERT_EQ(stays.received.size(), 2u);
    EXPECT_EQ(stays.received[0].wParam, 2);
    EXPECT_EQ(stays.received[1].wParam, 4);
}

// A handler that closes its own window: the rest of its queued messages are dropped.
TEST(MessageLayerTest, HandlerThatUnregistersItsWindowGetsNoMoreMessages) {
    int calls = 0;
    WindowHandle hwnd = 0;
    hwnd = MessageLayer::RegisterWindow([&](const Message&) {
        ++calls;
        MessageLayer::UnregisterWindow(hwnd);
    });
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(MessageLayer::PostMessage(hwnd, 3024, i, 0));
    EXPECT_EQ(MessageLayer::PumpMessages(), 1);
    EXPECT_EQ(calls, 1);
}

// A handler may post (to its own or another window) while the queue is being pumped.
TEST(MessageLayerTest, HandlerMayPostDuringDispatch) {
    std::vector<intptr_t> seen;
    WindowHandle hwnd = 0;
    hwnd = MessageLayer::RegisterWindow([&](const Message& m) {
        seen.push_back(m.wParam);
        if (m.wParam < 3) MessageLayer::PostMessage(hwnd, 3024, m.wParam + 1, 0);
    });
    ASSERT_TRUE(MessageLayer::PostMessage(hwnd, 3024, 0, 0));
    int pumped = 0;
    for (int i = 0; i < 5; ++i) pumped += MessageLayer::PumpMessages();
    EXPECT_EQ(pumped, 4);
    EXPECT_EQ(seen, (std::vector<intptr_t>{0, 1, 2, 3}));
    MessageLayer::UnregisterWindow(hwnd);
}

// Many workers post while the owner pumps: every message arrives once, each worker's
// messages in order.
TEST(MessageLayerTest, ConcurrentPostersAndPumpLoseNothing) {
    constexpr int kPosters = 4;
    constexpr int kEach = 2000;
    std::vector<std::vector<intptr_t>> perPoster(kPosters);
    const WindowHandle hwnd = MessageLayer::RegisterWindow(
        [&](const Message& m) { perPoster[m.wParam].push_back(m.lParam); });
    std::vector<std::thread> posters;
    for (int p = 0; p < kPosters; ++p) {
        posters.emplace_back([hwnd, p] {
            for (int i = 0; i < kEach; ++i) MessageLayer::PostMessage(hwnd, 3024, p, i);
        });
    }
    int pumped = 0;
    for (int round = 0; round < 100000 && pumped < kPosters * kEach; ++round) {
        pumped += MessageLayer::PumpMessages();
        std::this_thread::yield();
    }
    for (auto& t : posters) t.join();
    pumped += MessageLayer::PumpMessages();
    EXPECT_EQ(pumped, kPosters * kEach);
    for (int p = 0; p < kPosters; ++p) {
        ASSERT_EQ(perPoster[p].size(), static_cast<size_t>(kEach)) << "poster " << p;
        for (int i = 0; i < kEach; ++i) ASSERT_EQ(perPoster[p][i], i) << "poster " << p;
    }
    MessageLayer::UnregisterWindow(hwnd);
}

// The main window is per thread.
TEST(MessageLayerTest, MainWindowBelongsToTheThreadThatSetIt) {
    MessageLayer::SetThreadMainWindow(17);
    WindowHandle seenElsewhere = -1;
    std::thread other([&] { seenElsewhere = MessageLayer::GetThreadMainWindow(); });
    other.join();
    EXPECT_EQ(seenElsewhere, 0);
    EXPECT_EQ(MessageLayer::GetThreadMainWindow(), 17);
    MessageLayer::SetThreadMainWindow(0);
}
