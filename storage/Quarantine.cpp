#include "storage/Quarantine.h"

#include <cstdlib>
#include <set>

#include "platform/Clock.h"
#include "storage/RefillJournal.h"
#include "storage/StationMap.h"
#include "storage/TowerRow.h"
#include "storage/WPLocalDB.h"

namespace {

const DateTimeSpan kOneSecond(0, 0, 0, 1);

std::vector<CRefusedRow> ReadRows(CWPLocalDB& station) {
    std::vector<CRefusedRow> rows;
    const std::string query = std::string("SELECT TIME, HOURLY, REASON FROM ") +
                              CQuarantine::kTable + " ORDER BY TIME, HOURLY";
    for (const auto& row : station.QueryTexts(query, 3)) {  // none without the table
        const DateTime time = ParseDBTime(row[0]);
        if (time.IsValid()) rows.push_back({time, std::atoi(row[1].c_str()) != 0, row[2]});
    }
    return rows;
}

long CountRows(CWPLocalDB& station) {
    const auto rows =
        station.QueryTexts(std::string("SELECT COUNT(*) FROM ") + CQuarantine::kTable, 1);
    return rows.empty() ? 0 : std::atol(rows.front()[0].c_str());
}

}  // namespace

CQuarantine::CQuarantine(CStationMap& stations) : m_stations(stations) {}

std::string CQuarantine::ReasonText(const std::string& diagnostic) {
    std::string text;
    for (const char c : diagnostic) {
        if (text.size() >= kReasonLength) break;
        const bool blank = c == '\n' || c == '\r' || c == '\t' || c == ' ';
        if (blank) {
            if (!text.empty() && text.back() != ' ') text += ' ';
            continue;
        }
        // Outside printable ASCII (a multi-byte character cut in two among them), and
        // anything that could end or escape an SQL literal.
        const bool safe = c > ' ' && c <= '~' && c != '\'' && c != '\\';
        text += safe ? c : '?';
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

void CQuarantine::Load(const std::string& workingDir) {
    for (int32_t rtu : CStationMap::RtusOnDisk(workingDir)) {
        const long count = CountRows(m_stations.FindOrAdd(rtu));
        if (count == 0) continue;
        MutexLock guard(m_lock);
        m_counts[rtu] = count;
    }
}

long CQuarantine::HandBack(CRefillJournal& journal) {
    std::vector<int32_t> towers;
    {
        MutexLock guard(m_lock);
        for (const auto& [rtu, count] : m_counts) towers.push_back(rtu);
    }
    long handedBack = 0;
    for (int32_t rtu : towers) {
        CWPLocalDB& station = m_stations.FindOrAdd(rtu);
        const std::vector<CRefusedRow> rows = ReadRows(station);
        std::set<double> times;
        for (const CRefusedRow& row : rows) times.insert(row.time.GetOleDate());
        bool noted = true;
        for (double time : times) {
            noted = noted && journal.NoteRange({rtu, DateTime(time) - kOneSecond, DateTime(time)});
        }
        // Cleared only once the journal holds them: a crash between the two retries the
        // rows twice, never loses them.
        if (!noted || !station.ExecLocalSQL(std::string("DELETE FROM ") + kTable)) continue;
        handedBack += static_cast<long>(rows.size());
        MutexLock guard(m_lock);
        m_counts.erase(rtu);
    }
    m_nHandedBack += handedBack;
    return handedBack;
}

bool CQuarantine::Keep(int32_t nRTUID, const std::vector<CRefusedRow>& rows) {
    if (rows.empty()) return true;
    CWPLocalDB& station = m_stations.FindOrAdd(nRTUID);
    // The table is made with the file, or when an older file is opened.
    const std::string noted = TimeLiteral(ProcessClock::Now());
    std::vector<std::string> texts;
    for (const CRefusedRow& row : rows) {
        // Our own values only: a time, a flag, and the reason in a safe character set.
        const std::string time = TimeLiteral(row.time);
        const std::string hourly = row.hourly ? "1" : "0";
        texts.push_back(std::string("DELETE FROM ") + kTable + " WHERE TIME=" + time +
                        " AND HOURLY=" + hourly);
        texts.push_back(std::string("INSERT INTO ") + kTable + " VALUES(" + time + "," + hourly +
                        ",'" + ReasonText(row.reason) + "'," + noted + ")");
    }
    if (!station.ExecLocalTransaction(texts)) return false;
    const long count = CountRows(station);
    MutexLock guard(m_lock);
    m_counts[nRTUID] = count;
    return true;
}

long CQuarantine::Count() const {
    MutexLock guard(m_lock);
    long count = 0;
    for (const auto& [rtu, tower] : m_counts) count += tower;
    return count;
}

std::vector<CRefusedRow> CQuarantine::Rows(int32_t nRTUID) {
    return ReadRows(m_stations.FindOrAdd(nRTUID));
}
