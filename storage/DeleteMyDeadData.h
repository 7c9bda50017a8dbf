#pragma once

#include "platform/WorkerThread.h"

class CWPLocalDB;

// The retention thread of one station database: once per day of the month it has
// the station delete its rows older than the configured number of years. Owned and
// stopped by its station object.
class CDeleteMyDeadData : public CWorkerThread {
public:
    static constexpr int kPollIntervalMs = 5000;

    explicit CDeleteMyDeadData(int pollIntervalMs = kPollIntervalMs);
    ~CDeleteMyDeadData() override;

    // Set before the thread starts; not owned.
    CWPLocalDB* m_pOwner = nullptr;

    long PassCount() const { return m_nPasses.load(); }

protected:
    int Run() override;

private:
    const int m_nPollIntervalMs;
    int m_nLastDay = -1;  // this thread only
    std::atomic<long> m_nPasses{0};
};
