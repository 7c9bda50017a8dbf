#include "storage/DeleteMyDeadData.h"

#include "platform/Clock.h"
#include "storage/WPLocalDB.h"

CDeleteMyDeadData::CDeleteMyDeadData(int pollIntervalMs) : m_nPollIntervalMs(pollIntervalMs) {}

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
        if (m_pOwner) m_pOwner->DeleteDeadData();
        ++m_nPasses;
    }
}
