#pragma once

#include <atomic>

#include "storage/BackendTarget.h"
#include "storage/BatchJobThread.h"
#include "storage/WPLocalDB.h"

class CStationMap;

// The export thread: copies what the station databases hold for a time range into
// the backend tables, station by station and day by day (units (t, t + 1 day], several
// in one transaction where the server takes batches), for jobs the operator starts. Rows the
// backend already has are counted, not reported.
class COutLocalDataThread : public CBatchJobThread {
public:
    // Copies from the station files of `stations` into `backend`; both outlive the
    // thread.
    COutLocalDataThread(const CBackendTarget& backend, CStationMap& stations);
    ~COutLocalDataThread() override;

    // One unit: the station's rows of (from, to]. A station the map does not hold
    // copies nothing (the unit still counts).
    void OutStationData(int32_t nRTUID, const DateTime& from, const DateTime& to);

    // Where the server takes batches, kTowerDaysPerTransaction station-days a step.
    int DaysPerStep() override;

    // What the running or last job copied. Any thread.
    long CopiedCount() const { return m_nCopied.load(); }
    long PresentCount() const { return m_nPresent.load(); }
    long FailedCount() const { return m_nFailed.load(); }

protected:
    int Run() override;
    void RunUnit(int32_t nRTUID, const DateTime& from, const DateTime& to) override;
    void OnJobStart() override;

private:
    const CBackendTarget m_target;
    CStationMap& m_stations;
    std::atomic<long> m_nCopied{0};
    std::atomic<long> m_nPresent{0};
    std::atomic<long> m_nFailed{0};
};
