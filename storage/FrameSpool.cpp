#include "storage/FrameSpool.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "hostlib/VktBase.h"
#include "platform/System.h"
#include "storage/SpoolMark.h"

using SpoolFormat::SegmentPath;

namespace {

std::string Describe(const CDataFrame& frame) {
    return "RTU " + std::to_string(frame.m_nRTUID) + " at " + frame.m_tTime.Format() + " with " +
           std::to_string(frame.m_arItems.size()) + " items";
}

}  // namespace

CFrameSpool::CFrameSpool(std::string folder, int syncIntervalMs, int64_t segmentBytes,
                         CSpoolFiles& files)
    : m_strFolder(std::move(folder)),
      m_nSyncIntervalMs(syncIntervalMs),
      m_nSegmentBytes(segmentBytes),
      m_files(files),
      m_writer(files, m_strFolder),
      m_failures("Frame spool " + m_strFolder),
      m_reader(files, m_strFolder) {}

CFrameSpool::~CFrameSpool() = default;

std::vector<uint64_t> CFrameSpool::Segments() const {
    std::vector<uint64_t> segments;
    for (const std::string& name : m_files.List(m_strFolder)) {
        uint64_t segment = 0;
        if (SpoolFormat::ParseSegmentName(name, segment)) segments.push_back(segment);
    }
    std::sort(segments.begin(), segments.end());
    return segments;
}

SpoolPosition CFrameSpool::Recover(const std::vector<uint64_t>& segments) {
    SpoolPosition mark;
    const bool markRead = SpoolMark::Read(m_files, m_strFolder, mark);
    // No mark, or one before every segment left: everything there is still to store.
    if (!segments.empty() && (!markRead || mark.segment < segments.front())) {
        mark = {segments.front(), 0};
    }
    long backlog = 0;
    for (uint64_t segment : segments) {
        if (segment < mark.segment) continue;
        const bool last = segment == segments.back();
        backlog += CountRecords(segment, segment == mark.segment ? mark.offset : 0, last);
    }
    MutexLock guard(m_lock);
    m_nBacklog = backlog;
    return mark;
}

bool CFrameSpool::Open() {
    m_files.MakeFolder(m_strFolder);
    const std::vector<uint64_t> segments = Segments();
    const SpoolPosition mark = Recover(segments);
    m_reader.SetPosition(mark);
    m_stored = mark;
    m_writtenMark = mark;
    m_lastMark = std::chrono::steady_clock::now();
    MutexLock guard(m_lock);
    m_lastSync = m_lastMark;
    const uint64_t next = segments.empty() ? std::max<uint64_t>(mark.segment, 1)
                                           : std::max(segments.back() + 1, mark.segment);
    if (!m_writer.StartSegment(next)) {
        WriteErrorInfo("Frame spool " + m_strFolder + " cannot be opened: " + std::strerror(errno));
        return false;
    }
    if (segments.empty() || mark.segment > segments.back()) m_reader.SetPosition({next, 0});
    return true;
}

long CFrameSpool::CountRecords(uint64_t segment, int64_t offset, bool cutTail) {
    const std::string path = SegmentPath(m_strFolder, segment);
    const SegmentScan scan = ScanSegment(m_files, path, offset);
    if (scan.size < 0) return 0;
    const int64_t tail = scan.size - scan.wholeEnd;
    if (cutTail && tail > 0) {
        // A record the process was killed (or the power cut) while writing: never read it.
        m_files.Truncate(path, scan.wholeEnd);
        WriteErrorInfo("Frame spool: " + std::to_string(tail) + " bytes of a torn record cut off " +
                       path);
    }
    return scan.records;
}

bool CFrameSpool::RefuseOversized(const CDataFrame& frame) {
    if (frame.m_arItems.size() <= kMaxItems) return false;
    {
        MutexLock guard(m_lock);
        ++m_nRefused;
    }
    WriteErrorInfo("Frame spool: frame of " + Describe(frame) + " refused, more than the " +
                   std::to_string(kMaxItems) + " items a frame may carry");
    return true;
}

bool CFrameSpool::SyncDue(std::chrono::steady_clock::time_point now) const {
    return m_writer.DurableEnd() < m_writer.End() &&
           now - m_lastSync >= std::chrono::milliseconds(m_nSyncIntervalMs);
}

void CFrameSpool::SyncAppended(std::chrono::steady_clock::time_point now) {
    m_lastSync = now;
    m_writer.Sync();
}

