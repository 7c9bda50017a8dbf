#include "storage/BackendConfirmation.h"

#include "hostlib/VktBase.h"
#include "platform/Clock.h"
#include "storage/BackendDB.h"
#include "storage/StationMap.h"
#include "storage/TowerRow.h"

namespace {

const DateTimeSpan kOneSecond(0, 0, 0, 1);

}  // namespace

CBackendConfirmation::CBackendConfirmation(CStationMap& stations) : m_stations(stations) {}

DateTime CBackendConfirmation::ReadStored(int32_t nRTUID) {
    const auto rows =
        m_stations.FindOrAdd(nRTUID).QueryTexts(std::string("SELECT UPTO FROM ") + kTable, 1);
    return rows.empty() ? DateTime::Invalid() : ParseDBTime(rows.front()[0]);
}

std::vector<CRefillRange> CBackendConfirmation::Unconfirmed(const std::string& workingDir) {
    std::vector<CRefillRange> ranges;
    MutexLock guard(m_lock);
    for (int32_t rtu : CStationMap::RtusOnDisk(workingDir)) {
        const DateTime confirmed = ReadStored(rtu);  // invalid in a file without one
        m_towers[rtu].stored = confirmed;
        const std::string after =
            confirmed.IsValid() ? " WHERE TIME > " + TimeLiteral(confirmed) : std::string();
        CWPLocalDB& station = m_stations.FindOrAdd(rtu);
        const auto rows = station.QueryTexts("SELECT MIN(TIME), MAX(TIME) FROM RTTOWER" + after, 2);
        if (rows.empty()) continue;
        const DateTime first = ParseDBTime(rows.front()[0]);
        const DateTime last = ParseDBTime(rows.front()[1]);
        if (!first.IsValid() || !last.IsValid()) continue;  // nothing after it
        if (!confirmed.IsValid()) {
            // Rows this system's backend writing never had in hand.
            if (Store(rtu, last)) {
                WriteErrorInfo("Station file " + station.FilePath() +
                               " had no backend confirmation: its rows up to " + last.Format() +
                               " are not copied into the backend (export them to copy them)");
            }
            continue;
        }
        ranges.push_back({rtu, first - kOneSecond, last});
    }
    return ranges;
}

void CBackendConfirmation::Hold(int32_t nRTUID, const DateTime& time) {
    MutexLock guard(m_lock);
    Tower& tower = m_towers[nRTUID];
    tower.held.insert(time.GetOleDate());
    // A late record: the file must not claim it confirmed once its row is written. A
    // tower's first: a start must find its row unconfirmed, not without a time.
    if (!tower.stored.IsValid() || time <= tower.stored) Store(nRTUID, time - kOneSecond);
}

void CBackendConfirmation::Confirm(int32_t nRTUID, const DateTime& time) {
    MutexLock guard(m_lock);
    Tower& tower = m_towers[nRTUID];
    if (!tower.released.IsValid() || tower.released < time) tower.released = time;
}

void CBackendConfirmation::Release(int32_t nRTUID, const DateTime& time) {
    MutexLock guard(m_lock);
    // Only a held record moves the time: one written while station data is off has no
    // station row to confirm, and its tower may have no station file at all.
    const auto found = m_towers.find(nRTUID);
    if (found == m_towers.end()) return;
    Tower& tower = found->second;
    const auto held = tower.held.find(time.GetOleDate());
    if (held == tower.held.end()) return;
    tower.held.erase(held);
    if (!tower.released.IsValid() || tower.released < time) tower.released = time;
}

DateTime CBackendConfirmation::Candidate(const Tower& tower) {
    if (!tower.held.empty()) return DateTime(*tower.held.begin()) - kOneSecond;
    return tower.released;
}

void CBackendConfirmation::PersistIfDue(bool force) {
    MutexLock guard(m_lock);
    const double now = SteadySeconds();
    if (!force && now - m_lastPersist < kPersistIntervalMs / 1000.0) return;
    m_lastPersist = now;
    for (auto& [rtu, tower] : m_towers) {
        const DateTime candidate = Candidate(tower);
        if (!candidate.IsValid()) continue;
        // Only forward here: a late record lowers the stored time in Hold.
        if (tower.stored.IsValid() && candidate <= tower.stored) continue;
        Store(rtu, candidate);
    }
}

bool CBackendConfirmation::Store(int32_t nRTUID, const DateTime& through) {
    CWPLocalDB& station = m_stations.FindOrAdd(nRTUID);
    // The table is made with the file, or when an older file is opened.
    const bool stored = station.ExecLocalTransaction(
        {std::string("DELETE FROM ") + kTable,
         std::string("INSERT INTO ") + kTable + " VALUES(" + TimeLiteral(through) + ")"});
    if (stored) m_towers[nRTUID].stored = through;
    return stored;
}

DateTime CBackendConfirmation::Confirmed(int32_t nRTUID) {
    MutexLock guard(m_lock);
    return ReadStored(nRTUID);
}
