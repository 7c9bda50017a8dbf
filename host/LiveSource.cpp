#include "host/LiveSource.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "host/FrameFile.h"
#include "host/Simulator.h"
#include "platform/Clock.h"

namespace {

// Reads what has been appended since the last poll; hands on complete lines only.
class CFollowedFile : public CLiveSource {
public:
    CFollowedFile(int fd, bool ownsFd, bool ends) : m_fd(fd), m_bOwnsFd(ownsFd), m_bEnds(ends) {}
    ~CFollowedFile() override {
        if (m_bOwnsFd) close(m_fd);
    }

    bool Poll(std::vector<CDataFrame>& frames, std::vector<std::string>& errors,
              int waitMs) override {
        const bool any = ReadAvailable();
        TakeLines(frames, errors);
        if (m_bEnded) return false;
        if (!any) WaitForMore(waitMs);
        return true;
    }

private:
    bool ReadAvailable() {
        bool any = false;
        char buffer[65536];
        for (;;) {
            if (m_bEnds) {  // a pipe or terminal: read only what is there
                pollfd ready{m_fd, POLLIN, 0};
                if (::poll(&ready, 1, 0) <= 0) return any;
            }
            const ssize_t got = read(m_fd, buffer, sizeof buffer);
            if (got < 0) return any;
            if (got == 0) {
                if (m_bEnds) {
                    m_bEnded = true;
                    if (!m_pending.empty()) m_pending += '\n';  // the last line, unended
                }
                return any;
            }
            m_pending.append(buffer, static_cast<size_t>(got));
            any = true;
        }
    }

    void WaitForMore(int waitMs) {
        if (m_bEnds) {
            pollfd ready{m_fd, POLLIN, 0};
            ::poll(&ready, 1, waitMs);
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(waitMs));
        }
    }

    void TakeLines(std::vector<CDataFrame>& frames, std::vector<std::string>& errors) {
        size_t start = 0;
        for (size_t end; (end = m_pending.find('\n', start)) != std::string::npos;
             start = end + 1) {
            ++m_nLine;
            std::string line = m_pending.substr(start, end - start);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (line.find_first_not_of(" \t") == std::string::npos) continue;
            std::string error;
            if (auto frame = FrameFile::ParseLine(line, error)) {
                frames.push_back(std::move(*frame));
            } else {
                errors.push_back("line " + std::to_string(m_nLine) + ": " + error);
            }
        }
        m_pending.erase(0, start);
    }

    const int m_fd;
    const bool m_bOwnsFd;
    const bool m_bEnds;
    bool m_bEnded = false;
    std::string m_pending;
    long m_nLine = 0;
};

// The process clock runs SPEED times as fast; each 10-minute mark it passes gives
// every tower's frame of that mark.
class CLiveSimulation : public CLiveSource {
public:
    CLiveSimulation(std::vector<CRTUDef> towers, double speed)
        : m_towers(std::move(towers)),
          m_dSpeed(speed),
          m_start(std::chrono::steady_clock::now()),
          m_tStart(ProcessClock::Now()),
          m_tNextMark(NextMark(m_tStart)) {}

    bool Poll(std::vector<CDataFrame>& frames, std::vector<std::string>&, int waitMs) override {
        const DateTime now = SimulatedNow();
        if (now < m_tNextMark) {
            const double wait = (m_tNextMark - now).GetTotalSeconds() / m_dSpeed * 1000.0;
            std::this_thread::sleep_for(
                std::chrono::milliseconds(static_cast<long>(std::min<double>(wait, waitMs)) + 1));
            return true;
        }
        ProcessClock::SetNow(m_tNextMark);
        m_start = std::chrono::steady_clock::now();
        m_tStart = m_tNextMark;
        auto made = Simulator::Simulate(m_towers, {m_tNextMark, m_tNextMark});
        frames.insert(frames.end(), made.begin(), made.end());
        m_tNextMark = m_tNextMark + DateTimeSpan(0, 0, 10, 0);
        return true;
    }

private:
    static DateTime NextMark(const DateTime& after) {
        const int64_t seconds = after.ToSeconds();
        return DateTime::FromSeconds((seconds / 600 + 1) * 600);
    }
    DateTime SimulatedNow() const {
        const double real =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
        return m_tStart + DateTimeSpan(real * m_dSpeed / 86400.0);
    }

    const std::vector<CRTUDef> m_towers;
    const double m_dSpeed;
    std::chrono::steady_clock::time_point m_start;
    DateTime m_tStart;
    DateTime m_tNextMark;
};

}  // namespace

std::unique_ptr<CLiveSource> FollowFrames(const std::string& path, std::string& error) {
    if (path == "-") return std::make_unique<CFollowedFile>(STDIN_FILENO, false, true);
    const int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) {
        error = "--follow: cannot open " + path;
        return nullptr;
    }
    return std::make_unique<CFollowedFile>(fd, true, false);
}

std::unique_ptr<CLiveSource> SimulateLive(const std::string& spec,
                                          const std::vector<CRTUDef>& towers, std::string& error) {
    double speed = 1.0;
    if (spec.rfind("live:", 0) == 0) {
        char* end = nullptr;
        speed = std::strtod(spec.c_str() + 5, &end);
        if (!end || *end != '\0' || !(speed > 0) || speed > 1e6) {
            error = "--simulate live:SPEED needs a SPEED above 0: " + spec;
            return nullptr;
        }
    } else if (spec != "live") {
        error = "not a live simulation: " + spec;
        return nullptr;
    }
    return std::make_unique<CLiveSimulation>(towers, speed);
}
