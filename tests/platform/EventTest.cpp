#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/Event.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Generous bound for waits that must succeed; never reached when the code is right.
constexpr int kLongWaitMs = 10000;

}  // namespace

// --- Single event ------------------------------------------------------------------

TEST(EventTest, ManualResetStaysSetUntilReset) {
    Event event(true, false);
    EXPECT_FALSE(event.IsSet());
    EXPECT_FALSE(event.Wait(0));
    event.Set();
    EXPECT_TRUE(event.IsSet());
    EXPECT_TRUE(event.Wait(0));
    EXPECT_TRUE(event.Wait(0));
    EXPECT_TRUE(event.IsSet());
    event.Reset();
    EXPECT_FALSE(event.IsSet());
    EXPECT_FALSE(event.Wait(0));
}

TEST(EventTest, AutomaticResetIsConsumedByOneWait) {
    Event event(false, false);
    event.Set();
    EXPECT_TRUE(event.IsSet());  // looking does not consume
    EXPECT_TRUE(event.IsSet());
    EXPECT_TRUE(event.Wait(0));
    EXPECT_FALSE(event.IsSet());
    EXPECT_FALSE(event.Wait(0));
    // Setting twice before a wait still gives one signal.
    event.Set();
    event.Set();
    EXPECT_TRUE(event.Wait(0));
    EXPECT_FALSE(event.Wait(0));
}

TEST(EventTest, InitiallySet) {
    Event manual(true, true);
    EXPECT_TRUE(manual.Wait(0));
    EXPECT_TRUE(manual.Wait(0));
    Event automatic(false, true);
    EXPECT_TRUE(automatic.Wait(0));
    EXPECT_FALSE(automatic.Wait(0));
    Event byDefault;  // manual reset, not set
    EXPECT_FALSE(byDefault.IsSet());
    byDefault.Set();
    EXPECT_TRUE(byDefault.Wait(0));
    EXPECT_TRUE(byDefault.Wait(0));
}

TEST(EventTest, WaitTimesOutWithFalseAndNotBeforeTheTimeOut) {
    Event event(true, false);
    const auto start = Clock::now();
    EXPECT_FALSE(event.Wait(100));
    EXPECT_GE(Clock::now() - start, milliseconds(100));
}

TEST(EventTest, ResetBeforeTheWaitLeavesNothingToWaitFor) {
    Event event(true, false);
    event.Set();
    event.Reset();
    EXPECT_FALSE(event.Wait(20));
}

// --- Across threads ----------------------------------------------------------------

TEST(EventTest, SetFromAnotherThreadWakesATimedWaiter) {
    Event event(false, false);
    std::thread setter([&] {
        std::this_thread::sleep_for(milliseconds(50));
        event.Set();
    });
    EXPECT_TRUE(event.Wait(kLongWaitMs));
    setter.join();
    EXPECT_FALSE(event.IsSet());  // the waiter consumed it
}

TEST(EventTest, SetFromAnotherThreadWakesAnEndlessWaiter) {
    Event event(true, false);
    std::thread setter([&] {
        std::this_thread::sleep_for(milliseconds(50));
        event.Set();
    });
    EXPECT_TRUE(event.Wait(-1));
    setter.join();
}

TEST(EventTest, ManualResetReleasesEveryWaiter) {
    Event event(true, false);
    std::atomic<int> woken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 4; ++i) {
        waiters.emplace_back([&] {
            if (event.Wait(kLongWaitMs)) ++woken;
        });
    }
    std::this_thread::sleep_for(milliseconds(20));
    event.Set();
    for (auto& t : waiters) t.join();
    EXPECT_EQ(woken.load(), 4);
}

// One Set of an automatic-reset event releases exactly one of several waiters,
// whether the waiters were already waiting or came later.
TEST(EventTest, AutomaticResetReleasesExactlyOneWaiter) {
    Event event(false, false);
    std::atomic<int> woken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i) {
        waiters.emplace_back([&] {
            if (event.Wait(300)) ++woken;
        });
    }
    std::this_thread::sleep_for(milliseconds(20));
    event.Set();
    for (auto& t : waiters) t.join();
    EXPECT_EQ(woken.load(), 1);
    EXPECT_FALSE(event.IsSet());
}

