#include "storage/StationMap.h"

#include <filesystem>
#include <vector>

#include "hostlib/StationFiles.h"
#include "hostlib/VktBase.h"

std::vector<int32_t> CStationMap::RtusOnDisk(const std::string& workingDir) {
    std::error_code ec;
    std::vector<int32_t> rtus;
    for (const auto& entry :
         std::filesystem::directory_iterator(workingDir + "/" + StationFiles::kFolder, ec)) {
        const int32_t rtu = StationFiles::RtuOfFileName(entry.path().filename().string());
        if (rtu > 0) rtus.push_back(rtu);
    }
    return rtus;
}

CStationMap::CStationMap(std::string workingDir, const CWPSettingsStore& settings,
                         int retentionPollMs)
    : m_strWorkingDir(std::move(workingDir)),
      m_settings(settings),
      m_nRetentionPollMs(retentionPollMs) {}

CWPLocalDB& CStationMap::FindOrAdd(int32_t nRTUID) {
    MutexLock guard(m_lock);
    auto& station = m_stations[nRTUID];
    if (!station)
        station =
            std::make_unique<CWPLocalDB>(nRTUID, m_strWorkingDir, m_settings, m_nRetentionPollMs);
    return *station;
}

CWPLocalDB* CStationMap::Find(int32_t nRTUID) {
    MutexLock guard(m_lock);
    auto it = m_stations.find(nRTUID);
    return it == m_stations.end() ? nullptr : it->second.get();
}

void CStationMap::AddPrepared(int32_t nRTUID) {
    CWPLocalDB& station = FindOrAdd(nRTUID);
    AccessGuard guard;
    station.CreateLocalDB();
}

void CStationMap::CloseAll() {
    // Collect first: the map's lock is not held while waiting for the Access lock.
    std::vector<CWPLocalDB*> stations;
    {
        MutexLock guard(m_lock);
        for (auto& [rtu, station] : m_stations) stations.push_back(station.get());
    }
    for (CWPLocalDB* station : stations) {
        AccessGuard guard;
        station->CloseLocalDB();
    }
}

void CStationMap::Clear() {
    std::map<int32_t, std::unique_ptr<CWPLocalDB>> stations;
    {
        MutexLock guard(m_lock);
        stations.swap(m_stations);
    }
    stations.clear();
}

size_t CStationMap::Size() {
    MutexLock guard(m_lock);
    return m_stations.size();
}
