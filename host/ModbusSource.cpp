#include "host/ModbusSource.h"

#include <modbus/modbus.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <numeric>
#include <system_error>
#include <thread>
#include <utility>

#include "host/Simulator.h"
#include "platform/Clock.h"

namespace {

using std::chrono::milliseconds;

// Registers this close apart are read in one request with the unused ones between:
// one round trip costs more than a few words.
constexpr int kReadThrough = 8;
// A failed read is tried again after 1 s, then twice as long each time up to this.
constexpr double kLongestBackoffSeconds = 60;
// Waits are cut into steps this long so that a stop or a clock set by a test is seen.
constexpr double kStepSeconds = 0.1;

// One read request: `count` registers of one area from `start`.
struct Request {
    bool inputArea = false;
    int start = 0;
    int count = 0;
};

// The requests that read a set of map entries, and where each entry's first word lands
// in the buffer they fill (the requests' words one after the other).
struct ReadPlan {
    std::vector<Request> requests;
    std::vector<const CMapEntry*> entries;  // in map order; point into the device's map
    std::vector<size_t> wordOf;             // entries[i]'s first word in the buffer
    size_t words = 0;
};

int EndOf(const CMapEntry& entry) {
    return entry.address + SourceMap::Registers(entry.type);
}

// As few requests as the protocol allows for the entries (the hourly ones only when
// `fullHour`), reading through gaps of up to `gap` registers.
ReadPlan PlanReads(const std::vector<CMapEntry>& map, bool fullHour, int gap) {
    ReadPlan plan;
    for (const CMapEntry& entry : map) {
        if (fullHour || entry.kind != SourceMap::kHourlyKind) plan.entries.push_back(&entry);
    }
    std::vector<size_t> byAddress(plan.entries.size());
    std::iota(byAddress.begin(), byAddress.end(), 0);
    std::sort(byAddress.begin(), byAddress.end(), [&](size_t a, size_t b) {
        const CMapEntry& x = *plan.entries[a];
        const CMapEntry& y = *plan.entries[b];
        return std::pair(x.inputArea, x.address) < std::pair(y.inputArea, y.address);
    });
    std::vector<size_t> requestOf(plan.entries.size());
    for (size_t i : byAddress) {
        const CMapEntry& entry = *plan.entries[i];
        Request* last = plan.requests.empty() ? nullptr : &plan.requests.back();
        const bool joins = last && last->inputArea == entry.inputArea &&
                           entry.address <= last->start + last->count + gap &&
                           EndOf(entry) - last->start <= MODBUS_MAX_READ_REGISTERS;
        if (joins) {
            last->count = std::max(last->count, EndOf(entry) - last->start);
        } else {
            plan.requests.push_back(
                {entry.inputArea, entry.address, SourceMap::Registers(entry.type)});
        }
        requestOf[i] = plan.requests.size() - 1;
    }
    std::vector<size_t> base;
    for (const Request& request : plan.requests) {
        base.push_back(plan.words);
        plan.words += static_cast<size_t>(request.count);
    }
    for (size_t i = 0; i < plan.entries.size(); ++i) {
        const Request& request = plan.requests[requestOf[i]];
        plan.wordOf.push_back(base[requestOf[i]] +
                              static_cast<size_t>(plan.entries[i]->address - request.start));
    }
    return plan;
}

// The frame of `time` from the words a plan read. A value that is not a finite number
// (a float register holding NaN for a failed sensor) is left out rather than stored.
CDataFrame FrameOf(int rtu, const ReadPlan& plan, const std::vector<uint16_t>& words,
                   const DateTime& time) {
    CDataFrame frame;
    frame.m_nRTUID = rtu;
    frame.m_nKind = 1;
    frame.m_tTime = time;
    for (size_t i = 0; i < plan.entries.size(); ++i) {
        const CMapEntry& entry = *plan.entries[i];
        const float value = static_cast<float>(SourceMap::Decode(entry, &words[plan.wordOf[i]]));
        if (!std::isfinite(value)) continue;
        CDataItem item;
        item.m_nSensorID = Simulator::SensorKey(rtu, entry.id);
        item.m_nDataID = entry.id;
        item.m_nKind = entry.kind;
        item.m_tTime = time;
        item.m_fValue = value;
        frame.m_arItems.push_back(item);
    }
    return frame;
}

std::string NameOf(const CModbusDevice& device) {
    return "RTU " + std::to_string(device.rtu) + " modbus " + device.host + ":" +
           std::to_string(device.port) + " unit " + std::to_string(device.unit);
}

// Why the device's settings cannot work; empty when they can. The host name goes to
// the resolver, so only the characters of a name or an address pass.
std::string Unusable(const CModbusDevice& device) {
    const bool hostOk = !device.host.empty() && device.host.size() <= 253 &&
                        std::all_of(device.host.begin(), device.host.end(), [](unsigned char c) {
                            return std::isalnum(c) || c == '.' || c == '-' || c == ':' || c == '_';
                        });
    if (!hostOk) return "the host is not a name or an address";
    if (device.port < 1 || device.port > 65535) return "the port is not 1-65535";
    // 255 is the "no unit" of a device that is not a gateway.
    if (device.unit < 0 || (device.unit > 247 && device.unit != 255)) {
        return "the unit id is not 0-247 or 255";
    }
    if (device.map.empty()) return "the map reads no register";
    if (device.everySeconds < 1 || device.offsetSeconds < 0) return "the poll interval is not set";
    if (device.timeoutMs < 1) return "the timeout is not set";
    return "";
}

// A connection to one device, opened when a read needs it and closed after a failure,
// so that a late answer to a timed-out request can never be taken for the next one.
class CModbusLink {
public:
    explicit CModbusLink(const CModbusDevice& device)
        : m_ctx(modbus_new_tcp_pi(device.host.c_str(), std::to_string(device.port).c_str())),
          m_nTimeoutMs(device.timeoutMs),
          m_nUnit(device.unit) {}
    ~CModbusLink() { Close(); }
    CModbusLink(const CModbusLink&) = delete;
    CModbusLink& operator=(const CModbusLink&) = delete;

