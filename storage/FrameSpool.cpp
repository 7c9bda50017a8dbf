#include "storage/FrameSpool.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "hostlib/VktBase.h"
#include "platform/System.h"

namespace {

constexpr const char* kSegmentSuffix = ".spool";
constexpr size_t kHeaderBytes = 8;  // payload length, checksum
// RTU number, frame kind, frame time, item count.
constexpr size_t kFixedPayload = 4 + 4 + sizeof(DateTime) + 4;
constexpr uint32_t kMaxItems = CFrameSpool::kMaxItems;
constexpr size_t kMaxPayload = kFixedPayload + kMaxItems * sizeof(CDataItem);

uint64_t Rotate(uint64_t value, int bits) {
    return (value << bits) | (value >> (64 - bits));
}

uint64_t Mix(uint64_t lane, uint64_t word) {
    return Rotate(lane ^ (word * 0x87C37B91114253D5ull), 31) * 0x9E3779B97F4A7C15ull;
}

// A 32-bit checksum of the payload, strong enough to tell a torn or damaged record
// from a whole one: four independent lanes over 8-byte words, so that it costs far
// less than the write it guards (a frame is about 4 KB).
uint32_t Checksum(const unsigned char* data, size_t size) {
    uint64_t lanes[4] = {0x243F6A8885A308D3ull ^ size, 0x13198A2E03707344ull, 0xA4093822299F31D0ull,
                         0x082EFA98EC4E6C89ull};
    size_t at = 0;
    for (; at + 32 <= size; at += 32) {
        for (int lane = 0; lane < 4; ++lane) {
            uint64_t word;
            std::memcpy(&word, data + at + 8 * lane, 8);
            lanes[lane] = Mix(lanes[lane], word);
        }
    }
    uint64_t tail = 0;
    for (int shift = 0; at < size; ++at, shift += 8) {
        tail ^= static_cast<uint64_t>(data[at]) << (shift % 64);
    }
    uint64_t hash =
        Mix(lanes[0], tail) ^ Rotate(lanes[1], 7) ^ Rotate(lanes[2], 19) ^ Rotate(lanes[3], 41);
    hash ^= hash >> 33;
    hash *= 0xFF51AFD7ED558CCDull;
    hash ^= hash >> 33;
    return static_cast<uint32_t>(hash ^ (hash >> 32));
}

template <typename T>
void Put(std::vector<unsigned char>& out, const T& value) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(&value);
    out.insert(out.end(), bytes, bytes + sizeof(T));
}

template <typename T>
T Get(const unsigned char*& in) {
    T value;
    std::memcpy(&value, in, sizeof(T));
    in += sizeof(T);
    return value;
}

// Into `out`, which each host thread keeps, so that a hand-over allocates nothing.
void Encode(const CDataFrame& frame, std::vector<unsigned char>& out) {
    out.assign(kHeaderBytes, 0);
    Put(out, frame.m_nRTUID);
    Put(out, frame.m_nKind);
    Put(out, frame.m_tTime);
    Put(out, static_cast<uint32_t>(frame.m_arItems.size()));
    const auto* items = reinterpret_cast<const unsigned char*>(frame.m_arItems.data());
    out.insert(out.end(), items, items + frame.m_arItems.size() * sizeof(CDataItem));
    const uint32_t length = static_cast<uint32_t>(out.size() - kHeaderBytes);
    const uint32_t crc = Checksum(out.data() + kHeaderBytes, length);
    std::memcpy(out.data(), &length, 4);
    std::memcpy(out.data() + 4, &crc, 4);
}

bool Decode(const std::vector<unsigned char>& payload, CDataFrame& record) {
    if (payload.size() < kFixedPayload) return false;
    const unsigned char* in = payload.data();
    record.m_nRTUID = Get<int32_t>(in);
    record.m_nKind = Get<int32_t>(in);
    record.m_tTime = Get<DateTime>(in);
    const uint32_t count = Get<uint32_t>(in);
    if (count > kMaxItems || payload.size() != kFixedPayload + count * sizeof(CDataItem)) {
        return false;
    }
    record.m_arItems.resize(count);
    if (count > 0) std::memcpy(record.m_arItems.data(), in, count * sizeof(CDataItem));
    return true;
}

