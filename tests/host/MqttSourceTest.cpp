// Frames from an MQTT broker: a mosquitto broker of the test's own on a free loopback
// port, fed with mosquitto_pub. A source destroyed stands for a killed host.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>

#include "host/FrameFile.h"
#include "host/MqttSource.h"
#include "tests/support/TestBroker.h"
#include "tests/support/TestHost.h"
#include "tests/support/TowerData.h"

namespace {

std::string Line(int rtu) {
    return FrameFile::FormatLine(FrameOf(rtu, k15));
}

std::unique_ptr<CLiveSource> Source(const TestBroker& broker, const std::string& id) {
    std::string error;
    auto source =
        MqttSource::Subscribe({"127.0.0.1", broker.m_port, "towers/#", id, "", ""}, error);
    EXPECT_TRUE(source) << error;
    return source;
}

struct Taken {
    std::vector<int> rtus;
    std::vector<std::string> errors;
};

// Polls (for `waitMs` each time) until `enough` holds, telling the source of each frame
// as `fate` says (nothing when none).
Taken PollUntil(CLiveSource& source, const std::function<bool(const Taken&)>& enough,
                int waitMs = 20, std::optional<FrameFate> fate = FrameFate::Accepted) {
    Taken taken;
    EXPECT_TRUE(WaitFor([&] {
        std::vector<CDataFrame> frames;
        source.Poll(frames, taken.errors, waitMs);
        for (const CDataFrame& frame : frames) {
            taken.rtus.push_back(frame.m_nRTUID);
            if (fate) source.Acknowledge({*fate, "test"});
        }
        return enough(taken);
    }));
    return taken;
}

void Subscribe(CLiveSource& source) {
    PollUntil(source, [&](const Taken&) { return source.Health()[0].answering; });
}

struct MqttSourceTest : ::testing::Test {
    TestHost host{false};
    TestBroker broker{host.Dir()};
};

TEST_F(MqttSourceTest, MessagesPublishedWhileTheHostIsAwayAllArriveInOrder) {
    broker.Start();
    Subscribe(*Source(broker, "host"));
    std::vector<std::string> lines;
    std::vector<int> expected;
    for (int rtu = 1; rtu <= 300; ++rtu) lines.push_back(Line(rtu)), expected.push_back(rtu);
    broker.Publish("towers/1", lines);
    auto back = Source(broker, "host");
    EXPECT_EQ(PollUntil(*back, [](const Taken& t) { return t.rtus.size() >= 300; }).rtus, expected);
}

// A message's PUBACK leaves only once its frame is settled: one handed out and not told
// of comes again after a kill; a settled one, or a bad message, does not.
TEST_F(MqttSourceTest, OnlySettledMessagesAreAcknowledgedToTheBroker) {
    const struct {
        std::string payload;
        std::optional<FrameFate> fate;
        bool comesAgain;
    } cases[] = {
        {Line(1), FrameFate::Accepted, false},
        {Line(1), FrameFate::RefusedForGood, false},
        {Line(1), std::nullopt, true},
        {"{\"rtu\": 1, \"kind\": ", std::nullopt, false},
    };
    broker.Start();
    int row = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(++row);
        const std::string id = "host" + std::to_string(row);
        {
            auto killed = Source(broker, id);
            Subscribe(*killed);
            broker.Publish("towers/1", {c.payload});
            const Taken first = PollUntil(
                *killed, [](const Taken& t) { return t.rtus.size() + t.errors.size() > 0; }, 20,
                c.fate);
            std::string why;
            if (!FrameFile::ParseLine(c.payload, why)) {
                EXPECT_EQ(first.errors, std::vector<std::string>{"towers/1 message 1: " + why});
            }
        }
        broker.Publish("towers/1", {Line(99)});
        auto next = Source(broker, id);
        const Taken after =
            PollUntil(*next, [](const Taken& t) { return !t.rtus.empty() && t.rtus.back() == 99; });
        EXPECT_EQ(after.rtus, (c.comesAgain ? std::vector<int>{1, 99} : std::vector<int>{99}));
        EXPECT_TRUE(after.errors.empty());
    }
}

TEST_F(MqttSourceTest, ABrokerDownAtTheStartIsTriedAgainWithoutBlockingOrNoisyNotes) {
    auto source = Source(broker, "host");
    const auto start = std::chrono::steady_clock::now();
    // One poll: a try at once, one a second later, the next due at 3 s.
    PollUntil(
        *source, [](const Taken&) { return true; }, 1500);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1900));
    EXPECT_EQ(source->Health()[0].failedReads, 2);
    EXPECT_EQ(source->TakeNotes().size(), 1u);
    broker.Start();
    Subscribe(*source);
    EXPECT_EQ(source->TakeNotes().size(), 1u);
    broker.Publish("towers/1", {Line(7)});
    EXPECT_EQ(PollUntil(*source, [](const Taken& t) { return !t.rtus.empty(); }).rtus,
              std::vector<int>{7});
}

}  // namespace
