// Draining a backlog of frames queued for the host in its broker session, against
// mosquitto_sub draining the same messages from a session of its own to /dev/null: both
// through libmosquitto and the same broker, in one run. The host's side parses each
// message into a frame and holds its PUBACK until the frame is settled (here at once,
// as accepted, with no plug-in behind it).
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "bench/IntakeBench.h"
#include "host/FrameFile.h"
#include "host/MqttSource.h"
#include "platform/System.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kMessages = 20000;
constexpr int kValues = 20;
constexpr double kTargetRatio = 0.5;
constexpr const char* kTopic = "bench/frames";
// A side that brings nothing for this long has stalled: the run fails.
constexpr auto kStall = std::chrono::seconds(10);

int FreeLoopbackPort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
        port = ntohs(address.sin_port);
    }
    close(fd);
    return port;
}

bool Accepts(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool accepted = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return accepted;
}

// A mosquitto broker of the benchmark's own in `dir`, stopped at the end.
class Broker {
public:
    Broker(const std::string& dir, int port) {
        const std::string config = dir + "/broker.conf";
        std::ofstream(config) << "listener " << port << " 127.0.0.1\nallow_anonymous true\n"
                              << "persistence false\nmax_queued_messages 0\nlog_dest none\n";
        m_pid = fork();
        if (m_pid == 0) {
            execl("/usr/sbin/mosquitto", "mosquitto", "-c", config.c_str(), nullptr);
            _exit(127);
        }
        for (int tries = 0; tries < 500 && !m_started; ++tries) {
            m_started = Accepts(port);
            if (!m_started) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    ~Broker() {
        if (m_pid <= 0) return;
        kill(m_pid, SIGTERM);
        waitpid(m_pid, nullptr, 0);
    }
    bool Started() const { return m_started; }

private:
    pid_t m_pid = -1;
    bool m_started = false;
};

// A tower's 10-minute frame of kValues values, a different time each.
std::string FrameLine(int n) {
    CDataFrame frame;
    frame.m_nRTUID = 7;
    frame.m_nKind = 1;
    frame.m_tTime = DateTime(2026, 1, 1, 0, 0, 0) + DateTimeSpan(0, 0, 10 * n, 0);
    for (int i = 0; i < kValues; ++i) {
        CDataItem item;
        item.m_nSensorID = 700000 + i;
        item.m_nDataID = 7000 + 100 * i;
        item.m_tTime = frame.m_tTime;
        item.m_fValue = static_cast<float>(n % 97) / 7.0f + static_cast<float>(i);
        frame.m_arItems.push_back(item);
    }
    return FrameFile::FormatLine(frame);
}

std::string Client(const char* program, int port) {
    return std::string(program) + " -h 127.0.0.1 -p " + std::to_string(port) + " -q 1 -t " + kTopic;
}

std::unique_ptr<CLiveSource> HostSource(int port, std::string& error) {
    return MqttSource::Subscribe({"127.0.0.1", port, kTopic, "bench-host", "", ""}, error);
}

// Subscribes the host's session once, so that the broker queues for it while it is away.
bool SubscribeHostSession(int port, std::string& error) {
    auto source = HostSource(port, error);
    std::vector<CDataFrame> frames;
    std::vector<std::string> errors;
    const auto end = Clock::now() + kStall;
    while (source && !source->Health()[0].answering && Clock::now() < end) {
        source->Poll(frames, errors, 50);
    }
    if (source && !source->Health()[0].answering) error = "the host's source did not subscribe";
    return source && error.empty();
}

// The seconds the host's source takes to connect and take kMessages frames; 0 on failure.
double DrainHost(int port, std::string& error) {
    const Clock::time_point start = Clock::now();
    auto source = HostSource(port, error);
    if (!source) return 0;
    long taken = 0;
    Clock::time_point lastFrame = start;
    std::vector<CDataFrame> frames;
    std::vector<std::string> errors;
    while (taken < kMessages && Clock::now() - lastFrame < kStall) {
        frames.clear();
        source->Poll(frames, errors, 100);
        for (size_t i = 0; i < frames.size(); ++i) source->Acknowledge(FrameOutcome{});
        if (!frames.empty()) lastFrame = Clock::now();
        taken += static_cast<long>(frames.size());
    }
    if (!errors.empty()) error = "the host's source refused a message: " + errors.front();
    if (taken < kMessages) error = "the host's source stalled after " + std::to_string(taken);
    return error.empty() ? std::chrono::duration<double>(Clock::now() - start).count() : 0;
}

double Seconds(const std::string& command) {
    const Clock::time_point start = Clock::now();
    if (std::system(command.c_str()) != 0) return 0;
    return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

IntakeResult MqttIntakeBench() {
    IntakeResult r;
    r.name = "mqtt";
    r.unit = "frames/s";
    r.what = std::to_string(kMessages) + " QoS 1 frames of " + std::to_string(kValues) +
             " values queued in a session, drained: MqttSource against mosquitto_sub > /dev/null";
    r.target = kTargetRatio;
    const std::string dir = System::MakeTemporaryDirectory("vkt-mqtt-bench-");
    const int port = FreeLoopbackPort();
    if (dir.empty() || port == 0) {
        r.failure = "no temporary folder or no free port";
        return r;
    }
    {
        Broker broker(dir, port);
        const std::string messages = dir + "/messages";
        std::ofstream out(messages);
        for (int n = 0; n < kMessages; ++n) out << FrameLine(n) << "\n";
        out.close();
        if (!broker.Started()) {
            r.failure = "the broker did not start";
        } else if (!SubscribeHostSession(port, r.failure)) {
        } else if (Seconds(Client("mosquitto_sub", port) + " -c -i bench-sub -E") == 0 ||
                   Seconds(Client("mosquitto_pub", port) + " -l < " + messages) == 0) {
            r.failure = "mosquitto_sub or mosquitto_pub failed";
        } else {
            const double ours = DrainHost(port, r.failure);
            const double baseline = Seconds(Client("mosquitto_sub", port) + " -c -i bench-sub -C " +
                                            std::to_string(kMessages) + " > /dev/null");
            if (r.failure.empty() && baseline == 0) r.failure = "mosquitto_sub failed";
            if (r.failure.empty()) {
                r.ours = kMessages / ours;
                r.baseline = kMessages / baseline;
                r.ratio = r.ours / r.baseline;
            }
        }
    }
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return r;
}