// The record whose header starts at `at` in `bytes`, when it is whole and valid.
bool ParseAt(const std::vector<unsigned char>& bytes, size_t at,
             std::vector<unsigned char>& payload) {
    if (bytes.size() < at + kHeaderBytes) return false;
    uint32_t length = 0;
    uint32_t crc = 0;
    std::memcpy(&length, bytes.data() + at, 4);
    std::memcpy(&crc, bytes.data() + at + 4, 4);
    if (length < kFixedPayload || length > kMaxPayload) return false;
    if (bytes.size() - at - kHeaderBytes < length) return false;
    const unsigned char* data = bytes.data() + at + kHeaderBytes;
    if (Checksum(data, length) != crc) return false;
    payload.assign(data, data + length);
    return true;
}

bool ParseSegment(const std::string& name, uint64_t& segment) {
    const std::string suffix = kSegmentSuffix;
    if (name.size() <= suffix.size() ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
        return false;
    }
    const std::string digits = name.substr(0, name.size() - suffix.size());
    if (digits.empty() || digits.size() > 18 ||
        digits.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    segment = std::stoull(digits);
    return true;
}

// The offset of the first whole record after `from` in `bytes`; npos when there is none.
size_t FindNextRecord(const std::vector<unsigned char>& bytes, size_t from) {
    std::vector<unsigned char> payload;
    CDataFrame record;
    for (size_t at = from + 1; at + kHeaderBytes + kFixedPayload <= bytes.size(); ++at) {
        if (ParseAt(bytes, at, payload) && Decode(payload, record)) return at;
    }
    return std::string::npos;
}

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
      m_failures("Frame spool " + m_strFolder) {}

CFrameSpool::~CFrameSpool() = default;

std::string CFrameSpool::SegmentPath(uint64_t segment) const {
    char name[32];
    std::snprintf(name, sizeof name, "%016llu%s", static_cast<unsigned long long>(segment),
                  kSegmentSuffix);
    return m_strFolder + "/" + name;
}

std::vector<uint64_t> CFrameSpool::Segments() const {
    std::vector<uint64_t> segments;
    for (const std::string& name : m_files.List(m_strFolder)) {
        uint64_t segment = 0;
        if (ParseSegment(name, segment)) segments.push_back(segment);
    }
    std::sort(segments.begin(), segments.end());
    return segments;
}

bool CFrameSpool::Open() {
    m_files.MakeFolder(m_strFolder);
    SpoolPosition mark;
    bool markRead = false;
    if (auto file = m_files.OpenRead(m_strFolder + "/" + kMarkFile)) {
        std::vector<unsigned char> bytes;
        file->ReadAt(0, 64, bytes);
        const std::string text(bytes.begin(), bytes.end());
        unsigned long long segment = 0;
        long long offset = 0;
        markRead = std::sscanf(text.c_str(), "%llu %lld", &segment, &offset) == 2 && offset >= 0;
        if (markRead) mark = {segment, offset};
    }
    const std::vector<uint64_t> segments = Segments();
    // No mark, or one before every segment left: everything there is still to store.
    if (!segments.empty() && (!markRead || mark.segment < segments.front())) {
        mark = {segments.front(), 0};
    }
    long backlog = 0;
    for (uint64_t segment : segments) {
        if (segment < mark.segment) continue;
        const bool last = segment == segments.back();
        backlog += ScanSegment(segment, segment == mark.segment ? mark.offset : 0, last);
    }
    m_read.position = mark;
    m_stored = mark;
    m_writtenMark = mark;
    m_lastMark = std::chrono::steady_clock::now();
    MutexLock guard(m_lock);
    m_nBacklog = backlog;
    m_lastSync = m_lastMark;
    const uint64_t next = segments.empty() ? std::max<uint64_t>(mark.segment, 1)
                                           : std::max(segments.back() + 1, mark.segment);
    if (!StartSegment(next)) {
        WriteErrorInfo("Frame spool " + m_strFolder + " cannot be opened: " + std::strerror(errno));
        return false;
    }
    if (segments.empty() || mark.segment > segments.back()) m_read.position = {next, 0};
    m_durableEnd = m_writeEnd;
    return true;
}

long CFrameSpool::ScanSegment(uint64_t segment, int64_t offset, bool cutTail) {
    const std::string path = SegmentPath(segment);
    auto file = m_files.OpenRead(path);
    const int64_t size = m_files.Size(path);
    if (!file || size < offset) return 0;
    std::vector<unsigned char> bytes;
    file->ReadAt(offset, static_cast<size_t>(size - offset), bytes);
    file.reset();
    long records = 0;
    std::vector<unsigned char> payload;
    CDataFrame record;
    size_t end = 0;  // after the last whole record
    for (size_t at = 0; at < bytes.size();) {
        if (ParseAt(bytes, at, payload) && Decode(payload, record)) {
            ++records;
            at += kHeaderBytes + payload.size();
            end = at;
            continue;
        }
        // Damage inside the segment: the reader names it when it gets there.
        at = FindNextRecord(bytes, at);
    }
    const int64_t tail = size - offset - static_cast<int64_t>(end);
    if (cutTail && tail > 0) {
        // A record the process was killed (or the power cut) while writing: never read it.
        m_files.Truncate(path, offset + static_cast<int64_t>(end));
        WriteErrorInfo("Frame spool: " + std::to_string(tail) + " bytes of a torn record cut off " +
                       path);
    }
    return records;
}

bool CFrameSpool::StartSegment(uint64_t segment) {
    auto file = m_files.OpenAppend(SegmentPath(segment));
    if (!file) return false;
    if (m_pAppend) m_toSync.push_back(std::move(m_pAppend));
    m_pAppend = std::move(file);
    m_writeEnd = {segment, 0};
    m_bNewSegment = true;
    return true;
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
    return m_durableEnd < m_writeEnd &&
           now - m_lastSync >= std::chrono::milliseconds(m_nSyncIntervalMs);
}

void CFrameSpool::SyncAppended(std::chrono::steady_clock::time_point now) {
    m_lastSync = now;
    bool synced = true;
    for (auto& file : m_toSync) synced = file->Sync() && synced;
    m_toSync.clear();
    if (m_pAppend) synced = m_pAppend->Sync() && synced;
    if (std::exchange(m_bNewSegment, false)) synced = m_files.SyncFolder(m_strFolder) && synced;
    if (synced) m_durableEnd = m_writeEnd;
}

bool CFrameSpool::Append(const CDataFrame& frame) {
    if (RefuseOversized(frame)) return false;
    thread_local std::vector<unsigned char> bytes;
    Encode(frame, bytes);
    std::string complaint;
    bool written = false;
    {
        MutexLock guard(m_lock);
        if (m_pAppend && m_writeEnd.offset >= m_nSegmentBytes) StartSegment(m_writeEnd.segment + 1);
        if (m_pAppend) {
            written = m_pAppend->Append(bytes.data(), bytes.size());
            if (!written) {
                complaint = std::strerror(errno);
                // Nothing of a refused frame may stay: the next record starts here.
                m_pAppend->Truncate(m_writeEnd.offset);
            }
        } else {
            complaint = "no segment open";
        }
        if (written) {
            m_writeEnd.offset += static_cast<int64_t>(bytes.size());
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

bool CFrameSpool::ReadRecord(SpooledRecord& out, int64_t limit) {
    if (!m_read.file || m_read.fileSegment != m_read.position.segment) {
        m_read.file = m_files.OpenRead(SegmentPath(m_read.position.segment));
        m_read.fileSegment = m_read.position.segment;
        if (!m_read.file) return false;
    }
    thread_local std::vector<unsigned char> bytes;
    m_read.file->ReadAt(m_read.position.offset, kHeaderBytes, bytes);
    if (bytes.size() < kHeaderBytes) return false;
    uint32_t length = 0;
    std::memcpy(&length, bytes.data(), 4);
    if (length > kMaxPayload ||
        m_read.position.offset + static_cast<int64_t>(kHeaderBytes + length) > limit)
        return false;
    m_read.file->ReadAt(m_read.position.offset, kHeaderBytes + length, bytes);
    std::vector<unsigned char> payload;
    auto record = std::make_unique<CDataFrame>();
    if (!ParseAt(bytes, 0, payload) || !Decode(payload, *record)) return false;
    out.start = m_read.position;
    m_read.position.offset += static_cast<int64_t>(kHeaderBytes + payload.size());
    out.record = std::move(record);
    out.end = m_read.position;
    return true;
}

void CFrameSpool::SkipDamage(int64_t limit) {
    const SpoolPosition at = m_read.position;
    std::vector<unsigned char> bytes;
    if (m_read.file && limit > at.offset) {
        m_read.file->ReadAt(at.offset, static_cast<size_t>(limit - at.offset), bytes);
    }
    const size_t next = FindNextRecord(bytes, 0);
    const int64_t skipped =
        next == std::string::npos ? limit - at.offset : static_cast<int64_t>(next);
    m_read.position.offset = at.offset + skipped;
    {
        MutexLock guard(m_lock);
        ++m_nDamaged;
    }
    WriteErrorInfo("Frame spool: damaged record in " + SegmentPath(at.segment) + " at offset " +
                   std::to_string(at.offset) + "; " + std::to_string(skipped) +
                   " bytes skipped to the next whole record");
}

std::vector<SpooledRecord> CFrameSpool::ReadBatch(size_t maxRecords) {
    SpoolPosition writeEnd;
    {
        MutexLock guard(m_lock);
        writeEnd = m_writeEnd;
    }
    std::vector<SpooledRecord> batch;
    while (batch.size() < maxRecords && m_read.position < writeEnd) {
        // What is whole of the segment: appends end at the write end, and a finished
        // segment at its size.
        const bool writing = m_read.position.segment == writeEnd.segment;
        const int64_t limit =
            writing ? writeEnd.offset : m_files.Size(SegmentPath(m_read.position.segment));
        if (m_read.position.offset < limit) {
            SpooledRecord record;
            if (ReadRecord(record, limit)) {
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
            if (segment > m_read.position.segment) next = std::min(next, segment);
        }
        m_read.position = {next, 0};
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
    if (WriteMark(mark)) DropStoredSegments(mark);
}

bool CFrameSpool::WriteMark(const SpoolPosition& mark) {
    const std::string path = m_strFolder + "/" + kMarkFile;
    const std::string temporary = path + ".tmp";
    char text[64];
    std::snprintf(text, sizeof text, "%llu %lld\n", static_cast<unsigned long long>(mark.segment),
                  static_cast<long long>(mark.offset));
    // A mark that did not reach the disk only makes the next start store some
    // records again, which rewrites the same rows.
    if (!m_files.WriteSynced(temporary, text) || !m_files.Rename(temporary, path) ||
        !m_files.SyncFolder(m_strFolder)) {
        return false;
    }
    m_writtenMark = mark;
    return true;
}

void CFrameSpool::DropStoredSegments(const SpoolPosition& mark) {
    uint64_t writing = 0;
    {
        MutexLock guard(m_lock);
        writing = m_writeEnd.segment;
    }
    for (uint64_t segment : Segments()) {
        if (segment < mark.segment && segment < writing) m_files.Remove(SegmentPath(segment));
    }
}

SpoolPosition CFrameSpool::WriteEnd() const {
    MutexLock guard(m_lock);
    return m_writeEnd;
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
    return m_durableEnd;
}