// Two threads hand a token back and forth through two automatic-reset events; a lost
// wake-up would leave one side waiting for the long bound.
TEST(EventTest, PingPongLosesNoSignal) {
    constexpr int kRounds = 2000;
    Event ping(false, false);
    Event pong(false, false);
    std::atomic<int> failures{0};
    std::thread partner([&] {
        for (int i = 0; i < kRounds; ++i) {
            if (!ping.Wait(kLongWaitMs)) {
                ++failures;
                return;
            }
            pong.Set();
        }
    });
    for (int i = 0; i < kRounds; ++i) {
        ping.Set();
        if (!pong.Wait(kLongWaitMs)) {
            ++failures;
            break;
        }
    }
    partner.join();
    EXPECT_EQ(failures.load(), 0);
}

// --- WaitAny -----------------------------------------------------------------------

TEST(EventWaitAny, ReturnsTheIndexOfTheSignalledEvent) {
    Event a(true, false), b(true, false), c(true, false);
    c.Set();
    EXPECT_EQ(Event::WaitAny({&a, &b, &c}, 0), 2);
    b.Set();
    EXPECT_EQ(Event::WaitAny({&a, &b, &c}, 0), 1);
}

TEST(EventWaitAny, FirstListedWinsWhenSeveralAreSet) {
    Event a(true, false), b(true, false), c(true, false);
    b.Set();
    c.Set();
    EXPECT_EQ(Event::WaitAny({&a, &b, &c}, 0), 1);
    EXPECT_EQ(Event::WaitAny({&c, &b, &a}, 0), 0);  // the order of the list decides
    a.Set();
    EXPECT_EQ(Event::WaitAny({&c, &b, &a}, 0), 0);
    EXPECT_EQ(Event::WaitAny({&a, &b, &c}, 0), 0);
}

TEST(EventWaitAny, TimesOutWithMinusOne) {
    Event a(true, false), b(false, false);
    EXPECT_EQ(Event::WaitAny({&a, &b}, 0), -1);
    const auto start = Clock::now();
    EXPECT_EQ(Event::WaitAny({&a, &b}, 50), -1);
    EXPECT_GE(Clock::now() - start, milliseconds(50));
}

TEST(EventWaitAny, ConsumesOnlyTheAutomaticResetWinner) {
    Event a(false, false), b(false, false);
    a.Set();
    b.Set();
    EXPECT_EQ(Event::WaitAny({&a, &b}, 0), 0);
    EXPECT_FALSE(a.IsSet());
    EXPECT_TRUE(b.IsSet());  // the loser keeps its signal
    EXPECT_EQ(Event::WaitAny({&a, &b}, 0), 1);
    EXPECT_FALSE(b.IsSet());
    EXPECT_EQ(Event::WaitAny({&a, &b}, 0), -1);
}

TEST(EventWaitAny, ManualResetWinnerStaysSet) {
    Event stop(true, false), work(false, false);
    stop.Set();
    work.Set();
    EXPECT_EQ(Event::WaitAny({&stop, &work}, 0), 0);
    EXPECT_EQ(Event::WaitAny({&stop, &work}, 0), 0);
    EXPECT_TRUE(stop.IsSet());
    EXPECT_TRUE(work.IsSet());  // never looked at while the first one wins
}

TEST(EventWaitAny, WokenBySetOfALaterListedEventFromAnotherThread) {
    Event a(true, false), b(false, false);
    std::thread setter([&] {
        std::this_thread::sleep_for(milliseconds(50));
        b.Set();
    });
    EXPECT_EQ(Event::WaitAny({&a, &b}, kLongWaitMs), 1);
    setter.join();
    EXPECT_FALSE(b.IsSet());
    EXPECT_FALSE(a.IsSet());
}

TEST(EventWaitAny, EndlessWaitWokenFromAnotherThread) {
    Event a(false, false), b(false, false);
    std::thread setter([&] {
        std::this_thread::sleep_for(milliseconds(50));
        a.Set();
    });
    EXPECT_EQ(Event::WaitAny({&a, &b}, -1), 0);
    setter.join();
}

// Waiters on unrelated events do not take each other's signals.
TEST(EventWaitAny, UnrelatedWaitersDoNotInterfere) {
    Event first(false, false), second(false, false);
    std::atomic<bool> firstWoken{false}, secondWoken{false};
    std::thread t1([&] { firstWoken = first.Wait(kLongWaitMs); });
    std::thread t2([&] { secondWoken = second.Wait(kLongWaitMs); });
    std::this_thread::sleep_for(milliseconds(20));
    second.Set();
    first.Set();
    t1.join();
    t2.join();
    EXPECT_TRUE(firstWoken.load());
    EXPECT_TRUE(secondWoken.load());
}
