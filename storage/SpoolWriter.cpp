#include "storage/SpoolWriter.h"

#include <cerrno>
#include <cstring>
#include <utility>

bool CSpoolWriter::StartSegment(uint64_t segment) {
    auto file = m_files.OpenAppend(SpoolFormat::SegmentPath(m_strFolder, segment));
    if (!file) return false;
    if (m_pAppend) {
        m_toSync.push_back(std::move(m_pAppend));
    } else {
        // The first segment of this process: no append of its own waits for a sync.
        m_durableEnd = {segment, 0};
    }
    m_pAppend = std::move(file);
    m_end = {segment, 0};
    m_bNewSegment = true;
    return true;
}

bool CSpoolWriter::Append(const std::vector<unsigned char>& bytes, std::string& complaint) {
    if (!m_pAppend) {
        complaint = "no segment open";
        return false;
    }
    if (!m_pAppend->Append(bytes.data(), bytes.size())) {
        complaint = std::strerror(errno);
        // Nothing of a refused frame may stay: the next record starts here.
        m_pAppend->Truncate(m_end.offset);
        return false;
    }
    m_end.offset += static_cast<int64_t>(bytes.size());
    return true;
}

bool CSpoolWriter::Sync() {
    bool synced = true;
    for (auto& file : m_toSync) synced = file->Sync() && synced;
    m_toSync.clear();
    if (m_pAppend) synced = m_pAppend->Sync() && synced;
    if (std::exchange(m_bNewSegment, false)) synced = m_files.SyncFolder(m_strFolder) && synced;
    if (synced) m_durableEnd = m_end;
    return synced;
}