    // Reads every request of the plan into `words`; false with `error` naming what
    // failed. LastErrno() tells the failure's libmodbus number.
    bool Read(const ReadPlan& plan, std::vector<uint16_t>& words, std::string& error);
    int LastErrno() const { return m_nErrno; }
    // Any thread: ends a connect or a read under way and every one after it.
    void Interrupt();

private:
    bool Connect(std::string& error);
    void Close();
    bool Fail(const std::string& what, std::string& error);

    struct Free {
        void operator()(modbus_t* ctx) const { modbus_free(ctx); }
    };
    const std::unique_ptr<modbus_t, Free> m_ctx;
    const int m_nTimeoutMs;
    const int m_nUnit;
    bool m_bConnected = false;
    int m_nErrno = 0;
    std::mutex m_socketLock;
    int m_socket = -1;            // guarded by m_socketLock: the open connection's socket
    bool m_bInterrupted = false;  // guarded by m_socketLock
};

bool CModbusLink::Connect(std::string& error) {
    if (!m_ctx) {
        m_nErrno = EINVAL;
        error = "the address cannot be used";
        return false;
    }
    {
        std::lock_guard<std::mutex> guard(m_socketLock);
        if (m_bInterrupted) {
            m_nErrno = ECANCELED;
            error = "stopped";
            return false;
        }
    }
    modbus_set_response_timeout(m_ctx.get(), static_cast<uint32_t>(m_nTimeoutMs / 1000),
                                static_cast<uint32_t>(m_nTimeoutMs % 1000) * 1000);
    if (modbus_set_slave(m_ctx.get(), m_nUnit) != 0 || modbus_connect(m_ctx.get()) != 0) {
        return Fail("connecting", error);
    }
    m_bConnected = true;
    std::lock_guard<std::mutex> guard(m_socketLock);
    m_socket = modbus_get_socket(m_ctx.get());
    if (m_bInterrupted) ::shutdown(m_socket, SHUT_RDWR);
    return true;
}

void CModbusLink::Close() {
    if (!m_bConnected) return;
    {
        std::lock_guard<std::mutex> guard(m_socketLock);
        m_socket = -1;
    }
    modbus_close(m_ctx.get());
    m_bConnected = false;
}

void CModbusLink::Interrupt() {
    std::lock_guard<std::mutex> guard(m_socketLock);
    m_bInterrupted = true;
    // Shut down, not closed: the socket stays the reader's until it closes it, so its
    // number cannot be reused under it.
    if (m_socket >= 0) ::shutdown(m_socket, SHUT_RDWR);
}

bool CModbusLink::Fail(const std::string& what, std::string& error) {
    m_nErrno = errno;
    error = what + ": " + modbus_strerror(m_nErrno);
    Close();
    return false;
}

bool CModbusLink::Read(const ReadPlan& plan, std::vector<uint16_t>& words, std::string& error) {
    if (!m_bConnected && !Connect(error)) return false;
    words.assign(plan.words, 0);
    uint16_t* into = words.data();
    for (const Request& request : plan.requests) {
        const int read =
            request.inputArea
                ? modbus_read_input_registers(m_ctx.get(), request.start, request.count, into)
                : modbus_read_registers(m_ctx.get(), request.start, request.count, into);
        if (read != request.count) {
            if (read >= 0) errno = EMBBADDATA;
            return Fail(std::string("reading ") + (request.inputArea ? "input" : "holding") +
                            " registers " + std::to_string(request.start) + "-" +
                            std::to_string(request.start + request.count - 1),
                        error);
        }
        into += request.count;
    }
    return true;
}

// Seconds since the date-time epoch on the process clock, with their fraction.
double NowSeconds() {
    return ProcessClock::Now().GetOleDate() * 86400.0;
}

// What the device threads hand over, and their stop. Thread-safe.
class CIntake {
public:
    explicit CIntake(std::vector<CSourceHealth> health)
        : m_health(std::move(health)), m_failedRun(m_health.size(), 0) {}

