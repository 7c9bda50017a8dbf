#include "host/LiveSource.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "host/Simulator.h"
#include "platform/Clock.h"

namespace {

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

CLiveFeed::CLiveFeed(CLiveSource& source, Offer offer, int retryMs)
    : m_source(source), m_offer(std::move(offer)), m_retryMs(retryMs) {}

bool CLiveFeed::Turn(int waitMs, std::vector<std::string>& errors,
                     std::vector<std::string>& notes) {
    if (!m_held.empty()) {
        // Offered again once the pause since the refusal is over; until then the turn
        // leaves the source and the frames alone, so that other feeds go on meanwhile.
        if (std::chrono::steady_clock::now() < m_retryAt) return true;
    } else if (!m_bEnded) {
        std::vector<CDataFrame> frames;
        m_bEnded = !m_source.Poll(frames, errors, waitMs);
        const std::vector<std::string> places = m_source.LastPlaces();
        m_nRead += static_cast<long>(frames.size());
        for (size_t i = 0; i < frames.size(); ++i) {
            m_held.push_back({std::move(frames[i]), i < places.size() ? places[i] : ""});
        }
    }
    OfferHeld();
    std::vector<std::string> noted = m_source.TakeNotes();
    notes.insert(notes.end(), noted.begin(), noted.end());
    return !m_bEnded || !m_held.empty();
}

void CLiveFeed::OfferHeld() {
    while (!m_held.empty()) {
        const FrameOutcome outcome =
            m_offer(m_held.front().frame, m_held.front().place, m_bRefused);
        if (outcome.fate == FrameFate::RefusedForNow) {
            m_bRefused = true;
            m_retryAt = std::chrono::steady_clock::now() + std::chrono::milliseconds(m_retryMs);
            return;
        }
        m_bRefused = false;
        m_source.Acknowledge(outcome);
        m_held.pop_front();
    }
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
