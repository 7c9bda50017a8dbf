#include "host/Simulator.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <numbers>

#include "host/FrameFile.h"
#include "hostlib/TowerTypes.h"
#include "hostlib/VktBase.h"

namespace Simulator {

namespace {

constexpr int64_t kStepSeconds = 600;

// A repeatable pseudo-random number in [0, 1) for (rtu, time, channel).
double Noise(int32_t rtu, int64_t seconds, int channel) {
    uint64_t x = static_cast<uint64_t>(rtu) * 0x9E3779B97F4A7C15ull ^
                 static_cast<uint64_t>(seconds) * 0xBF58476D1CE4E5B9ull ^
                 static_cast<uint64_t>(channel) * 0x94D049BB133111EBull;
    x ^= x >> 31;
    x *= 0xD6E8FEB86659FD39ull;
    x ^= x >> 28;
    return static_cast<double>(x >> 11) / 9007199254740992.0;
}

double Centered(int32_t rtu, int64_t seconds, int channel) {
    return Noise(rtu, seconds, channel) * 2.0 - 1.0;
}

struct TowerState {
    double rainCounter = 0.0;
    double hourMaxSpeed[8] = {};
    double hourMaxDir[8] = {};
    int64_t hourMaxSeconds[8] = {};
    double hourSpeedSum[8] = {};
    double hourDirSum[8] = {};
    int hourSamples = 0;
};

int LevelsOf(int32_t rtu) {
    return 4 + std::abs(rtu) % 4;
}

class FrameBuilder {
public:
    FrameBuilder(int32_t rtu, const DateTime& time) {
        m_frame.m_nRTUID = rtu;
        m_frame.m_nKind = 1;
        m_frame.m_tTime = time;
    }
    void Add(int32_t id, double value, int kind = 0, const DateTime* time = nullptr) {
        CDataItem item;
        item.m_nSensorID = SensorKey(m_frame.m_nRTUID, id);
        item.m_nDataID = id;
        item.m_nKind = kind;
        item.m_tTime = time ? *time : m_frame.m_tTime;
        item.m_fValue = static_cast<float>(std::round(value * 100.0) / 100.0);
        m_frame.m_arItems.push_back(item);
    }
    CDataFrame Take() { return std::move(m_frame); }

private:
    CDataFrame m_frame;
};

double Wrap360(double degrees) {
    return std::fmod(std::fmod(degrees, 360.0) + 360.0, 360.0);
}

// Each level's ten-minute wind, and its part of the hour's means and extremes.
void AddWindLevels(FrameBuilder& frame, int32_t rtu, int64_t s, double baseSpeed, double prevailing,
                   TowerState& state) {
    for (int level = 1; level <= LevelsOf(rtu); ++level) {
        const int n = level - 1;
        const double heightFactor = std::pow(1.0 + level * 0.5, 0.14);
        const double avg = std::max(0.2, baseSpeed * heightFactor + Centered(rtu, s, level) * 0.8);
        const double sd = 0.4 + 0.3 * Noise(rtu, s, 10 + level);
        const double dir = Wrap360(prevailing + 8.0 * Centered(rtu, s, 20 + level));
        const double dirSd = 5.0 + 10.0 * Noise(rtu, s, 30 + level);
        const double maxSp = avg + 2.2 * sd + Noise(rtu, s, 40 + level);
        frame.Add(7000 + n, avg);
        frame.Add(7100 + n, dir);
        frame.Add(7200 + n, sd);
        frame.Add(7300 + n, std::max(0.0, avg + sd * Centered(rtu, s, 50 + level)));
        frame.Add(7400 + n, Wrap360(dir + dirSd * Centered(rtu, s, 60 + level)));
        frame.Add(7500 + n, maxSp);
        frame.Add(7600 + n, std::max(0.0, avg - 2.0 * sd));
        frame.Add(7700 + n, Wrap360(dir + 2.0 * dirSd));
        frame.Add(7800 + n, Wrap360(dir - 2.0 * dirSd));
        frame.Add(7900 + n, dirSd);
        state.hourSpeedSum[level] += avg;
        state.hourDirSum[level] += dir;
        if (maxSp > state.hourMaxSpeed[level]) {
            state.hourMaxSpeed[level] = maxSp;
            state.hourMaxDir[level] = dir;
            state.hourMaxSeconds[level] = s - static_cast<int64_t>(Noise(rtu, s, 70 + level) * 599);
        }
    }
    ++state.hourSamples;
}

// Temperature, humidity, pressure, the rain counter and the radiation.
void AddWeather(FrameBuilder& frame, int32_t rtu, int64_t s, double hourOfDay, double sun,
                TowerState& state) {
    const double temperature =
        8.0 + 7.0 * std::sin(std::numbers::pi * (hourOfDay - 9.0) / 12.0) + Centered(rtu, s, 80);
    const double humidity =
        std::clamp(70.0 - 2.0 * (temperature - 8.0) + 5 * Centered(rtu, s, 81), 5.0, 100.0);
    frame.Add(8000, temperature - 0.6);
    frame.Add(8100, std::min(100.0, humidity + 2.0));
    frame.Add(8200, temperature);
    frame.Add(8300, humidity);
    frame.Add(2300, 1012.0 + 6.0 * std::sin(s / 200000.0) + 0.3 * Centered(rtu, s, 82));
    if (Noise(rtu, s / 7200, 83) < 0.25)
        state.rainCounter += 0.2 * std::floor(Noise(rtu, s, 84) * 4);
    frame.Add(100, state.rainCounter);
    const double total = 950.0 * sun * (0.8 + 0.2 * Noise(rtu, s, 85));
    frame.Add(2900, total * 0.7);
    frame.Add(2901, total);
    frame.Add(2902, total * 0.2);
    frame.Add(2903, total * 0.3);
    frame.Add(2904, total * 0.05);
    frame.Add(2905, temperature + total / 40.0);
    frame.Add(3000, sun > 0.1 ? 1.0 / 6.0 : 0.0);
}

// At a full hour: the hour's means and extremes, and a new hour begins (the rain
// counter runs on).
void AddHourEnd(FrameBuilder& frame, int32_t rtu, TowerState& state) {
    for (int level = 1; level <= LevelsOf(rtu); ++level) {
        const int n = level - 1;
        const int samples = std::max(1, state.hourSamples);
        const DateTime extremeTime = DateTime::FromSeconds(state.hourMaxSeconds[level]);
        frame.Add(9000 + n, state.hourSpeedSum[level] / samples);
        frame.Add(9100 + n, state.hourDirSum[level] / samples);
        frame.Add(9200 + n, state.hourMaxSpeed[level]);
        frame.Add(9300 + n, state.hourMaxDir[level], 8, &extremeTime);
    }
    const double rainCounter = state.rainCounter;
    state = TowerState{};
    state.rainCounter = rainCounter;
}

CDataFrame MakeFrame(const CRTUDef& tower, const DateTime& time, TowerState& state) {
    const int32_t rtu = tower.m_nRTUID;
    const int64_t s = time.ToSeconds();
    const double hourOfDay = time.GetHour() + time.GetMinute() / 60.0;
    const double sun = std::max(0.0, std::sin(std::numbers::pi * (hourOfDay - 6.0) / 12.0));
    const double baseSpeed = 4.0 + 2.0 * std::sin(s / 43200.0) + 1.5 * sun + (rtu % 3);
    const double prevailing = Wrap360(200.0 + 40.0 * std::sin(s / 86400.0) + 30.0 * rtu);
    FrameBuilder frame(rtu, time);
    AddWindLevels(frame, rtu, s, baseSpeed, prevailing, state);
    AddWeather(frame, rtu, s, hourOfDay, sun, state);
    if (time.GetMinute() == 0) AddHourEnd(frame, rtu, state);
    return frame.Take();
}

}  // namespace

std::optional<Range> ParseSpan(const std::string& span, const DateTime& now, std::string& error) {
    if (span.rfind("last:", 0) == 0) {
        char* end = nullptr;
        const double amount = std::strtod(span.c_str() + 5, &end);
        const std::string unit = end ? end : "";
        const double seconds = unit == "d" ? 86400 : unit == "h" ? 3600 : unit == "m" ? 60 : 0;
        if (seconds == 0 || !(amount > 0)) {
            error = "simulation span must look like last:2d, last:12h or last:90m";
            return std::nullopt;
        }
        return Range{now - DateTimeSpan(amount * seconds / 86400.0), now};
    }
    const size_t dots = span.find("..");
    if (dots != std::string::npos) {
        auto from = FrameFile::ParseOptionTime(span.substr(0, dots));
        auto to = FrameFile::ParseOptionTime(span.substr(dots + 2));
        if (from && to && !(*to < *from)) return Range{*from, *to};
    }
    error =
        "simulation span must be last:DURATION or \"FROM..TO\", each time \"YYYY-MM-DD HH:MM\" "
        "or \"YYYY-MM-DD HH:MM:SS\"";
    return std::nullopt;
}

std::vector<CDataFrame> Simulate(const std::vector<CRTUDef>& towers, const Range& range) {
    std::vector<CDataFrame> frames;
    std::map<int32_t, TowerState> states;
    const int64_t first = (range.from.ToSeconds() + kStepSeconds - 1) / kStepSeconds * kStepSeconds;
    for (int64_t s = first; s <= range.to.ToSeconds(); s += kStepSeconds) {
        const DateTime time = DateTime::FromSeconds(s);
        for (const CRTUDef& tower : towers) {
            frames.push_back(MakeFrame(tower, time, states[tower.m_nRTUID]));
        }
    }
    return frames;
}

std::vector<CRTUDef> CatalogueTowers() {
    CObList<CRTUDef> all;
    CRTUDefRT::OutRTRTU(all);
    std::vector<CRTUDef> towers;
    for (const auto& def : all) {
        if (IsTowerType(def->m_nType)) towers.push_back(*def);
    }
    return towers;
}

}  // namespace Simulator