    // Device `index` answered: its frame (none when nothing in it was a value).
    void Answered(size_t index, CDataFrame frame);
    // Device `index` did not answer a read.
    void Failed(size_t index, const std::string& why);
    // Device `index` is not polled at all: its settings cannot work.
    void Refused(size_t index, const std::string& why);

    // Moves the frames handed over into `frames`, waiting at most `waitMs` for one.
    void Take(std::vector<CDataFrame>& frames, int waitMs);
    std::vector<std::string> TakeNotes();
    std::vector<CSourceHealth> Health() const;

    void Stop();
    bool Stopping() const { return m_bStop.load(); }
    // Waits `seconds` (at most one step) or until the stop.
    void Pause(double seconds);

private:
    mutable std::mutex m_lock;
    std::condition_variable m_arrived;
    std::deque<CDataFrame> m_frames;      // guarded by m_lock
    std::vector<std::string> m_notes;     // guarded by m_lock
    std::vector<CSourceHealth> m_health;  // guarded by m_lock
    std::vector<long> m_failedRun;        // guarded by m_lock: failed reads since the last answer

    std::atomic<bool> m_bStop{false};
    std::mutex m_stopLock;
    std::condition_variable m_stopped;  // with m_stopLock, for m_bStop
};

void CIntake::Answered(size_t index, CDataFrame frame) {
    std::lock_guard<std::mutex> guard(m_lock);
    CSourceHealth& health = m_health[index];
    if (m_failedRun[index] > 0) {
        m_notes.push_back(health.name + " answers again after " +
                          std::to_string(m_failedRun[index]) + " failed reads");
        m_failedRun[index] = 0;
    }
    health.answering = true;
    health.lastFrame = frame.m_tTime;
    if (frame.m_arItems.empty()) return;
    m_frames.push_back(std::move(frame));
    m_arrived.notify_all();
}

void CIntake::Failed(size_t index, const std::string& why) {
    std::lock_guard<std::mutex> guard(m_lock);
    CSourceHealth& health = m_health[index];
    if (m_failedRun[index]++ == 0) {
        m_notes.push_back(health.name + " does not answer: " + why + "; no frames until it does");
    }
    health.answering = false;
    ++health.failedReads;
    health.lastError = why;
}

void CIntake::Refused(size_t index, const std::string& why) {
    std::lock_guard<std::mutex> guard(m_lock);
    CSourceHealth& health = m_health[index];
    health.lastError = "cannot be polled: " + why;
    m_notes.push_back(health.name + " " + health.lastError);
}

void CIntake::Take(std::vector<CDataFrame>& frames, int waitMs) {
    std::unique_lock<std::mutex> guard(m_lock);
    m_arrived.wait_for(guard, milliseconds(std::max(waitMs, 0)),
                       [this] { return !m_frames.empty(); });
    for (CDataFrame& frame : m_frames) frames.push_back(std::move(frame));
    m_frames.clear();
}

std::vector<std::string> CIntake::TakeNotes() {
    std::lock_guard<std::mutex> guard(m_lock);
    return std::exchange(m_notes, {});
}

std::vector<CSourceHealth> CIntake::Health() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_health;
}

