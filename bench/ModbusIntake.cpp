// 400 tower loggers of 60 registers each over Modbus TCP: how long after a mark the
// host's poller has every device's frame, against a bare libmodbus loop reading the
// same registers one device after the other over connections it keeps open.
#include <modbus/modbus.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "bench/IntakeBench.h"
#include "host/ModbusSource.h"
#include "model/DataIds.h"
#include "platform/Clock.h"

namespace {

constexpr int kDevices = 400;
constexpr int kRegisters = 60;
constexpr int kCycles = 5;        // measured, after one that opens the connections
constexpr int kEverySeconds = 2;  // the poller's marks, far apart enough for one cycle

// modbus_device.py serving kRegisters holding registers on kDevices ports, one a device
// as each logger has an address of its own.
class DeviceProcess {
public:
    DeviceProcess() {
        std::string words = "0=";
        for (int i = 0; i < kRegisters; ++i) words += std::to_string(1000 + i) + ",";
        words.pop_back();
        std::vector<std::string> args = {
            "/usr/bin/python3", VKT_MODBUS_DEVICE,        "--port",    "0",
            "--listeners",      std::to_string(kDevices), "--holding", words};
        std::vector<char*> argv;
        for (std::string& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        int out[2];
        if (::pipe(out) != 0) return;
        m_pid = ::fork();
        if (m_pid == 0) {
            ::dup2(out[1], STDOUT_FILENO);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(out[1]);
        m_ports = ReadyPorts(out[0]);
        ::close(out[0]);
    }
    ~DeviceProcess() {
        if (m_pid > 0 && ::kill(m_pid, SIGKILL) == 0) ::waitpid(m_pid, nullptr, 0);
    }
    DeviceProcess(const DeviceProcess&) = delete;
    DeviceProcess& operator=(const DeviceProcess&) = delete;

    const std::vector<int>& Ports() const { return m_ports; }  // empty: it did not start

private:
    static std::vector<int> ReadyPorts(int fd) {
        std::string said;
        char c = 0;
        pollfd ready{fd, POLLIN, 0};
        while (said.find('\n') == std::string::npos && ::poll(&ready, 1, 20000) == 1 &&
               ::read(fd, &c, 1) == 1) {
            said += c;
        }
        std::vector<int> ports;
        if (said.rfind("ready ", 0) != 0) return ports;
        std::istringstream words(said.substr(6));
        for (int port = 0; words >> port;) ports.push_back(port);
        return ports;
    }

    pid_t m_pid = -1;
    std::vector<int> m_ports;
};

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// The bare loop: one connection a device, opened once; each cycle reads every device's
// registers in turn. Its cycle times, or empty with `error`.
std::vector<double> BareLoop(const std::vector<int>& ports, std::string& error) {
    struct Free {
        void operator()(modbus_t* ctx) const {
            modbus_close(ctx);
            modbus_free(ctx);
        }
    };
    std::vector<std::unique_ptr<modbus_t, Free>> links;
    for (int port : ports) {
        links.emplace_back(modbus_new_tcp_pi("127.0.0.1", std::to_string(port).c_str()));
        if (!links.back() || modbus_set_slave(links.back().get(), 1) != 0 ||
            modbus_connect(links.back().get()) != 0) {
            error = std::string("the bare loop cannot connect: ") + modbus_strerror(errno);
            return {};
        }
    }
    std::vector<double> cycles;
    uint16_t words[kRegisters];
    for (int cycle = 0; cycle <= kCycles; ++cycle) {
        const double start = SteadySeconds();
        for (auto& link : links) {
            if (modbus_read_registers(link.get(), 0, kRegisters, words) != kRegisters) {
                error = std::string("the bare loop's read failed: ") + modbus_strerror(errno);
                return {};
            }
        }
        if (cycle > 0) cycles.push_back(SteadySeconds() - start);
    }
    return cycles;
}

std::vector<CModbusDevice> Devices(const std::vector<int>& ports) {
    std::vector<CMapEntry> map;
    for (int i = 0; i < kRegisters; ++i) {
        CMapEntry entry;
        entry.id = DataIds()[static_cast<size_t>(i)].id;
        entry.address = i;
        map.push_back(entry);
    }
    std::vector<CModbusDevice> devices;
    for (size_t i = 0; i < ports.size(); ++i) {
        CModbusDevice device;
        device.rtu = static_cast<int>(i) + 1;
        device.host = "127.0.0.1";
        device.port = ports[i];
        device.map = map;
        device.everySeconds = kEverySeconds;
        device.offsetSeconds = 0;
        devices.push_back(std::move(device));
    }
    return devices;
}

// The host's poller: for each mark, the time from the mark until the last of the
// devices' frames was handed over. The first mark opens the connections; `first` is its
// time. Empty with `error` when a mark lacks a frame.
std::vector<double> HostPoller(const std::vector<int>& ports, double& first, std::string& error) {
    auto source = ModbusSource::Poll(Devices(ports));
    std::map<int64_t, int> framesOf;       // mark -> frames in
    std::map<int64_t, double> markSteady;  // mark -> its moment on the steady clock
    std::vector<double> cycles;
    const double end = SteadySeconds() + (kCycles + 3) * kEverySeconds + 10;
    while (static_cast<int>(cycles.size()) < kCycles + 1 && SteadySeconds() < end) {
        std::vector<CDataFrame> frames;
        std::vector<std::string> errors;
        source->Poll(frames, errors, 50);
        const double now = SteadySeconds();
        const double clock = ProcessClock::Now().GetOleDate() * 86400.0;
        for (const CDataFrame& frame : frames) {
            const int64_t mark = frame.m_tTime.ToSeconds();
            if (frame.m_arItems.size() != kRegisters) {
                error = "a frame of RTU " + std::to_string(frame.m_nRTUID) + " lacks values";
                return {};
            }
            markSteady.emplace(mark, now - (clock - static_cast<double>(mark)));
            if (++framesOf[mark] == kDevices) cycles.push_back(now - markSteady[mark]);
        }
    }
    if (static_cast<int>(cycles.size()) < kCycles + 1) {
        error = "the poller did not bring every device's frame of " + std::to_string(kCycles + 1) +
                " marks; notes: ";
        for (const std::string& note : source->TakeNotes()) error += note + " | ";
        return {};
    }
    first = cycles.front();
    cycles.erase(cycles.begin());
    return cycles;
}

}  // namespace

IntakeResult ModbusIntakeBench() {
    IntakeResult r;
    r.name = "modbus";
    r.unit = "s a cycle";
    r.target = 0.67;
    DeviceProcess device;
    if (device.Ports().size() != kDevices) {
        r.failure = "the pymodbus device did not start";
        return r;
    }
    std::vector<double> bare = BareLoop(device.Ports(), r.failure);
    if (bare.empty()) return r;
    double first = 0;
    std::vector<double> ours = HostPoller(device.Ports(), first, r.failure);
    if (ours.empty()) return r;
    r.ours = Median(ours);
    r.baseline = Median(bare);
    r.ratio = r.baseline / r.ours;
    char what[200];
    std::snprintf(what, sizeof what,
                  "%d devices x %d registers, one pymodbus process; median of %d cycles "
                  "(host's first, connecting: %.3f s)",
                  kDevices, kRegisters, kCycles, first);
    r.what = what;
    return r;
}
