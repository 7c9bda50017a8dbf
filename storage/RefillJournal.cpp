#include "storage/RefillJournal.h"

#include <algorithm>

#include "platform/OdbcHandles.h"
#include "storage/BackendDB.h"
#include "storage/StationMap.h"
#include "storage/TowerRow.h"

namespace {

std::vector<CRefillRange> ReadRanges(CWPLocalDB& station) {
    std::vector<CRefillRange> ranges;
    const std::string query = std::string("SELECT FROMTIME, TOTIME FROM ") +
                              CRefillJournal::kTable + " ORDER BY FROMTIME";
    for (const auto& row : station.QueryTexts(query, 2)) {  // none without the table
        CRefillRange range{station.m_nRTUID, ParseDBTime(row[0]), ParseDBTime(row[1])};
        if (range.m_tFrom.IsValid() && range.m_tTo.IsValid() && range.m_tFrom < range.m_tTo) {
            ranges.push_back(range);
        }
    }
    return ranges;
}

}  // namespace

CRefillJournal::CRefillJournal(CStationMap& stations)
    : m_stations(stations), m_quarantine(stations) {}

void CRefillJournal::Load(const std::string& workingDir) {
    for (int32_t rtu : CStationMap::RtusOnDisk(workingDir)) {
        Ranges ranges = ReadRanges(m_stations.FindOrAdd(rtu));
        if (ranges.empty()) continue;
        MutexLock guard(m_lock);
        m_ranges[rtu] = std::move(ranges);
    }
}

bool CRefillJournal::NoteMissed(int32_t nRTUID, const DateTime& time) {
    Ranges ranges;
    uint64_t version = 0;
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
        version = ++m_versions[nRTUID];
    }
    return PersistLatest(nRTUID, std::move(ranges), version);
}

bool CRefillJournal::NoteRange(const CRefillRange& added) {
    Ranges ranges;
    uint64_t version = 0;
    {
        MutexLock guard(m_lock);
        Ranges& tower = m_ranges[added.m_nRTUID];
        CRefillRange merged = added;
        Ranges kept;
        // Overlapping or touching ranges become one.
        for (const CRefillRange& range : tower) {
            if (range.m_tTo < merged.m_tFrom || merged.m_tTo < range.m_tFrom) {
                kept.push_back(range);
                continue;
            }
            merged.m_tFrom = std::min(merged.m_tFrom, range.m_tFrom);
            merged.m_tTo = std::max(merged.m_tTo, range.m_tTo);
        }
        kept.push_back(merged);
        std::sort(kept.begin(), kept.end(), [](const CRefillRange& a, const CRefillRange& b) {
            return a.m_tFrom < b.m_tFrom;
        });
        tower = kept;
        ranges = std::move(kept);
        version = ++m_versions[added.m_nRTUID];
    }
    return PersistLatest(added.m_nRTUID, std::move(ranges), version);
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

std::vector<CRefillRange> CRefillJournal::NextOfEachTower(size_t most) const {
    std::vector<CRefillRange> oldest;
    {
        MutexLock guard(m_lock);
        for (const auto& [rtu, tower] : m_ranges) {
            const auto first = std::min_element(
                tower.begin(), tower.end(),
                [](const CRefillRange& a, const CRefillRange& b) { return a.m_tFrom < b.m_tFrom; });
            if (first != tower.end()) oldest.push_back(*first);
        }
    }
    std::sort(oldest.begin(), oldest.end(),
              [](const CRefillRange& a, const CRefillRange& b) { return a.m_tFrom < b.m_tFrom; });
    if (oldest.size() > most) oldest.resize(most);
    return oldest;
}

void CRefillJournal::Advance(int32_t nRTUID, const DateTime& through) {
    Ranges ranges;
    uint64_t version = 0;
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
        version = ++m_versions[nRTUID];
    }
    PersistLatest(nRTUID, std::move(ranges), version);
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

bool CRefillJournal::PersistLatest(int32_t nRTUID, Ranges ranges, uint64_t version) {
    for (;;) {
        const bool written = Persist(nRTUID, ranges);
        MutexLock guard(m_lock);
        const uint64_t current = m_versions[nRTUID];
        if (current == version) return written;
        version = current;
        const auto tower = m_ranges.find(nRTUID);
        ranges = tower == m_ranges.end() ? Ranges{} : tower->second;
    }
}

bool CRefillJournal::Persist(int32_t nRTUID, const Ranges& ranges) {
    CWPLocalDB& station = m_stations.FindOrAdd(nRTUID);
    // The table is made with the file, or when an older file is opened.
    std::vector<std::string> texts{std::string("DELETE FROM ") + kTable};
    for (const CRefillRange& range : ranges) {
        texts.push_back(std::string("INSERT INTO ") + kTable + " VALUES(" +
                        TimeLiteral(range.m_tFrom) + "," + TimeLiteral(range.m_tTo) + ")");
    }
    // One transaction: a crash leaves the old ranges or the new ones, never none.
    return station.ExecLocalTransaction(texts);
}