void CIntake::Stop() {
    {
        std::lock_guard<std::mutex> guard(m_stopLock);
        m_bStop = true;
    }
    m_stopped.notify_all();
}

void CIntake::Pause(double seconds) {
    const double step = std::clamp(seconds, 0.0, kStepSeconds);
    std::unique_lock<std::mutex> guard(m_stopLock);
    m_stopped.wait_for(guard, std::chrono::duration<double>(step),
                       [this] { return m_bStop.load(); });
}

// Polls one device at each of its marks on a thread of its own.
class CDevicePoller {
public:
    CDevicePoller(const CModbusDevice& device, size_t index, CIntake& intake)
        : m_device(device), m_nIndex(index), m_intake(intake), m_link(m_device) {
        Plan();
    }
    ~CDevicePoller() { Join(); }
    CDevicePoller(const CDevicePoller&) = delete;
    CDevicePoller& operator=(const CDevicePoller&) = delete;

    // Starts the device's thread; false with `error` when the system has none to give.
    bool Start(std::string& error) {
        // A mark that passed before the start is not read (its values may be gone);
        // taken here, not on the thread, so that the start is the caller's.
        const int64_t startMark = LatestMark(NowSeconds());
        try {
            m_thread = std::thread([this, startMark] { Run(startMark); });
        } catch (const std::system_error& e) {
            error = std::string("no thread for it: ") + e.what();
            return false;
        }
        return true;
    }
    // After the intake's stop: ends a read under way at once.
    void Interrupt() { m_link.Interrupt(); }
    void Join() {
        if (m_thread.joinable()) m_thread.join();
    }

private:
    void Plan() {
        m_tenMinutes = PlanReads(m_device.map, false, m_nGap);
        m_fullHour = PlanReads(m_device.map, true, m_nGap);
    }
    // The newest mark whose poll time has come at `now`.
    int64_t LatestMark(double now) const {
        const double every = m_device.everySeconds;
        return static_cast<int64_t>(std::floor((now - m_device.offsetSeconds) / every)) *
               m_device.everySeconds;
    }
    double DueOf(int64_t mark) const { return static_cast<double>(mark + m_device.offsetSeconds); }
    // Polls each mark after `done` as it comes.
    void Run(int64_t done);
    void PollMark(int64_t mark);
    // One read of the mark's registers; false when the device did not answer.
    bool ReadMark(int64_t mark);

    const CModbusDevice m_device;
    const size_t m_nIndex;
    CIntake& m_intake;
    CModbusLink m_link;
    int m_nGap = kReadThrough;
    ReadPlan m_tenMinutes;  // the ten-minute values
    ReadPlan m_fullHour;    // and the hourly ones
    std::thread m_thread;
};

void CDevicePoller::Run(int64_t done) {
    while (!m_intake.Stopping()) {
        const double now = NowSeconds();
        const int64_t latest = LatestMark(now);
        if (latest > done) {
            // A clock that jumped over several marks gives the newest alone: the
            // device holds the present values, not those of the marks passed.
            done = latest;
            PollMark(latest);
            continue;
        }
        done = latest;  // the same mark, or the clock was set back
        m_intake.Pause(DueOf(done + m_device.everySeconds) - now);
    }
}