bool CFrameSpool::Append(const CDataFrame& frame) {
    if (RefuseOversized(frame)) return false;
    thread_local std::vector<unsigned char> bytes;
    SpoolFormat::Encode(frame, bytes);
    std::string complaint;
    bool written = false;
    {
        MutexLock guard(m_lock);
        if (m_writer.IsOpen() && m_writer.End().offset >= m_nSegmentBytes) {
            m_writer.StartSegment(m_writer.End().segment + 1);
        }
        written = m_writer.Append(bytes, complaint);
        if (written) {
            ++m_nBacklog;
            if (m_failures.Failing()) m_failures.Succeeded();
            // Whatever the storage thread is doing: at most an interval unsynced.
            const auto now = std::chrono::steady_clock::now();
            if (SyncDue(now)) SyncAppended(now);
        } else {
            ++m_nRefused;
            // The first refusal of a run in full; the rest counted once a minute.
            if (!m_failures.Failed()) complaint.clear();
        }
    }
    if (!written) {
        if (!complaint.empty()) {
            WriteErrorInfo("Frame spool " + m_strFolder + " cannot take frames (" + complaint +
                           "); SaveRTDB refuses them until it can");
        }
        return false;
    }
    System::KillPoint("spool-append");
    return true;
}

void CFrameSpool::SkipDamage(int64_t limit) {
    const SpoolPosition at = m_reader.Position();
    const int64_t skipped = m_reader.SkipDamage(limit);
    {
        MutexLock guard(m_lock);
        ++m_nDamaged;
    }
    WriteErrorInfo("Frame spool: damaged record in " + SegmentPath(m_strFolder, at.segment) +
                   " at offset " + std::to_string(at.offset) + "; " + std::to_string(skipped) +
                   " bytes skipped to the next whole record");
}

std::vector<SpooledRecord> CFrameSpool::ReadBatch(size_t maxRecords) {
    SpoolPosition writeEnd;
    {
        MutexLock guard(m_lock);
        writeEnd = m_writer.End();
    }
    std::vector<SpooledRecord> batch;
    while (batch.size() < maxRecords && m_reader.Position() < writeEnd) {
        const SpoolPosition at = m_reader.Position();
        // What is whole of the segment: appends end at the write end, and a finished
        // segment at its size.
        const bool writing = at.segment == writeEnd.segment;
        const int64_t limit =
            writing ? writeEnd.offset : m_files.Size(SegmentPath(m_strFolder, at.segment));
        if (at.offset < limit) {
            SpooledRecord record;
            if (m_reader.ReadRecord(record, limit)) {
                batch.push_back(std::move(record));
            } else {
                SkipDamage(limit);
            }
            continue;
        }
        if (writing) break;
        // The end of a finished segment: on to the next one.
        uint64_t next = writeEnd.segment;
        for (uint64_t segment : Segments()) {
            if (segment > at.segment) next = std::min(next, segment);
        }
        m_reader.SetPosition({next, 0});
    }
    return batch;
}

void CFrameSpool::MarkStored(const SpoolPosition& end) {
    m_stored = end;
    MutexLock guard(m_lock);
    --m_nBacklog;
}

void CFrameSpool::Hold(const SpoolPosition& start) {
    MutexLock guard(m_lock);
    m_held.insert(start);
}

void CFrameSpool::Release(const SpoolPosition& start) {
    MutexLock guard(m_lock);
    const auto held = m_held.find(start);
    if (held != m_held.end()) m_held.erase(held);
}

SpoolPosition CFrameSpool::MarkPosition() const {
    MutexLock guard(m_lock);
    return m_held.empty() ? m_stored : std::min(m_stored, *m_held.begin());
}

void CFrameSpool::SyncIfDue(bool force) {
    const auto now = std::chrono::steady_clock::now();
    if (!force && now - m_lastMark < std::chrono::milliseconds(m_nSyncIntervalMs)) return;
    m_lastMark = now;
    {
        MutexLock guard(m_lock);
        SyncAppended(now);
    }
    const SpoolPosition mark = MarkPosition();
    if (mark == m_writtenMark) return;
    // The mark passes records only once their rows survive a power loss, and the
    // segments go only once the mark that passes them does.
    if (m_durabilityStep && !m_durabilityStep()) return;
    // A mark that did not reach the disk only makes the next start store some
    // records again, which rewrites the same rows.
    if (!SpoolMark::Write(m_files, m_strFolder, mark)) return;
    m_writtenMark = mark;
    DropStoredSegments(mark);
}

void CFrameSpool::DropStoredSegments(const SpoolPosition& mark) {
    uint64_t writing = 0;
    {
        MutexLock guard(m_lock);
        writing = m_writer.End().segment;
    }
    for (uint64_t segment : Segments()) {
        if (segment < mark.segment && segment < writing)
            m_files.Remove(SegmentPath(m_strFolder, segment));
    }
}

SpoolPosition CFrameSpool::WriteEnd() const {
    MutexLock guard(m_lock);
    return m_writer.End();
}

long CFrameSpool::Backlog() const {
    MutexLock guard(m_lock);
    return m_nBacklog;
}

long CFrameSpool::DamagedCount() const {
    MutexLock guard(m_lock);
    return m_nDamaged;
}

long CFrameSpool::RefusedCount() const {
    MutexLock guard(m_lock);
    return m_nRefused;
}

SpoolPosition CFrameSpool::TEST_DurableEnd() const {
    MutexLock guard(m_lock);
    return m_writer.DurableEnd();
}
