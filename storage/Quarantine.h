#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/DateTime.h"
#include "platform/Mutex.h"
#include "storage/StationSchema.h"

class CStationMap;
class CRefillJournal;

// A backend row the backend answered and refused (a constraint, a type, a permission):
// the station row's time, its table, and the driver's diagnostic.
struct CRefusedRow {
    DateTime time;
    bool hourly = false;  // FD_RUN_TOWERHIS; otherwise FD_RUN_RTTOWER
    std::string reason;
};

// The rows the backend refused, kept per tower in its station file (table QUARANTINE)
// instead of being given up: each start hands them back to the refill journal, which
// copies them again from the station rows, and a row still refused comes back here.
// Any thread; the station-file writes run outside the lock, which is a leaf lock.
class CQuarantine {
public:
    static constexpr const char* kTable = StationSchema::kQuarantine;
    // The longest reason kept: the first lines of a driver's diagnostics say enough.
    static constexpr size_t kReasonLength = StationSchema::kReasonLength;

    explicit CQuarantine(CStationMap& stations);

    // Start: counts the rows kept in every station file under `workingDir`/WPData.
    void Load(const std::string& workingDir) EXCLUDES(m_lock);
    // Start, before the workers run: notes every kept row's time in `journal` as the
    // range (time - 1 s, time] and clears it here. Returns how many rows were handed
    // back; a tower whose ranges the journal cannot take keeps its rows.
    long HandBack(CRefillJournal& journal) EXCLUDES(m_lock);
    // Keeps the tower's refused rows, noted now (a row kept already is noted anew);
    // false when the station file cannot take them.
    bool Keep(int32_t nRTUID, const std::vector<CRefusedRow>& rows) EXCLUDES(m_lock);

    // Rows kept now, over all towers.
    long Count() const EXCLUDES(m_lock);
    // Rows handed back at the start.
    long HandedBackCount() const { return m_nHandedBack.load(); }

    // The diagnostic as it is kept: its lines joined, printable characters other than
    // quotes and backslashes only, at most kReasonLength of them.
    static std::string ReasonText(const std::string& diagnostic);

    // For tests: the tower's kept rows, oldest first.
    std::vector<CRefusedRow> Rows(int32_t nRTUID);

private:
    CStationMap& m_stations;
    mutable Mutex m_lock;
    std::map<int32_t, long> m_counts GUARDED_BY(m_lock);  // rows kept per tower
    std::atomic<long> m_nHandedBack{0};
};
