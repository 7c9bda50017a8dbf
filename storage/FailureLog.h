#pragma once

#include <functional>
#include <string>

#include "platform/DateTime.h"

// The error-log lines of a store that keeps failing (a station file on a full or
// read-only disk, a folder of isolation files that is gone). The first failure of a
// run is written in full by the caller, as it always was; the repeats are only
// counted, with at most one line an interval saying how many there were, and one line
// when the store works again. Time comes from the process clock.
//
// Not thread-safe: the owner guards it with the lock (or the thread) that guards the
// store itself.
class CFailureLog {
public:
    static constexpr double kSummaryIntervalSeconds = 60.0;
    using Sink = std::function<void(const std::string&)>;

    // `subject` starts the count and recovery lines ("Station database /x/WP_12.MDB").
    // The lines go to `sink`, the error log when it is empty. `intervalSeconds` is the
    // shortest time between two lines of one run; tests may shorten it.
    CFailureLog() = default;
    explicit CFailureLog(std::string subject, double intervalSeconds = kSummaryIntervalSeconds,
                         Sink sink = {});

    // Notes a failure. True for the first of a run: the caller then writes it in full.
    // A repeat is counted; once the interval has passed since the run's last line,
    // "<subject>: N more failures in the last minute" is written.
    bool Failed();
    // Notes a success. After a run of failures writes "<subject>: writing again after N
    // failures" (N counting the first) and ends the run.
    void Succeeded();

    bool Failing() const { return m_nRunFailures > 0; }
    const std::string& Subject() const { return m_strSubject; }
    void SetSubject(std::string subject) { m_strSubject = std::move(subject); }

private:
    void Write(const std::string& text) const;

    std::string m_strSubject;
    double m_fIntervalSeconds = kSummaryIntervalSeconds;
    Sink m_sink;
    long m_nRunFailures = 0;  // failures since the last success
    long m_nQuiet = 0;        // failures not written since the run's last line
    DateTime m_tLastLine;     // when the run's last line was written
};
