#include "storage/DeleteMyDeadData.h"

#include <utility>

#include "platform/Clock.h"

CDeleteMyDeadData::CDeleteMyDeadData(std::function<void()> deletePass, int pollIntervalMs)
    : m_deletePass(std::move(deletePass)), m_nPollIntervalMs(pollIntervalMs) {}

CDeleteMyDeadData::~CDeleteMyDeadData() {
    StopWorker();
}

int CDeleteMyDeadData::Run() {
    for (;;) {
        if (m_stopEvent.Wait(m_nPollIntervalMs)) return 0;
        // Only the day of the month is compared: a pass per calendar day.
        const int day = ProcessClock::Now().GetDay();
        if (day == m_nLastDay) continue;
        m_nLastDay = day;
        if (m_deletePass) m_deletePass();
        ++m_nPasses;
    }
}
