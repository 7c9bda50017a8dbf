#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/DateTime.h"
#include "platform/Mutex.h"
#include "storage/Quarantine.h"
#include "storage/StationSchema.h"

class CStationMap;

// A stretch of a tower's records that the backend may lack: the records with
// from < TIME ≤ to.
struct CRefillRange {
    int32_t m_nRTUID = 0;
    DateTime m_tFrom;
    DateTime m_tTo;
};

// The time ranges of every tower whose backend rows failed or were dropped, kept in
// each tower's station file (table REFILL) so that they outlive a restart. A missed
// record widens its tower's last range when it falls within a day of it; otherwise
// it opens a new one. Any thread.
class CRefillJournal {
public:
    static constexpr double kMergeDays = 1.0;
    static constexpr const char* kTable = StationSchema::kRefill;

    explicit CRefillJournal(CStationMap& stations);

    // Reads the ranges of every station file under `workingDir`/WPData.
    void Load(const std::string& workingDir) EXCLUDES(m_lock);
    // Notes a record whose backend rows are missing; false when its station file could
    // not take the note (the record is then lost to the backend).
    bool NoteMissed(int32_t nRTUID, const DateTime& time) EXCLUDES(m_lock);
    // Adds a range of records the backend may lack (joined with any it overlaps);
    // false when the station file could not take it.
    bool NoteRange(const CRefillRange& range) EXCLUDES(m_lock);
    // The oldest pending range of any tower, or false when none is pending.
    bool Next(CRefillRange& range) EXCLUDES(m_lock);
    // The oldest pending range of each tower, oldest first, at most `most` of them.
    std::vector<CRefillRange> NextOfEachTower(size_t most) const EXCLUDES(m_lock);
    // The range's records up to `through` are in the backend now.
    void Advance(int32_t nRTUID, const DateTime& through) EXCLUDES(m_lock);

    size_t PendingCount() const EXCLUDES(m_lock);
    // The rows the backend refused: kept beside the ranges, in the same station files,
    // and handed back to them at each start.
    CQuarantine& Quarantine() { return m_quarantine; }
    const CQuarantine& Quarantine() const { return m_quarantine; }
    std::vector<CRefillRange> Pending() const EXCLUDES(m_lock);

private:
    using Ranges = std::vector<CRefillRange>;
    // Rewrites the tower's table from `ranges`.
    bool Persist(int32_t nRTUID, const Ranges& ranges);
    // Persists `ranges`, the tower's ranges at `version`, then again what is current for
    // as long as another thread changed them meanwhile: the writes run outside the lock,
    // so another thread's newer write may land first, and the file must end with the
    // newest ranges.
    bool PersistLatest(int32_t nRTUID, Ranges ranges, uint64_t version) EXCLUDES(m_lock);

    CStationMap& m_stations;
    mutable Mutex m_lock;
    std::map<int32_t, Ranges> m_ranges GUARDED_BY(m_lock);
    std::map<int32_t, uint64_t> m_versions GUARDED_BY(m_lock);  // changes per tower
    CQuarantine m_quarantine;
};
