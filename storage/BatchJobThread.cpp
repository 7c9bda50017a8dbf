#include "storage/BatchJobThread.h"

#include <algorithm>

#include "platform/ProgressModel.h"

namespace {

const DateTimeSpan kOneDay(1, 0, 0, 0);

}  // namespace

bool CBatchJobThread::StartJob(const std::vector<int32_t>& stations, const DateTime& start,
                               const DateTime& end, WindowHandle progressWindow) {
    if (m_bBusy.exchange(true)) return false;
    m_bJobStarted = false;
    // A stop request that came after the last job's last look was meant for that job.
    Message leftOver;
    while (PeekMessage(leftOver, kMsgJobStop)) {
    }
    {
        MutexLock guard(m_jobLock);
        m_arStations.insert(m_arStations.end(), stations.begin(), stations.end());
        m_tStart = start;
        m_tEnd = end;
        m_hProgress = progressWindow;
        m_lastOrder = {m_lastOrder.number + 1, stations, start, end};
    }
    m_startEvent.Set();
    return true;
}

std::map<int32_t, long> CBatchJobThread::RowsRead() const {
    MutexLock guard(m_jobLock);
    return m_mapRowsRead;
}

CBatchJobThread::Order CBatchJobThread::LastOrder() const {
    MutexLock guard(m_jobLock);
    return m_lastOrder;
}

void CBatchJobThread::NoteRowsRead(int32_t nRTUID, long rows) {
    MutexLock guard(m_jobLock);
    m_mapRowsRead[nRTUID] += rows;
}

bool CBatchJobThread::StopRequested() {
    if (m_stopEvent.Wait(kStopPollMs)) return true;
    Message message;
    return PeekMessage(message, kMsgJobStop);  // other messages stay queued
}

void CBatchJobThread::RunJob() {
    std::vector<int32_t> stations;
    DateTime start, end;
    WindowHandle progress = 0;
    {
        MutexLock guard(m_jobLock);
        stations = m_arStations;
        start = m_tStart;
        end = m_tEnd;
        progress = m_hProgress;
        m_mapRowsRead.clear();
    }
    m_nUnitsDone = 0;
    m_bJobStarted = true;
    OnJobStart();
    int units = 0;
    bool complete = true;
    for (size_t i = 0; i < stations.size() && complete; ++i) {
        for (DateTime t = start; t < end && complete;) {
            const int most = std::max(1, DaysPerStep());
            DateTime stepEnd = t;
            int days = 0;
            while (stepEnd < end && days < most) {
                stepEnd = stepEnd + kOneDay < end ? stepEnd + kOneDay : end;
                ++days;
            }
            RunUnit(stations[i], t, stepEnd);
            for (int day = 0; day < days; ++day) {
                MessageLayer::PostMessage(progress, kMsgJobProgress, ++units, 0);
                m_nUnitsDone = units;
                if (complete && StopRequested()) complete = false;
            }
            t = stepEnd;
        }
    }
    m_bLastJobComplete = complete;
    MessageLayer::PostMessage(progress, kMsgJobOver, 0, 0);
    {
        MutexLock guard(m_jobLock);
        m_arStations.clear();
    }
    m_bBusy = false;
}
