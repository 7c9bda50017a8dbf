#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/DateTime.h"

// How much of what a tower should have sent its stores hold: the share of the
// ten-minute marks (the data recovery rate a mast is judged by) present in its station
// file (WPData/WP_<rtu>.MDB, table RTTOWER) and in the backend (FD_RUN_RTTOWER under the
// [DATABASE] PRENAME prefix, the rows of the tower's TOWERID). Only rows at a whole
// ten-minute mark count, each mark once. A mark is expected when it lies in the range
// (from <= mark < to) and not after the process clock's now. Everything here reads the
// host directory that is the current directory.
namespace Availability {

constexpr int kMarkSeconds = 600;

struct Options {
    std::string dir;
    // "YYYY-MM-DD HH:MM[:SS]" as typed, or empty: `to` is the process clock's now,
    // `from` the start of the day 29 days before the day of the range's last mark
    // (30 calendar days).
    std::string from, to;
};

// Prints, per wind tower (types 100 and 101) of the catalogue, the expected and present
// marks of each store per day and per calendar month, then its gaps (runs of missing
// marks) per store, longest first. A store that cannot be read is said so for the
// tower and not counted. Returns 0 when printed; 1 with a message on standard error
// when it cannot start (a time that is none, an empty range, not a host directory).
int Print(const Options& options);

// "87.0%": the share in tenths of a percent, cut, not rounded, so that a store that
// lacks any mark never shows 100.0%. "-" when nothing is expected.
std::string Percent(int present, int expected);

// What one store holds of a tower's expected marks of a range.
struct StoreCount {
    std::optional<int> present;  // nothing when the store could not be read
    std::string trouble;         // why not, e.g. "backend unreachable: …"
};

// A tower's marks of today up to now, for the window's RTU list.
struct DayFigure {
    int32_t rtu = 0;
    DateTime from, now;  // midnight and the process clock's now when read
    int expected = 0;
    StoreCount station, backend;
};

// Reads every tower's DayFigure on a thread of its own: at once, then every
// kIntervalSeconds, so that the stores are asked at most that often whatever the
// window does. Without a thread of its own it reads once, in the constructor. Made and
// destroyed on one thread; TakeNewest on any. The destructor waits for a read under
// way (a backend that does not answer holds it up to its login time-out).
class CTodayLoader {
public:
    static constexpr int kIntervalSeconds = 60;

    CTodayLoader();
    ~CTodayLoader();
    CTodayLoader(const CTodayLoader&) = delete;
    CTodayLoader& operator=(const CTodayLoader&) = delete;

    // The figures of the newest read once, once; nothing before it or when taken.
    std::optional<std::vector<DayFigure>> TakeNewest();

private:
    void ReadEveryInterval();

    std::mutex m_lock;
    std::condition_variable m_stopAsked;
    bool m_stop = false;                             // guarded by m_lock
    std::optional<std::vector<DayFigure>> m_newest;  // guarded by m_lock
    std::thread m_thread;
};

}  // namespace Availability
