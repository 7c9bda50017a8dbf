#pragma once

#include <chrono>

#include "platform/DateTime.h"

// The one process clock: local wall time plus an offset that the host or a test
// may set, so that a run can be placed at any instant. Every "now" goes through it.
// Thread-safe.
namespace ProcessClock {

VKTBASE_API DateTime Now();
// Shifts the clock so that Now() returns `now` at this instant; time then runs on.
VKTBASE_API void SetNow(const DateTime& now);
// For tests: the clock's offset from the wall clock.
VKTBASE_API void SetOffsetSeconds(double seconds);
VKTBASE_API double GetOffsetSeconds();
// Back to the plain wall clock.
VKTBASE_API void Reset();

}  // namespace ProcessClock

// Seconds on the monotonic clock, for measuring intervals only: unlike the process
// clock it is never set and never jumps.
inline double SteadySeconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}