void CDevicePoller::PollMark(int64_t mark) {
    double backoff = 1;
    while (!m_intake.Stopping() && !ReadMark(mark)) {
        const double retryAt = SteadySeconds() + backoff;
        backoff = std::min(backoff * 2, kLongestBackoffSeconds);
        while (SteadySeconds() < retryAt) {
            // The mark is given up once the next one is due: it gets its own read.
            if (m_intake.Stopping() || LatestMark(NowSeconds()) != mark) return;
            m_intake.Pause(retryAt - SteadySeconds());
        }
    }
}

bool CDevicePoller::ReadMark(int64_t mark) {
    const ReadPlan& plan = mark % 3600 == 0 ? m_fullHour : m_tenMinutes;
    if (plan.entries.empty()) return true;
    std::vector<uint16_t> words;
    std::string error;
    if (!m_link.Read(plan, words, error)) {
        if (m_intake.Stopping()) return false;  // the stop cut it short: not the device's fault
        if (m_link.LastErrno() == EMBXILADD && m_nGap > 0) {
            // The device has holes in its register map: read only what is mapped.
            m_nGap = 0;
            Plan();
            return ReadMark(mark);
        }
        m_intake.Failed(m_nIndex, error);
        return false;
    }
    m_intake.Answered(m_nIndex, FrameOf(m_device.rtu, plan, words, DateTime::FromSeconds(mark)));
    return true;
}

class CModbusPolling : public CLiveSource {
public:
    explicit CModbusPolling(const std::vector<CModbusDevice>& devices)
        : m_intake(HealthOf(devices)) {
        for (size_t i = 0; i < devices.size(); ++i) {
            std::string why = Unusable(devices[i]);
            if (why.empty()) {
                auto poller = std::make_unique<CDevicePoller>(devices[i], i, m_intake);
                if (poller->Start(why)) m_pollers.push_back(std::move(poller));
            }
            if (!why.empty()) m_intake.Refused(i, why);
        }
    }
    ~CModbusPolling() override {
        // All at once, so that the stop waits for the slowest device, not their sum.
        m_intake.Stop();
        for (auto& poller : m_pollers) poller->Interrupt();
        for (auto& poller : m_pollers) poller->Join();
    }

    bool Poll(std::vector<CDataFrame>& frames, std::vector<std::string>&, int waitMs) override {
        m_intake.Take(frames, waitMs);
        return true;
    }
    std::vector<std::string> TakeNotes() override { return m_intake.TakeNotes(); }
    std::vector<CSourceHealth> Health() const override { return m_intake.Health(); }

private:
    static std::vector<CSourceHealth> HealthOf(const std::vector<CModbusDevice>& devices) {
        std::vector<CSourceHealth> health(devices.size());
        for (size_t i = 0; i < devices.size(); ++i) {
            health[i].name = NameOf(devices[i]);
            health[i].lastFrame = DateTime::Invalid();
        }
        return health;
    }

    CIntake m_intake;
    std::vector<std::unique_ptr<CDevicePoller>> m_pollers;
};

}  // namespace

namespace ModbusSource {

std::optional<CDataFrame> ReadOnce(const CModbusDevice& device, const DateTime& time,
                                   std::string& error) {
    const std::string why = Unusable(device);
    if (!why.empty() || !time.IsValid()) {
        error = NameOf(device) + ": " + (why.empty() ? "no valid time to read at" : why);
        return std::nullopt;
    }
    const bool fullHour = time.ToSeconds() % 3600 == 0;
    ReadPlan plan = PlanReads(device.map, fullHour, kReadThrough);
    if (plan.entries.empty()) {
        error = NameOf(device) + ": the map holds hourly values only, and " + time.Format() +
                " is no full hour";
        return std::nullopt;
    }
    CModbusLink link(device);
    std::vector<uint16_t> words;
    bool read = link.Read(plan, words, error);
    if (!read && link.LastErrno() == EMBXILADD) {
        plan = PlanReads(device.map, fullHour, 0);
        read = link.Read(plan, words, error);
    }
    if (!read) {
        error = NameOf(device) + ": " + error;
        return std::nullopt;
    }
    return FrameOf(device.rtu, plan, words, time);
}

std::unique_ptr<CLiveSource> Poll(std::vector<CModbusDevice> devices) {
    return std::make_unique<CModbusPolling>(devices);
}

}  // namespace ModbusSource
