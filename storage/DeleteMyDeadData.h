#pragma once

#include <atomic>
#include <functional>

#include "platform/WorkerThread.h"

// The retention thread of one station database: once per day of the month it runs
// the pass it was given, which deletes the station's rows older than the configured
// number of years. Owned and stopped by its station object.
class CDeleteMyDeadData : public CWorkerThread {
public:
    static constexpr int kPollIntervalMs = 5000;

    // `deletePass` runs on this thread; what it uses outlives the thread.
    explicit CDeleteMyDeadData(std::function<void()> deletePass,
                               int pollIntervalMs = kPollIntervalMs);
    ~CDeleteMyDeadData() override;

    long PassCount() const { return m_nPasses.load(); }

protected:
    int Run() override;

private:
    const std::function<void()> m_deletePass;
    const int m_nPollIntervalMs;
    int m_nLastDay = -1;  // this thread only
    std::atomic<long> m_nPasses{0};
};
