// Frames published to an MQTT broker, one frame a message.
//
// The broker forgets a QoS 1 message once it holds our PUBACK, so a PUBACK may leave only
// when the frame it stands for is settled. libmosquitto queues the PUBACK before it calls
// the message callback; in threaded mode it only queues it, and nothing is written until
// mosquitto_loop_write. So this source drives the connection itself on the caller's
// thread and writes only while no frame read on the current connection is unsettled.
// PUBACKs queued on a connection that dropped are discarded at the next connect, and the
// broker delivers those messages again.
#include "host/MqttSource.h"

#include <mosquitto.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "host/FrameFile.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kKeepAliveSeconds = 30;
constexpr Clock::duration kFirstRetry = std::chrono::seconds(1);
constexpr Clock::duration kLongestRetry = std::chrono::seconds(30);
// A long backlog is handed over in parts, so that the host settles (and the broker
// hears of) the first frames while the rest still wait.
constexpr size_t kFramesPerPoll = 1000;
// Bad messages and the broker's acknowledgements give no frame, but end a poll as well.
constexpr int kReadsPerPoll = 4 * static_cast<int>(kFramesPerPoll);
constexpr int kGrantRefused = 0x80;

void InitLibraryOnce() {
    static std::once_flag once;
    std::call_once(once, [] { mosquitto_lib_init(); });
}

// libmosquitto's texts end with a full stop; ours go inside a sentence.
std::string Describe(int rc, int savedErrno) {
    std::string text = rc == MOSQ_ERR_ERRNO ? std::strerror(savedErrno) : mosquitto_strerror(rc);
    if (!text.empty() && text.back() == '.') text.pop_back();
    return text;
}

int MillisecondsUntil(Clock::time_point end) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 60000));
}

struct ClientDeleter {
    // Closes the socket without writing what is queued: PUBACKs of frames not settled.
    void operator()(mosquitto* client) const { mosquitto_destroy(client); }
};
using Client = std::unique_ptr<mosquitto, ClientDeleter>;

class CMqttSource : public CLiveSource {
public:
    explicit CMqttSource(const CMqttOptions& options)
        : m_options(options),
          m_name("mqtt " + options.host + ":" + std::to_string(options.port) + " " +
                 options.topic) {
        m_health.name = m_name;
        m_health.lastFrame = DateTime::Invalid();
    }

