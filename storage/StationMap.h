#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/Mutex.h"
#include "storage/WPLocalDB.h"

// The station objects by RTU number. The storage thread adds stations while the
// user-interface thread walks them (CloseAccess); objects stay until Clear, which
// runs after the workers stopped, so a pointer handed out stays valid until then.
class CStationMap {
public:
    // `settings` outlives the map.
    CStationMap(std::string workingDir, const CWPSettingsStore& settings,
                int retentionPollMs = CDeleteMyDeadData::kPollIntervalMs);

    // The station of the RTU, made (not prepared) when missing. Any thread.
    CWPLocalDB& FindOrAdd(int32_t nRTUID) EXCLUDES(m_lock);
    // The station of the RTU or null. Any thread.
    CWPLocalDB* Find(int32_t nRTUID) EXCLUDES(m_lock);
    // Makes the station and prepares its file (start-up, before the workers run).
    void AddPrepared(int32_t nRTUID);
    // Closes every station connection, each under the Access lock, so that no
    // statement of another thread is cut. The next use reopens. Any thread that
    // does not hold the Access lock.
    void CloseAll() EXCLUDES(m_lock);
    // Destroys every station (stopping their retention threads). After the workers stopped.
    void Clear() EXCLUDES(m_lock);
    // For tests: the stations held.
    size_t Size() EXCLUDES(m_lock);
    // The RTU numbers of the station files of this map's working directory.
    std::vector<int32_t> RtusOnDisk() const { return RtusOnDisk(m_strWorkingDir); }
    // The RTU numbers of the station files WPData/WP_<n>.MDB under `workingDir`.
    static std::vector<int32_t> RtusOnDisk(const std::string& workingDir);

private:
    const std::string m_strWorkingDir;
    const CWPSettingsStore& m_settings;
    const int m_nRetentionPollMs;
    Mutex m_lock;  // guards the map only; never held while taking the Access lock
    std::map<int32_t, std::unique_ptr<CWPLocalDB>> m_stations GUARDED_BY(m_lock);
};
