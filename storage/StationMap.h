#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "storage/WPLocalDB.h"

// The station objects by RTU number. The storage thread adds stations while the
// user-interface thread walks them (CloseAccess); objects stay until Clear, which
// runs after the workers stopped, so a pointer handed out stays valid until then.
class CStationMap {
public:
    explicit CStationMap(std::string workingDir,
                         int retentionPollMs = CDeleteMyDeadData::kPollIntervalMs);

    // The station of the RTU, made (not prepared) when missing. Any thread.
    CWPLocalDB& FindOrAdd(int32_t nRTUID);
    // The station of the RTU or null. Any thread.
    CWPLocalDB* Find(int32_t nRTUID);
    // Makes the station and prepares its file (start-up, before the workers run).
    void AddPrepared(int32_t nRTUID);
    // Closes every station connection, each under the Access lock, so that no
    // statement of another thread is cut. The next use reopens. Any thread that
    // does not hold the Access lock.
    void CloseAll();
    // Destroys every station (stopping their retention threads). After the workers stopped.
    void Clear();
    size_t Size();

private:
    const std::string m_strWorkingDir;
    const int m_nRetentionPollMs;
    std::mutex m_lock;  // guards the map only; never held while taking the Access lock
    std::map<int32_t, std::unique_ptr<CWPLocalDB>> m_stations;  // guarded by m_lock
};
