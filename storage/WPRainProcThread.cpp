#include "storage/WPRainProcThread.h"

#include <cstdio>
#include <cstdlib>
#include <optional>

#include "hostlib/TowerTypes.h"
#include "hostlib/VktBase.h"
#include "model/AssignmentMap.h"
#include "platform/Clock.h"
#include "platform/OdbcQuery.h"
#include "storage/BackendDB.h"
#include "storage/MessageWindow.h"
#include "storage/TowerRow.h"
#include "storage/WPSettings.h"

namespace {

constexpr int kSysInfoBackendFlag = 8;

std::string Table(const std::string& prefix) {
    return PrefixedTable(prefix, "FD_RUN_RTTOWER");
}

// A counter that was not read or marks a missing value (-99 or -100) is no counter.
bool ReadCounter(const std::optional<double>& number, float& value) {
    if (!number) return false;
    value = static_cast<float>(*number);
    return value != -99.0f && value != -100.0f;
}

std::string RowsQuery(int towerID, const std::string& prefix, const DateTime& from,
                      const DateTime& to) {
    return "SELECT TOWERID,TIME,RAIN,CYCLE FROM " + Table(prefix) +
           " WHERE TOWERID=" + std::to_string(towerID) + " AND TIME>=" + TimeLiteral(from) +
           " AND TIME<=" + TimeLiteral(to) + " ORDER BY TIME ASC";
}

std::string UpdateText(int towerID, const std::string& prefix, const DateTime& time, float rain) {
    char value[64];
    std::snprintf(value, sizeof value, "%g", static_cast<double>(rain));
    return "UPDATE " + Table(prefix) + " SET RAIN=" + value +
           " WHERE TOWERID=" + std::to_string(towerID) + " AND TIME=" + TimeLiteral(time);
}

// Appends the row read (TOWERID, TIME, RAIN, CYCLE); false for a TIME that does not read.
bool ReadRainRow(const OdbcRow& read, std::vector<CRainRow>& rows) {
    CRainRow row;
    row.m_tTime = ParseDBTime(read.Text(2));
    row.m_fRain = static_cast<float>(read.Number(3).value_or(0.0));
    row.m_bCycleValid = ReadCounter(read.Number(4), row.m_fCycle);
    if (!row.m_tTime.IsValid()) return false;
    rows.push_back(row);
    return true;
}

}  // namespace

CWPRainProcThread::CWPRainProcThread(const CBackendTarget& backend, int initialSleepMs, int waitMs)
    : m_target(backend), m_nInitialSleepMs(initialSleepMs), m_nWaitMs(waitMs) {}

CWPRainProcThread::~CWPRainProcThread() {
    StopWorker();
}

int CWPRainProcThread::Run() {
    if (m_stopEvent.Wait(m_nInitialSleepMs)) return 0;
    for (;;) {
        switch (Event::WaitAny({&m_stopEvent, &m_startEvent}, m_nWaitMs)) {
            case 0:
                return 0;
            case 1:
                RunJob();
                break;
            default:
                PeriodicCheck(ProcessClock::Now());
                break;
        }
    }
}

void CWPRainProcThread::PeriodicCheck(const DateTime& now) {
    if (now.GetHour() == m_nLastPeriodicHour || now.GetMinute() < kPeriodicMinute) return;
    // Set first: a failure below is not retried within the hour.
    m_nLastPeriodicHour = now.GetHour();
    const std::unique_ptr<CSysInfo> info = CSysInfoRT::GetSysInfoRT();
    if (!info) return;
    if ((info->m_nOptions & kSysInfoBackendFlag) && m_target.m_settings.Get()->m_bSaveBkgDB) {
        ReCalAllRain();
    }
}

void CWPRainProcThread::ReCalAllRain() {
    const DateTime now = ProcessClock::Now();
    const DateTime end(now.GetYear(), now.GetMonth(), now.GetDay(), now.GetHour(), 0, 0);
    const DateTime start = end - DateTimeSpan(2, 0, 0, 0);
    CObList<CRTUDef> list;
    CRTUDefRT::OutRTRTU(list);
    std::vector<int> towers;
    for (const auto& def : list) {
        if (def->m_nType == kTowerType)
            towers.push_back(m_target.m_assignments.TowerIDOf(def->m_nRTUID));
    }
    DestroyObA(list);
    if (!RecalculateInBatches(towers, start, end)) {
        for (int towerID : towers) Recalculate(towerID, start, end, "WP Error SQL: ");
    }
    ++m_nPeriodicRuns;
}

