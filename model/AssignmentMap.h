#pragma once

#include <cstdint>
#include <unordered_map>

// Output station numbers (WPID) by RTU number, filled at start-up from the station
// assignment store before the workers start and emptied after they stopped; read
// without a lock in between.
class CAssignmentMap {
public:
    void Assign(int32_t nRTUID, int32_t nWPID) { m_mapWPID[nRTUID] = nWPID; }
    void Clear() { m_mapWPID.clear(); }
    // The RTU's WPID, or -1 when it has none.
    int GetTowerID(int32_t nRTUID) const {
        auto it = m_mapWPID.find(nRTUID);
        return it == m_mapWPID.end() ? -1 : it->second;
    }
    // The tower id of an RTU: its WPID, else the RTU number.
    int TowerIDOf(int32_t nRTUID) const {
        const int wpid = GetTowerID(nRTUID);
        return wpid == -1 ? nRTUID : wpid;
    }

private:
    std::unordered_map<int32_t, int32_t> m_mapWPID;
};
