#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <vector>

#include "platform/DateTime.h"
#include "platform/JobWorker.h"
#include "platform/Mutex.h"

// A worker that runs operator jobs: stations and a time range, worked through in
// units of one station and one day, with message 3024 to the progress window after
// every unit, a stop request (thread message 3025 or the stop event) looked for after
// every unit, and message 3026 once at the end of every job.
class CBatchJobThread : public CJobWorker {
public:
    // After every unit the stop event is waited for this long.
    static constexpr int kStopPollMs = 50;

    // Hands a job over as the dialog does: stop requests still queued from an earlier
    // job dropped, the stations appended, the times and the progress window set, the
    // busy flag set, the start event signalled. Refused (false, nothing changed) while
    // a job runs. User-interface thread.
    bool StartJob(const std::vector<int32_t>& stations, const DateTime& start, const DateTime& end,
                  WindowHandle progressWindow) override EXCLUDES(m_jobLock);
    // Set from the hand-over of a job until the job ended. Any thread.
    bool IsBusy() const override { return m_bBusy.load(); }
    // Units done by the last job, and whether it ran to its end.
    int UnitsDone() const { return m_nUnitsDone.load(); }
    bool LastJobComplete() const { return m_bLastJobComplete.load(); }
    // False from the hand-over of a job until the worker takes it up. Any thread.
    bool JobStarted() const { return m_bJobStarted.load(); }
    // Rows each station's units of the running or last job have read. Any thread.
    std::map<int32_t, long> RowsRead() const EXCLUDES(m_jobLock);
    // The job handed over last (number 0 before any). Any thread.
    struct Order {
        long number = 0;  // jobs handed over since the worker was made
        std::vector<int32_t> stations;
        DateTime start;
        DateTime end;
    };
    Order LastOrder() const EXCLUDES(m_jobLock);

protected:
    // Works through the handed-over job; returns when it is done or stopped.
    void RunJob() EXCLUDES(m_jobLock);
    // One step: one station, from one day step to DaysPerStep() of them.
    virtual void RunUnit(int32_t nRTUID, const DateTime& from, const DateTime& to) = 0;
    // Day steps a RunUnit takes on: 1, or more where several units in one go cost the
    // server less. Each day step still counts and reports as a unit, with its look
    // for a stop request; a stop asked within a step ends the job after it.
    virtual int DaysPerStep() { return 1; }
    // Called once a job starts, before its first unit.
    virtual void OnJobStart() {}
    // Adds to the rows the station's units have read. Worker thread, within RunUnit.
    void NoteRowsRead(int32_t nRTUID, long rows) EXCLUDES(m_jobLock);

    Event m_startEvent{false, false};  // automatic reset

private:
    // True when a stop was asked for: the stop event within the poll time, or 3025
    // (one taken from the queue; messages of other numbers stay).
    bool StopRequested();

    mutable Mutex m_jobLock;
    std::vector<int32_t> m_arStations GUARDED_BY(m_jobLock);
    DateTime m_tStart GUARDED_BY(m_jobLock);
    DateTime m_tEnd GUARDED_BY(m_jobLock);
    WindowHandle m_hProgress GUARDED_BY(m_jobLock) = 0;
    std::map<int32_t, long> m_mapRowsRead GUARDED_BY(m_jobLock);
    Order m_lastOrder GUARDED_BY(m_jobLock);
    std::atomic<bool> m_bJobStarted{false};
    std::atomic<bool> m_bBusy{false};
    std::atomic<int> m_nUnitsDone{0};
    std::atomic<bool> m_bLastJobComplete{false};
};
