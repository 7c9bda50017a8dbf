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
#include "tests/support/TestHost.h"
#include "tests/support/TowerData.h"

namespace {

// Connects to the loopback port; with `port` 0, binds a free one and tells it.
bool Loopback(int& port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t size = sizeof address;
    const bool done = port ? connect(fd, (sockaddr*)&address, size) == 0
                           : bind(fd, (sockaddr*)&address, size) == 0 &&
                                 getsockname(fd, (sockaddr*)&address, &size) == 0;
    port = ntohs(address.sin_port);
    close(fd);
    return done;
}

struct Broker {
    explicit Broker(const std::string& dir) : m_config(dir + "/broker.conf") {
        Loopback(m_port);
        std::ofstream(m_config) << "listener " << m_port << " 127.0.0.1\nallow_anonymous true\n"
                                << "persistence false\nmax_queued_messages 0\nlog_dest none\n";
    }
    ~Broker() {
        if (m_pid > 0) kill(m_pid, SIGTERM), waitpid(m_pid, nullptr, 0);
    }
    void Start() {
        if ((m_pid = fork()) == 0)
            execl("/usr/sbin/mosquitto", "mosquitto", "-c", m_config.c_str(), nullptr), _exit(127);
        int port = m_port;
        ASSERT_TRUE(WaitFor([&] { return Loopback(port); }));
    }
    // Each line one QoS 1 message to towers/1.
    void Publish(const std::vector<std::string>& lines) const {
        const std::string pub = "mosquitto_pub -h 127.0.0.1 -q 1 -t towers/1 -l -p ";
        FILE* in = popen((pub + std::to_string(m_port)).c_str(), "w");
        for (const std::string& line : lines) std::fprintf(in, "%s\n", line.c_str());
        ASSERT_EQ(pclose(in), 0);
    }
    const std::string m_config;
    int m_port = 0;
    pid_t m_pid = -1;
};

std::string Line(int rtu) {
    return FrameFile::FormatLine(FrameOf(rtu, k15));
}

std::unique_ptr<CLiveSource> Source(const Broker& broker, const std::string& id) {
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
    Broker broker{host.Dir()};
};

TEST_F(MqttSourceTest, MessagesPublishedWhileTheHostIsAwayAllArriveInOrder) {
    broker.Start();
    Subscribe(*Source(broker, "host"));
    std::vector<std::string> lines;
    std::vector<int> expected;
    for (int rtu = 1; rtu <= 300; ++rtu) lines.push_back(Line(rtu)), expected.push_back(rtu);
    broker.Publish(lines);
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
            broker.Publish({c.payload});
            const Taken first = PollUntil(
                *killed, [](const Taken& t) { return t.rtus.size() + t.errors.size() > 0; }, 20,
                c.fate);
            std::string why;
            if (!FrameFile::ParseLine(c.payload, why)) {
                EXPECT_EQ(first.errors,
                          std::vector<std::string>{"mqtt towers/1 message 1: " + why});
            }
        }
        broker.Publish({Line(99)});
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
    // One poll: a try at once, one a second later.
    PollUntil(
        *source, [](const Taken&) { return true; }, 1100);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1400));
    EXPECT_EQ(source->Health()[0].failedReads, 2);
    EXPECT_EQ(source->TakeNotes().size(), 1u);
    broker.Start();
    Subscribe(*source);
    EXPECT_EQ(source->TakeNotes().size(), 1u);
    broker.Publish({Line(7)});
    EXPECT_EQ(PollUntil(*source, [](const Taken& t) { return !t.rtus.empty(); }).rtus,
              std::vector<int>{7});
}

}  // namespace
