#include "platform/Clock.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <ctime>

#include "platform/System.h"

namespace {

std::atomic<int64_t> g_offsetMicros{0};

// Local wall time in microseconds on the same axis as DateTime::ToSeconds() * 1e6.
int64_t LocalWallMicros() {
    const auto now = std::chrono::system_clock::now();
    const int64_t micros =
        std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch()).count();
    const std::time_t seconds = static_cast<std::time_t>(micros / 1000000);
    const std::tm local = System::LocalTime(seconds);
    const DateTime wall(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                        local.tm_min, local.tm_sec);
    return wall.ToSeconds() * 1000000 + micros % 1000000;
}

}  // namespace

namespace ProcessClock {

DateTime Now() {
    const int64_t micros = LocalWallMicros() + g_offsetMicros.load();
    // Keep the sub-second part so that the value rounds like a framework date-time.
    const int64_t seconds = micros / 1000000;
    const double fraction = static_cast<double>(micros % 1000000) / 1e6;
    DateTime whole = DateTime::FromSeconds(seconds);
    if (fraction == 0.0 || whole.GetOleDate() < 0) return whole;
    return DateTime(whole.GetOleDate() + fraction / 86400.0);
}

void SetNow(const DateTime& now) {
    g_offsetMicros.store(now.ToSeconds() * 1000000 - LocalWallMicros());
}

void SetOffsetSeconds(double seconds) {
    g_offsetMicros.store(std::llround(seconds * 1e6));
}

double GetOffsetSeconds() {
    return static_cast<double>(g_offsetMicros.load()) / 1e6;
}

void Reset() {
    g_offsetMicros.store(0);
}

}  // namespace ProcessClock
