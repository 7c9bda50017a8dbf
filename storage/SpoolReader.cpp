#include "storage/SpoolReader.h"

#include <cstring>
#include <vector>

using namespace SpoolFormat;

SegmentScan ScanSegment(CSpoolFiles& files, const std::string& path, int64_t offset) {
    SegmentScan scan;
    auto file = files.OpenRead(path);
    scan.size = files.Size(path);
    if (!file || scan.size < offset) {
        scan.size = -1;
        return scan;
    }
    std::vector<unsigned char> bytes;
    file->ReadAt(offset, static_cast<size_t>(scan.size - offset), bytes);
    std::vector<unsigned char> payload;
    CDataFrame frame;
    size_t end = 0;
    for (size_t at = 0; at < bytes.size();) {
        if (ParseAt(bytes, at, payload) && Decode(payload, frame)) {
            ++scan.records;
            at += kHeaderBytes + payload.size();
            end = at;
            continue;
        }
        // Damage inside the segment: the reader names it when it gets there.
        at = FindNextRecord(bytes, at);
    }
    scan.wholeEnd = offset + static_cast<int64_t>(end);
    return scan;
}

bool CSpoolReader::ReadRecord(SpooledRecord& out, int64_t limit) {
    if (!m_file || m_fileSegment != m_position.segment) {
        m_file = m_files.OpenRead(SegmentPath(m_strFolder, m_position.segment));
        m_fileSegment = m_position.segment;
        if (!m_file) return false;
    }
    thread_local std::vector<unsigned char> bytes;
    m_file->ReadAt(m_position.offset, kHeaderBytes, bytes);
    if (bytes.size() < kHeaderBytes) return false;
    uint32_t length = 0;
    std::memcpy(&length, bytes.data(), 4);
    if (length > kMaxPayload ||
        m_position.offset + static_cast<int64_t>(kHeaderBytes + length) > limit)
        return false;
    m_file->ReadAt(m_position.offset, kHeaderBytes + length, bytes);
    std::vector<unsigned char> payload;
    auto record = std::make_unique<CDataFrame>();
    if (!ParseAt(bytes, 0, payload) || !Decode(payload, *record)) return false;
    out.start = m_position;
    m_position.offset += static_cast<int64_t>(kHeaderBytes + payload.size());
    out.record = std::move(record);
    out.end = m_position;
    return true;
}

int64_t CSpoolReader::SkipDamage(int64_t limit) {
    const int64_t at = m_position.offset;
    std::vector<unsigned char> bytes;
    if (m_file && limit > at) m_file->ReadAt(at, static_cast<size_t>(limit - at), bytes);
    const size_t next = FindNextRecord(bytes, 0);
    const int64_t skipped = next == std::string::npos ? limit - at : static_cast<int64_t>(next);
    m_position.offset = at + skipped;
    return skipped;
}
