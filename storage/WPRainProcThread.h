#pragma once

#include <vector>

#include "storage/BackendTarget.h"
#include "storage/BatchJobThread.h"

// One row of FD_RUN_RTTOWER as the rainfall recalculation reads it.
struct CRainRow {
    DateTime m_tTime;
    float m_fRain = 0.0f;
    float m_fCycle = 0.0f;
    bool m_bCycleValid = false;  // CYCLE was a number other than -99 and -100
};

// The rainfall thread: recomputes the hourly rainfall RAIN of the backend's 10-minute
// rows from the rain counter CYCLE the backend holds, once an hour over the last two
// days of every type-100 tower, and on operator request for chosen stations and a
// time range (units of one station-day, both ends of a step included).
class CWPRainProcThread : public CBatchJobThread {
public:
    static constexpr int kInitialSleepMs = 10000;
    static constexpr int kWaitMs = 5000;
    // The periodic job runs from this minute of an hour on, once an hour.
    static constexpr int kPeriodicMinute = 5;

    // The rows are read and updated through `backend`, which outlives the thread.
    explicit CWPRainProcThread(const CBackendTarget& backend, int initialSleepMs = kInitialSleepMs,
                               int waitMs = kWaitMs);
    ~CWPRainProcThread() override;

    // What one recalculation did: the rows it read, and the reads and updates that
    // failed or could not run (no backend connection).
    struct CRainCounts {
        long nRows = 0;
        long nFailed = 0;
    };

    // Recomputes RAIN of one station for from ≤ TIME ≤ to. Rain thread (and tests).
    CRainCounts ReCalRain(int32_t nRTUID, const DateTime& from, const DateTime& to);
    // The periodic job: every type-100 tower, the last two days up to this hour.
    void ReCalAllRain();
    // For tests: periodic runs since start.
    long PeriodicRunCount() const { return m_nPeriodicRuns.load(); }
    // Reads and updates of the running or last operator job that failed. Any thread.
    long FailedCount() const { return m_nFailed.load(); }

    // From the rows of one tower in ascending time, the full-hour rows whose RAIN
    // differs from the counter's rise since the previous full hour, with that rise
    // (never below 0). A row without a valid counter is no base and gets nothing; the
    // next valid one is the new base.
    static std::vector<std::pair<DateTime, float>> CalcPeriodRain(
        const std::vector<CRainRow>& rows);

protected:
    int Run() override;
    void RunUnit(int32_t nRTUID, const DateTime& from, const DateTime& to) override;
    void OnJobStart() override { m_nFailed = 0; }
    // On every wait time-out: the periodic job when the hour has not had it yet.
    void PeriodicCheck(const DateTime& now);

private:
    // Reads the tower's rows and writes the recomputed RAIN values. `errorPrefix`
    // heads the report of a read the backend refuses.
    CRainCounts Recalculate(int towerID, const DateTime& from, const DateTime& to,
                            const char* errorPrefix);
    bool ReadRows(int towerID, const std::string& prefix, const DateTime& from, const DateTime& to,
                  const char* errorPrefix, std::vector<CRainRow>& rows);
    bool UpdateRain(int towerID, const std::string& prefix, const DateTime& time, float rain);
    // The periodic pass where the server takes batches: every tower's rows read in one
    // call, the updates in one transaction; false when it could not be sent so (the
    // towers then go one at a time, each refusal reported).
    bool RecalculateInBatches(const std::vector<int>& towers, const DateTime& from,
                              const DateTime& to);

    const CBackendTarget m_target;
    const int m_nInitialSleepMs;
    const int m_nWaitMs;
    std::atomic<int> m_nLastPeriodicHour{-1};
    std::atomic<long> m_nPeriodicRuns{0};
    std::atomic<long> m_nFailed{0};
};