    // False (with `error`) when libmosquitto refuses the client.
    bool Create(std::string& error) {
        InitLibraryOnce();
        m_client.reset(mosquitto_new(m_options.clientId.c_str(), false, this));
        if (!m_client) {
            error = m_name + ": cannot make the client: " + std::strerror(errno);
            return false;
        }
        mosquitto* client = m_client.get();
        mosquitto_int_option(client, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
        mosquitto_threaded_set(client, true);
        if (!m_options.user.empty()) {
            const int rc = mosquitto_username_pw_set(client, m_options.user.c_str(),
                                                     m_options.password.c_str());
            if (rc != MOSQ_ERR_SUCCESS) {
                error = m_name + ": the login cannot be used: " + mosquitto_strerror(rc);
                return false;
            }
        }
        mosquitto_connect_with_flags_callback_set(client, &OnConnect);
        mosquitto_subscribe_callback_set(client, &OnSubscribe);
        mosquitto_message_callback_set(client, &OnMessage);
        return true;
    }

    bool Poll(std::vector<CDataFrame>& frames, std::vector<std::string>& errors,
              int waitMs) override {
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(waitMs);
        do {
            if (Socket() >= 0 || ConnectWhenDue()) {
                Exchange(deadline);
            } else {
                std::this_thread::sleep_until(std::min(deadline, m_nextTry));
            }
        } while (m_read.empty() && m_readErrors.empty() && Clock::now() < deadline);
        HandOver(frames, errors);
        return true;
    }

    std::vector<std::string> LastPlaces() const override { return m_lastPlaces; }

    void Acknowledge(const FrameOutcome&) override {
        if (m_unsettled.size() <= m_read.size()) return;  // nothing handed out is waiting
        m_unsettled.pop_front();
        // A clean stop right after this leaves no PUBACK behind.
        if (MayWrite() && Socket() >= 0) WriteQueued();
    }

    std::vector<std::string> TakeNotes() override { return std::exchange(m_notes, {}); }

    std::vector<CSourceHealth> Health() const override {
        CSourceHealth health = m_health;
        health.answering = m_subscribed;
        return {health};
    }

private:
    int Socket() const { return mosquitto_socket(m_client.get()); }

    // Whether every message read on the current connection was settled: only then may
    // its PUBACKs (queued in the order read) leave.
    bool MayWrite() const { return m_unsettled.empty() || m_unsettled.back() != m_connection; }

    // Starts a connection when the backoff allows one; true when a socket is open. The
    // connect does not block: the CONNECT packet leaves once the socket is writable.
    bool ConnectWhenDue() {
        if (Clock::now() < m_nextTry) return false;
        ++m_connection;
        m_connected = m_subscribed = false;
        m_refusal.clear();
        const int rc = mosquitto_connect_async(m_client.get(), m_options.host.c_str(),
                                               m_options.port, kKeepAliveSeconds);
        const int savedErrno = errno;
        if (rc != MOSQ_ERR_SUCCESS || Socket() < 0) {
            Failed(Describe(rc, savedErrno));
            return false;
        }
        return true;
    }

    // Writes what may leave, waits for the broker until `deadline` and reads what came.
    void Exchange(Clock::time_point deadline) {
        mosquitto* client = m_client.get();
        if (MayWrite() && mosquitto_want_write(client) && !WriteQueued()) return;
        pollfd socket{Socket(), POLLIN, 0};
        if (MayWrite() && mosquitto_want_write(client)) socket.events |= POLLOUT;
        const int ready = poll(&socket, 1, MillisecondsUntil(deadline));
        if (ready < 0) return;  // a signal: the caller polls again
        if (ready > 0 && (socket.revents & (POLLIN | POLLERR | POLLHUP)) && !ReadAvailable()) {
            return;
        }
        // Reading may have brought frames whose PUBACKs must wait; else what it queued
        // (the PUBACK of a bad message, the SUBSCRIBE after a CONNACK) leaves now.
        if (MayWrite() && mosquitto_want_write(client) && !WriteQueued()) return;
        Succeeded(mosquitto_loop_misc(client));
    }

    bool WriteQueued() { return Succeeded(mosquitto_loop_write(m_client.get(), 1)); }

    // Reads packet after packet while the socket has more, up to a part of a backlog.
    bool ReadAvailable() {
        for (int reads = 0; reads < kReadsPerPoll && m_read.size() < kFramesPerPoll; ++reads) {
            if (!Succeeded(mosquitto_loop_read(m_client.get(), 1))) return false;
            pollfd socket{Socket(), POLLIN, 0};
            if (poll(&socket, 1, 0) <= 0) break;
        }
        return true;
    }

    // False, the connection being over, when a libmosquitto call failed or closed it.
    bool Succeeded(int rc) {
        const int savedErrno = errno;
        if (rc == MOSQ_ERR_SUCCESS && Socket() >= 0) return true;
        Failed(rc == MOSQ_ERR_SUCCESS ? "the connection was closed" : Describe(rc, savedErrno));
        return false;
    }

    // A connection that failed or ended: tried again after the backoff, told once.
    void Failed(const std::string& reason) {
        const bool wasConnected = m_connected;
        m_connected = m_subscribed = false;
        const std::string why = m_refusal.empty() ? reason : m_refusal;
        ++m_health.failedReads;
        m_health.lastError = why;
        ++m_failedTries;
        if (!m_away) {
            m_away = true;
            m_notes.push_back(
                m_name + ": " +
                (wasConnected ? "the connection to the broker was lost ("
                              : "cannot connect to the broker (") +
                why + "); trying again, at most every " +
                std::to_string(
                    std::chrono::duration_cast<std::chrono::seconds>(kLongestRetry).count()) +
                " s");
        }
        m_nextTry = Clock::now() + m_retryDelay;
        m_retryDelay = std::min(m_retryDelay * 2, kLongestRetry);
    }

    void Connected(bool sessionPresent) {
        m_connected = true;
        m_retryDelay = kFirstRetry;
        if (m_away) {
            m_notes.push_back(m_name + ": connected to the broker (" +
                              std::to_string(m_failedTries) + " connections failed before)");
            m_away = false;
        }
        m_failedTries = 0;
        // The broker keeps the subscription with the session; subscribing again would make
        // it send its retained messages once more. Once a run, though: the topic may have
        // changed since the session began.
        if (sessionPresent && m_subscribedThisRun) {
            m_subscribed = true;
            return;
        }
        const int rc = mosquitto_subscribe(m_client.get(), nullptr, m_options.topic.c_str(), 1);
        if (rc != MOSQ_ERR_SUCCESS) m_health.lastError = "cannot subscribe: " + Describe(rc, 0);
    }

    void Subscribed(int grantedQos) {
        if (grantedQos != kGrantRefused) {
            m_subscribed = m_subscribedThisRun = true;
            return;
        }
        m_health.lastError = "the broker refused the subscription";
        m_notes.push_back(m_name + ": the broker refused the subscription to " + m_options.topic);
    }

    void Received(const mosquitto_message& message) {
        const std::string place = std::string(message.topic ? message.topic : "") + " message " +
                                  std::to_string(++m_messages);
        const std::string payload(static_cast<const char*>(message.payload),
                                  message.payload ? static_cast<size_t>(message.payloadlen) : 0);
        std::string error;
        std::optional<CDataFrame> frame = FrameFile::ParseLine(payload, error);
        if (!frame) {
            // It will never give a frame: its PUBACK may leave with the others.
            m_readErrors.push_back(place + ": " + error);
            return;
        }
        m_read.push_back(std::move(*frame));
        m_readPlaces.push_back(place);
        m_unsettled.push_back(m_connection);
    }

    void HandOver(std::vector<CDataFrame>& frames, std::vector<std::string>& errors) {
        for (CDataFrame& frame : m_read) {
            if (!m_health.lastFrame.IsValid() || m_health.lastFrame < frame.m_tTime) {
                m_health.lastFrame = frame.m_tTime;
            }
            frames.push_back(std::move(frame));
        }
        errors.insert(errors.end(), m_readErrors.begin(), m_readErrors.end());
        m_lastPlaces = std::exchange(m_readPlaces, {});
        m_read.clear();
        m_readErrors.clear();
    }

    static CMqttSource& Of(void* self) { return *static_cast<CMqttSource*>(self); }
    static void OnConnect(mosquitto*, void* self, int rc, int flags) {
        if (rc == 0) {
            Of(self).Connected((flags & 1) != 0);
        } else {
            Of(self).m_refusal =
                std::string("the broker refused the connection: ") + mosquitto_connack_string(rc);
        }
    }
    static void OnSubscribe(mosquitto*, void* self, int, int count, const int* granted) {
        if (count > 0) Of(self).Subscribed(granted[0]);
    }
    static void OnMessage(mosquitto*, void* self, const mosquitto_message* message) {
        Of(self).Received(*message);
    }

    const CMqttOptions m_options;
    const std::string m_name;  // "mqtt HOST:PORT TOPIC"
    Client m_client;
    int m_connection = 0;  // bumped at each connect: tells a PUBACK that can no longer leave
    bool m_connected = false;
    bool m_subscribed = false;
    bool m_subscribedThisRun = false;
    bool m_away = false;  // told that the broker cannot be reached, not yet that it can
    long m_failedTries = 0;
    std::string m_refusal;  // the broker's reason for refusing the current connection
    Clock::time_point m_nextTry{};
    Clock::duration m_retryDelay = kFirstRetry;
    long m_messages = 0;
    // The connection of each frame read and not yet told of, oldest first; the last
    // m_read.size() of them are not handed out yet.
    std::deque<int> m_unsettled;
    std::vector<CDataFrame> m_read;
    std::vector<std::string> m_readPlaces;
    std::vector<std::string> m_readErrors;
    std::vector<std::string> m_lastPlaces;
    std::vector<std::string> m_notes;
    CSourceHealth m_health;
};

std::string CheckOptions(const CMqttOptions& options) {
    const auto validText = [](const std::string& text) {
        return !text.empty() && text.size() <= 65535 && text.find('\0') == std::string::npos &&
               mosquitto_validate_utf8(text.c_str(), static_cast<int>(text.size())) ==
                   MOSQ_ERR_SUCCESS;
    };
    if (options.host.empty()) return "mqtt: no broker host";
    if (options.port < 1 || options.port > 65535) {
        return "mqtt: port " + std::to_string(options.port) + " is not between 1 and 65535";
    }
    if (!validText(options.topic) ||
        mosquitto_sub_topic_check2(options.topic.c_str(), options.topic.size()) !=
            MOSQ_ERR_SUCCESS) {
        return "mqtt: \"" + options.topic + "\" is not a topic one can subscribe to";
    }
    if (!validText(options.clientId)) {
        return "mqtt: the client id must be 1 to 65535 bytes of UTF-8";
    }
    return "";
}

}  // namespace

namespace MqttSource {

std::unique_ptr<CLiveSource> Subscribe(const CMqttOptions& options, std::string& error) {
    error = CheckOptions(options);
    if (!error.empty()) return nullptr;
    auto source = std::make_unique<CMqttSource>(options);
    if (!source->Create(error)) return nullptr;
    return source;
}

}  // namespace MqttSource
