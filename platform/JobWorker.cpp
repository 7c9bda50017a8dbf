#include "platform/JobWorker.h"

int CJobWorker::UnitCount(size_t stations, const DateTime& start, const DateTime& end) {
    const DateTimeSpan oneDay(1, 0, 0, 0);
    int steps = 0;
    for (DateTime t = start; t < end; t += oneDay) ++steps;
    return static_cast<int>(stations) * steps;
}
