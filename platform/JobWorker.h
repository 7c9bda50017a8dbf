#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/Api.h"
#include "platform/DateTime.h"
#include "platform/MessageLayer.h"
#include "platform/WorkerThread.h"

// A worker thread that takes operator jobs: stations and a time range, worked through
// in units of one station and one day step, reporting to a progress window (3024 after
// every unit, 3026 at the end) and stopped by thread message 3025. What a dialog needs
// to hand a job over, apart from the work the job does.
class VKTBASE_API CJobWorker : public CWorkerThread {
public:
    // Hands a job over: refused (false, nothing changed) while a job runs.
    // User-interface thread.
    virtual bool StartJob(const std::vector<int32_t>& stations, const DateTime& start,
                          const DateTime& end, WindowHandle progressWindow) = 0;
    // Set from the hand-over of a job until the job ended. Any thread.
    virtual bool IsBusy() const = 0;
    // Units of a job: stations × day steps of the range (a remaining part of a day is a
    // step of its own).
    static int UnitCount(size_t stations, const DateTime& start, const DateTime& end);
};
