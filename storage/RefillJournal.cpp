#include "storage/RefillJournal.h"

#include <filesystem>

#include "platform/OdbcHandles.h"
#include "storage/BackendDB.h"
#include "storage/StationMap.h"
#include "storage/TowerRow.h"

namespace {

// The station file's RTU from its name WP_<n>.MDB; 0 for any other file.
int32_t RtuOfStationFile(const std::string& name) {
    constexpr const char* kHead = "WP_";
    constexpr const char* kTail = ".MDB";
    if (name.rfind(kHead, 0) != 0 || name.size() <= 7 ||
        name.compare(name.size() - 4, 4, kTail) != 0) {
        return 0;
    }
    const std::string digits = name.substr(3, name.size() - 7);
    if (digits.find_first_not_of("0123456789") != std::string::npos || digits.size() > 9) return 0;
    return static_cast<int32_t>(std::stol(digits));
}

std::string CreateTableText() {
    return std::string("CREATE TABLE IF NOT EXISTS ") + CRefillJournal::kTable +
           " (FROMTIME DATETIME, TOTIME DATETIME)";
}

std::vector<CRefillRange> ReadRanges(CWPLocalDB& station) {
    std::vector<CRefillRange> ranges;
    AccessGuard guard;
    if (!station.LocalDBExists()) return ranges;
    OdbcStatement stmt = station.GetLocalStmt();
    if (!stmt) return ranges;
    const std::string query = std::string("SELECT FROMTIME, TOTIME FROM ") +
                              CRefillJournal::kTable + " ORDER BY FROMTIME";
    if (!Odbc::Succeeded(Odbc::ExecOn(stmt.Get(), query))) return ranges;  // no table yet
    while (Odbc::Succeeded(SQLFetch(stmt.Get()))) {
        CRefillRange range{station.m_nRTUID, ParseDBTime(Odbc::GetText(stmt.Get(), 1)),
                           ParseDBTime(Odbc::GetText(stmt.Get(), 2))};
        if (range.m_tFrom.IsValid() && range.m_tTo.IsValid() && range.m_tFrom < range.m_tTo) {
            ranges.push_back(range);
        }
    }
    return ranges;
}

}  // namespace

CRefillJournal::CRefillJournal(CStationMap& stations) : m_stations(stations) {}

void CRefillJournal::Load(const std::string& workingDir) {
    std::error_code ec;
    std::vector<int32_t> rtus;
    for (const auto& entry : std::filesystem::directory_iterator(workingDir + "/WPData", ec)) {
        const int32_t rtu = RtuOfStationFile(entry.path().filename().string());
        if (rtu > 0) rtus.push_back(rtu);
    }
    for (int32_t rtu : rtus) {
        Ranges ranges = ReadRanges(m_stations.FindOrAdd(rtu));
        if (ranges.empty()) continue;
        MutexLock guard(m_lock);
        m_ranges[rtu] = std::move(ranges);
    }
}

bool CRefillJournal::NoteMissed(int32_t nRTUID, const DateTime& time) {
    Ranges ranges;
    {
        MutexLock guard(m_lock);
        Ranges& tower = m_ranges[nRTUID];
        for (const CRefillRange& range : tower) {
            if (range.m_tFrom < time && time <= range.m_tTo) return true;  // noted already
        }
        const DateTime from = time - DateTimeSpan(0, 0, 0, 1);
        if (!tower.empty() && (time - tower.back().m_tTo).GetTotalDays() <= kMergeDays &&
            time > tower.back().m_tTo) {
            tower.back().m_tTo = time;
        } else if (!tower.empty() && time <= tower.back().m_tFrom &&
                   (tower.back().m_tFrom - time).GetTotalDays() <= kMergeDays) {
            tower.back().m_tFrom = from;  // a late record just before the range
        } else {
            tower.push_back({nRTUID, from, time});
        }
        ranges = tower;
    }
    return Persist(nRTUID, ranges);
}

bool CRefillJournal::Next(CRefillRange& range) {
    MutexLock guard(m_lock);
    bool found = false;
    for (const auto& [rtu, tower] : m_ranges) {
        for (const CRefillRange& candidate : tower) {
            if (!found || candidate.m_tFrom < range.m_tFrom) {
                range = candidate;
                found = true;
            }
        }
    }
    return found;
}

void CRefillJournal::Advance(int32_t nRTUID, const DateTime& through) {
    Ranges ranges;
    {
        MutexLock guard(m_lock);
        Ranges& tower = m_ranges[nRTUID];
        Ranges kept;
        for (CRefillRange range : tower) {
            if (range.m_tTo <= through) continue;  // done
            if (range.m_tFrom < through) range.m_tFrom = through;
            kept.push_back(range);
        }
        tower = kept;
        ranges = std::move(kept);
        if (tower.empty()) m_ranges.erase(nRTUID);
    }
    Persist(nRTUID, ranges);
}

size_t CRefillJournal::PendingCount() const {
    MutexLock guard(m_lock);
    size_t count = 0;
    for (const auto& [rtu, tower] : m_ranges) count += tower.size();
    return count;
}

std::vector<CRefillRange> CRefillJournal::Pending() const {
    MutexLock guard(m_lock);
    std::vector<CRefillRange> all;
    for (const auto& [rtu, tower] : m_ranges) all.insert(all.end(), tower.begin(), tower.end());
    return all;
}

bool CRefillJournal::Persist(int32_t nRTUID, const Ranges& ranges) {
    CWPLocalDB& station = m_stations.FindOrAdd(nRTUID);
    if (!station.ExecLocalSQL(CreateTableText())) return false;
    std::vector<std::string> texts{std::string("DELETE FROM ") + kTable};
    for (const CRefillRange& range : ranges) {
        texts.push_back(std::string("INSERT INTO ") + kTable + " VALUES(" +
                        TimeLiteral(range.m_tFrom) + "," + TimeLiteral(range.m_tTo) + ")");
    }
    // One transaction: a crash leaves the old ranges or the new ones, never none.
    AccessGuard guard;
    OdbcStatement stmt = station.GetLocalStmt();
    if (!stmt) return false;
    SQLHDBC connection = station.Connection();
    SQLSetConnectAttr(connection, SQL_ATTR_AUTOCOMMIT,
                      reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0);
    bool saved = true;
    for (const std::string& text : texts) {
        saved = saved && Odbc::ExecOn(stmt.Get(), text) >= 0;  // a delete of nothing is no error
        SQLFreeStmt(stmt.Get(), SQL_CLOSE);
    }
    SQLEndTran(SQL_HANDLE_DBC, connection, saved ? SQL_COMMIT : SQL_ROLLBACK);
    SQLSetConnectAttr(connection, SQL_ATTR_AUTOCOMMIT,
                      reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON), 0);
    return saved;
}
