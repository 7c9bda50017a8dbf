#include "host/LiveSource.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "host/FrameFile.h"
#include "host/Simulator.h"
#include "host/StandardInput.h"
#include "platform/Clock.h"

namespace {

// Reads what has been appended since the last poll; hands on complete lines only.
// A file is read to its current end and tried again later; standard input ends.
class CFollowedFile : public CLiveSource {
public:
    explicit CFollowedFile(std::FILE* file) : m_file(file) {}
    CFollowedFile() : m_input(std::make_unique<CStandardInput>()) {}
    ~CFollowedFile() override {
        if (m_file) std::fclose(m_file);
    }

    bool Poll(std::vector<CDataFrame>& frames, std::vector<std::string>& errors,
              int waitMs) override {
        const bool any = m_input ? ReadInput(waitMs) : ReadFile();
        m_lastLines.clear();
        TakeLines(frames, errors);
        if (m_bEnded) return false;
        if (!any && !m_input) std::this_thread::sleep_for(std::chrono::milliseconds(waitMs));
        return true;
    }

    std::vector<long> LastLines() const override { return m_lastLines; }

private:
    bool ReadFile() {
        bool any = false;
        char buffer[65536];
        for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, m_file)) > 0;) {
            m_pending.append(buffer, got);
            any = true;
        }
        std::clearerr(m_file);  // at the end for now: what is appended comes next time
        return any;
    }

    bool ReadInput(int waitMs) {
        bool any = false;
        char buffer[65536];
        for (int wait = waitMs;; wait = 0) {
            const long got = m_input->Read(buffer, sizeof buffer, wait);
            if (got < 0) return any;
            if (got == 0) {
                m_bEnded = true;
                if (!m_pending.empty()) m_pending += '\n';  // the last line, unended
                return any;
            }
            m_pending.append(buffer, static_cast<size_t>(got));
            any = true;
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
                m_lastLines.push_back(m_nLine);
            } else {
                errors.push_back("line " + std::to_string(m_nLine) + ": " + error);
            }
        }
        m_pending.erase(0, start);
    }

    std::FILE* m_file = nullptr;
    std::unique_ptr<CStandardInput> m_input;
    bool m_bEnded = false;
    std::string m_pending;
    long m_nLine = 0;
    std::vector<long> m_lastLines;  // of the frames the latest Poll appended
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
    if (path == "-") return std::make_unique<CFollowedFile>();
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) {
        error = "--follow: cannot open " + path;
        return nullptr;
    }
    return std::make_unique<CFollowedFile>(file);
}

std::unique_ptr<CLiveSource> SimulateLive(const std::string& mode,
                                          const std::vector<CRTUDef>& towers, std::string& error) {
    double speed = 1.0;
    if (mode.rfind("live:", 0) == 0) {
        char* end = nullptr;
        speed = std::strtod(mode.c_str() + 5, &end);
        if (!end || *end != '\0' || !(speed > 0) || speed > 1e6) {
            error = "--simulate live:SPEED needs a SPEED above 0: " + mode;
            return nullptr;
        }
    } else if (mode != "live") {
        error = "not a live simulation: " + mode;
        return nullptr;
    }
    return std::make_unique<CLiveSimulation>(towers, speed);
}
