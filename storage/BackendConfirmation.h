#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/DateTime.h"
#include "platform/Mutex.h"
#include "storage/RefillJournal.h"
#include "storage/StationSchema.h"

class CStationMap;

// Per tower, the time up to which every station row is known to be in the backend,
// kept in the tower's station file (table CONFIRMED) so that it outlives the process.
// A record is pending from before its station rows are written (Hold) until the
// backend writer has its rows in the backend or noted in the refill journal
// (Release); the confirmed time never passes a pending record. A start compares the
// station rows after it with the backend's keys (through the refill journal), so a
// kill, a hung statement or a lost batch cannot leave a row missing for good.
class CBackendConfirmation {
public:
    static constexpr int kPersistIntervalMs = 3000;
    static constexpr const char* kTable = StationSchema::kConfirmed;

    explicit CBackendConfirmation(CStationMap& stations);

    // Start: the range of station rows after each tower's confirmed time, for every
    // station file under `workingDir`/WPData. A file without a confirmed time (one of
    // an earlier installation, or whose rows were all stored while backend rows were
    // off) starts confirmed up to its newest row, with one line in the error log: the
    // past goes to the backend only when an operator exports it. Before the workers run.
    std::vector<CRefillRange> Unconfirmed(const std::string& workingDir) EXCLUDES(m_lock);
    // Storage thread, before the record's station rows are written. A record at or
    // before the tower's stored confirmed time lowers it in the station file first, and
    // the first record of a tower without one stores one just before it.
    void Hold(int32_t nRTUID, const DateTime& time) EXCLUDES(m_lock);
    // Storage thread: the record's station rows are not for the backend (backend rows
    // are off), so they count as confirmed.
    void Confirm(int32_t nRTUID, const DateTime& time) EXCLUDES(m_lock);
    // Backend writer: the record's rows are in the backend or in the refill journal. A
    // record that was not held changes nothing.
    void Release(int32_t nRTUID, const DateTime& time) EXCLUDES(m_lock);
    // Backend writer: writes the confirmed times that moved on, at most once per
    // interval (always when `force`).
    void PersistIfDue(bool force = false) EXCLUDES(m_lock);

    // For tests: the stored confirmed time of the tower; invalid when none.
    DateTime Confirmed(int32_t nRTUID) EXCLUDES(m_lock);

private:
    struct Tower {
        std::multiset<double> held;  // OLE dates of the pending records
        DateTime released = DateTime::Invalid();
        DateTime stored = DateTime::Invalid();  // what the station file holds
    };
    // The time the tower may be confirmed up to now; invalid when nothing is known.
    static DateTime Candidate(const Tower& tower);
    bool Store(int32_t nRTUID, const DateTime& through) REQUIRES(m_lock);
    DateTime ReadStored(int32_t nRTUID) REQUIRES(m_lock);

    CStationMap& m_stations;
    // Held across the station-file writes too, so that a lowering by the storage
    // thread and a raise by the writer cannot overtake each other on disk. Taken
    // before the Access lock, never inside it.
    Mutex m_lock;
    std::map<int32_t, Tower> m_towers GUARDED_BY(m_lock);
    double m_lastPersist GUARDED_BY(m_lock) = 0;  // steady seconds
};