bool CWPRainProcThread::RecalculateInBatches(const std::vector<int>& towers, const DateTime& from,
                                             const DateTime& to) {
    const std::string prefix = m_target.m_settings.Get()->m_strPreName;
    CBackendDB& backend = m_target.m_backend;
    if (towers.size() < 2 || !backend.CheckPrefix(prefix) || !backend.TakesStatementBatches()) {
        return false;
    }
    std::vector<std::string> queries;
    for (int towerID : towers) queries.push_back(RowsQuery(towerID, prefix, from, to));
    std::vector<std::vector<CRainRow>> rows(towers.size());
    long unreadable = 0;
    // A query the server refuses: each tower on its own finds it and reports it.
    if (backend.ReadQueries(queries, [&](size_t i, const OdbcRow& read) {
            if (!ReadRainRow(read, rows[i])) ++unreadable;
        }) != BackendOutcome::Done) {
        return false;
    }
    if (unreadable > 0) {
        WriteErrorInfo("Rainfall recalculation: " + std::to_string(unreadable) +
                       " rows with an unreadable TIME skipped");
    }
    std::vector<std::string> updates;
    for (size_t i = 0; i < towers.size(); ++i) {
        for (const auto& [time, rain] : CalcPeriodRain(rows[i])) {
            updates.push_back(UpdateText(towers[i], prefix, time, rain));
        }
    }
    RunBackendUnit(backend, updates, [&](size_t i) { return backend.ExecBackendRow(updates[i]); });
    return true;
}

void CWPRainProcThread::RunUnit(int32_t nRTUID, const DateTime& from, const DateTime& to) {
    const CRainCounts counts = ReCalRain(nRTUID, from, to);
    NoteRowsRead(nRTUID, counts.nRows);
    m_nFailed += counts.nFailed;
}

CWPRainProcThread::CRainCounts CWPRainProcThread::ReCalRain(int32_t nRTUID, const DateTime& from,
                                                            const DateTime& to) {
    return Recalculate(m_target.m_assignments.TowerIDOf(nRTUID), from, to,
                       "WP Error SQL for ReCalRain: ");
}

CWPRainProcThread::CRainCounts CWPRainProcThread::Recalculate(int towerID, const DateTime& from,
                                                              const DateTime& to,
                                                              const char* errorPrefix) {
    CRainCounts counts;
    const std::string prefix = m_target.m_settings.Get()->m_strPreName;
    std::vector<CRainRow> rows;
    if (!m_target.m_backend.CheckPrefix(prefix) ||
        !ReadRows(towerID, prefix, from, to, errorPrefix, rows)) {
        counts.nFailed = 1;
        return counts;
    }
    counts.nRows = static_cast<long>(rows.size());
    for (const auto& [time, rain] : CalcPeriodRain(rows)) {
        if (!UpdateRain(towerID, prefix, time, rain)) ++counts.nFailed;
    }
    return counts;
}

bool CWPRainProcThread::ReadRows(int towerID, const std::string& prefix, const DateTime& from,
                                 const DateTime& to, const char* errorPrefix,
                                 std::vector<CRainRow>& rows) {
    const std::string sql = RowsQuery(towerID, prefix, from, to);
    CBackendDB& backend = m_target.m_backend;
    long unreadable = 0;
    {
        RecursiveMutexLock guard(backend.BackendLock());
        OdbcStatement stmt = backend.GetBackendStmt();
        if (!stmt) return false;
        const SQLRETURN rc = Odbc::ExecOn(stmt.Get(), sql);
        if (rc < 0) {
            const std::string message = errorPrefix + Odbc::LogText(sql);
            WriteErrorInfo(message);
            ReportToMessageWindow(message);
            stmt.Reset();
            backend.DisconnectBackend();
            return false;
        }
        if (rc != SQL_SUCCESS) return false;
        Odbc::ForEachRow(stmt.Get(), [&](const OdbcRow& read) {
            if (!ReadRainRow(read, rows)) ++unreadable;
        });
    }
    if (unreadable > 0) {
        WriteErrorInfo("Rainfall recalculation of tower " + std::to_string(towerID) + ": " +
                       std::to_string(unreadable) + " rows with an unreadable TIME skipped");
    }
    return true;
}

std::vector<std::pair<DateTime, float>> CWPRainProcThread::CalcPeriodRain(
    const std::vector<CRainRow>& rows) {
    std::vector<std::pair<DateTime, float>> updates;
    if (rows.size() < 2) return updates;
    bool haveBase = false;
    float base = 0.0f;
    for (const CRainRow& row : rows) {
        if (!IsFullHour(row.m_tTime)) continue;
        if (!row.m_bCycleValid) {
            haveBase = false;  // a missing counter is no base for the next hour
            continue;
        }
        if (haveBase) {
            float difference = row.m_fCycle - base;
            // A gauge reset is no negative rainfall; the live writer stores 0 as well.
            if (!(difference >= 0.0f)) difference = 0.0f;
            if (difference != row.m_fRain) updates.emplace_back(row.m_tTime, difference);
        }
        base = row.m_fCycle;
        haveBase = true;
    }
    return updates;
}

bool CWPRainProcThread::UpdateRain(int towerID, const std::string& prefix, const DateTime& time,
                                   float rain) {
    return m_target.m_backend.ExecBackendRow(UpdateText(towerID, prefix, time, rain)) ==
           BackendOutcome::Done;
}
