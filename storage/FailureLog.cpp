#include "storage/FailureLog.h"

#include <cmath>

#include "hostlib/VktBase.h"
#include "platform/Clock.h"

namespace {

std::string Failures(long count) {
    return std::to_string(count) + (count == 1 ? " failure" : " failures");
}

// "the last minute" for the usual interval; the span as it was otherwise.
std::string LastSpan(double seconds) {
    if (seconds < 60.0) return "the last " + std::to_string(std::lround(seconds)) + " s";
    const long minutes = std::lround(seconds / 60.0);
    return minutes <= 1 ? "the last minute" : "the last " + std::to_string(minutes) + " minutes";
}

}  // namespace

CFailureLog::CFailureLog(std::string subject, double intervalSeconds, Sink sink)
    : m_strSubject(std::move(subject)),
      m_fIntervalSeconds(intervalSeconds),
      m_sink(std::move(sink)) {}

bool CFailureLog::Failed() {
    const DateTime now = ProcessClock::Now();
    if (m_nRunFailures++ == 0) {
        m_nQuiet = 0;
        m_tLastLine = now;
        return true;
    }
    ++m_nQuiet;
    const double elapsed = (now - m_tLastLine).GetTotalSeconds();
    if (elapsed < 0) {
        // The clock was set back: the interval starts again from here.
        m_tLastLine = now;
        return false;
    }
    if (elapsed < m_fIntervalSeconds) return false;
    Write(m_strSubject + ": " + std::to_string(m_nQuiet) + " more " +
          (m_nQuiet == 1 ? "failure" : "failures") + " in " + LastSpan(elapsed));
    m_nQuiet = 0;
    m_tLastLine = now;
    return false;
}

void CFailureLog::Succeeded() {
    if (!Failing()) return;
    Write(m_strSubject + ": writing again after " + Failures(m_nRunFailures));
    m_nRunFailures = 0;
    m_nQuiet = 0;
}

void CFailureLog::Write(const std::string& text) const {
    if (m_sink) {
        m_sink(text);
    } else {
        WriteErrorInfo(text);
    }
}
