#include "storage/FrameSpool.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <utility>

#include "hostlib/VktBase.h"
#include "platform/System.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kSegmentSuffix = ".spool";
constexpr size_t kHeaderBytes = 8;  // payload length, checksum
// RTU number, frame kind, frame time, item count.
constexpr size_t kFixedPayload = 4 + 4 + sizeof(DateTime) + 4;
// Far above any frame a host sends (110 data types); a longer length is damage.
constexpr uint32_t kMaxItems = 4096;

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

bool Decode(const std::vector<unsigned char>& payload, CTowerRecord& record) {
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

// Reads the record at the file's position; false at the end or at damage.
bool ReadPayload(std::FILE* file, std::vector<unsigned char>& payload) {
    unsigned char header[kHeaderBytes];
    if (std::fread(header, 1, kHeaderBytes, file) != kHeaderBytes) return false;
    uint32_t length = 0;
    uint32_t crc = 0;
    std::memcpy(&length, header, 4);
    std::memcpy(&crc, header + 4, 4);
    if (length < kFixedPayload || length > kFixedPayload + kMaxItems * sizeof(CDataItem)) {
        return false;
    }
    payload.resize(length);
    if (std::fread(payload.data(), 1, length, file) != length) return false;
    return Checksum(payload.data(), length) == crc;
}

bool ParseSegment(const fs::path& path, uint64_t& segment) {
    const std::string name = path.filename().string();
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

}  // namespace

CFrameSpool::CFrameSpool(std::string folder, int syncIntervalMs, int64_t segmentBytes)
    : m_strFolder(std::move(folder)),
      m_nSyncIntervalMs(syncIntervalMs),
      m_nSegmentBytes(segmentBytes),
      m_failures("Frame spool " + m_strFolder) {}

CFrameSpool::~CFrameSpool() {
    if (m_read.file) std::fclose(m_read.file);
    MutexLock guard(m_lock);
    for (std::FILE* file : m_toSync) std::fclose(file);
    if (m_pAppend) std::fclose(m_pAppend);
}

std::string CFrameSpool::SegmentPath(uint64_t segment) const {
    char name[32];
    std::snprintf(name, sizeof name, "%016llu%s", static_cast<unsigned long long>(segment),
                  kSegmentSuffix);
    return m_strFolder + "/" + name;
}

std::vector<uint64_t> CFrameSpool::Segments() const {
    std::vector<uint64_t> segments;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(m_strFolder, ec)) {
        uint64_t segment = 0;
        if (ParseSegment(entry.path(), segment)) segments.push_back(segment);
    }
    std::sort(segments.begin(), segments.end());
    return segments;
}

bool CFrameSpool::Open() {
    std::error_code ec;
    fs::create_directories(m_strFolder, ec);
    SpoolPosition mark;
    bool markRead = false;
    if (std::FILE* file = std::fopen((m_strFolder + "/" + kMarkFile).c_str(), "rb")) {
        unsigned long long segment = 0;
        long long offset = 0;
        markRead = std::fscanf(file, "%llu %lld", &segment, &offset) == 2 && offset >= 0;
        if (markRead) mark = {segment, offset};
        std::fclose(file);
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
    m_lastSync = std::chrono::steady_clock::now();
    MutexLock guard(m_lock);
    m_nBacklog = backlog;
    const uint64_t next = segments.empty() ? std::max<uint64_t>(mark.segment, 1)
                                           : std::max(segments.back() + 1, mark.segment);
    if (!StartSegment(next)) {
        WriteErrorInfo("Frame spool " + m_strFolder + " cannot be opened: " + std::strerror(errno));
        return false;
    }
    if (segments.empty() || mark.segment > segments.back()) m_read.position = {next, 0};
    return true;
}

long CFrameSpool::ScanSegment(uint64_t segment, int64_t offset, bool cutTail) {
    const std::string path = SegmentPath(segment);
    std::FILE* file = std::fopen(path.c_str(), cutTail ? "r+b" : "rb");
    if (!file) return 0;
    long records = 0;
    std::vector<unsigned char> payload;
    int64_t end = offset;
    if (std::fseek(file, static_cast<long>(offset), SEEK_SET) == 0) {
        while (ReadPayload(file, payload)) {
            ++records;
            end += static_cast<int64_t>(kHeaderBytes + payload.size());
        }
    }
    std::error_code ec;
    const auto size = static_cast<int64_t>(fs::file_size(path, ec));
    if (cutTail && !ec && size > end) {
        // A record the process was killed while writing, or damage: never read it.
        System::TruncateFile(file, end);
        WriteErrorInfo("Frame spool: " + std::to_string(size - end) +
                       " bytes of a torn record cut off " + path);
    }
    std::fclose(file);
    return records;
}

bool CFrameSpool::StartSegment(uint64_t segment) {
    std::FILE* file = std::fopen(SegmentPath(segment).c_str(), "ab");
    if (!file) return false;
    // Unbuffered: every record reaches the kernel in the call that appends it.
    std::setvbuf(file, nullptr, _IONBF, 0);
    if (m_pAppend) m_toSync.push_back(m_pAppend);
    m_pAppend = file;
    m_writeEnd = {segment, 0};
    m_bNewSegment = true;
    return true;
}

bool CFrameSpool::Append(const CDataFrame& frame) {
    thread_local std::vector<unsigned char> bytes;
    Encode(frame, bytes);
    std::string complaint;
    bool written = false;
    {
        MutexLock guard(m_lock);
        if (m_pAppend && m_writeEnd.offset >= m_nSegmentBytes) StartSegment(m_writeEnd.segment + 1);
        if (m_pAppend) {
            written = std::fwrite(bytes.data(), 1, bytes.size(), m_pAppend) == bytes.size();
            if (!written) {
                complaint = std::strerror(errno);
                std::clearerr(m_pAppend);
                // Nothing of a refused frame may stay: the next record starts here.
                System::TruncateFile(m_pAppend, m_writeEnd.offset);
            }
        } else {
            complaint = "no segment open";
        }
        if (written) {
            m_writeEnd.offset += static_cast<int64_t>(bytes.size());
            ++m_nBacklog;
            if (m_failures.Failing()) m_failures.Succeeded();
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

bool CFrameSpool::ReadRecord(SpooledRecord& out) {
    if (!m_read.file || m_read.fileSegment != m_read.position.segment) {
        if (m_read.file) std::fclose(m_read.file);
        m_read.file = std::fopen(SegmentPath(m_read.position.segment).c_str(), "rb");
        m_read.fileSegment = m_read.position.segment;
        if (!m_read.file) return false;
    }
    // Seeking drops what the stream buffered, so appends made since are seen.
    if (std::fseek(m_read.file, static_cast<long>(m_read.position.offset), SEEK_SET) != 0) {
        return false;
    }
    std::vector<unsigned char> payload;
    if (!ReadPayload(m_read.file, payload)) return false;
    auto record = std::make_unique<CTowerRecord>();
    if (!Decode(payload, *record)) return false;
    m_read.position.offset += static_cast<int64_t>(kHeaderBytes + payload.size());
    out.record = std::move(record);
    out.end = m_read.position;
    return true;
}

std::vector<SpooledRecord> CFrameSpool::ReadBatch(size_t maxRecords) {
    SpoolPosition writeEnd;
    {
        MutexLock guard(m_lock);
        writeEnd = m_writeEnd;
    }
    std::vector<SpooledRecord> batch;
    while (batch.size() < maxRecords && m_read.position < writeEnd) {
        SpooledRecord record;
        if (ReadRecord(record)) {
            batch.push_back(std::move(record));
            continue;
        }
        if (m_read.position.segment == writeEnd.segment) {
            // Damage inside the segment being written: skip to what is appended next.
            WriteErrorInfo(
                "Frame spool: unreadable record in " + SegmentPath(m_read.position.segment) +
                " at offset " + std::to_string(m_read.position.offset) + "; " +
                std::to_string(writeEnd.offset - m_read.position.offset) + " bytes skipped");
            m_read.position = writeEnd;
            break;
        }
        // The end of a finished segment (or damage in it): on to the next one.
        uint64_t next = writeEnd.segment;
        for (uint64_t segment : Segments()) {
            if (segment > m_read.position.segment) {
                next = std::min(next, segment);
            }
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

void CFrameSpool::SyncIfDue(bool force) {
    const auto now = std::chrono::steady_clock::now();
    if (!force && now - m_lastSync < std::chrono::milliseconds(m_nSyncIntervalMs)) return;
    m_lastSync = now;
    std::vector<std::FILE*> finished;
    std::FILE* current = nullptr;
    bool newSegment = false;
    {
        MutexLock guard(m_lock);
        finished.swap(m_toSync);
        current = m_pAppend;
        newSegment = std::exchange(m_bNewSegment, false);
    }
    // Outside the lock: host threads append on while the disk catches up. The files
    // are closed only here and at destruction, so `current` stays open.
    for (std::FILE* file : finished) {
        System::SyncFile(file);
        std::fclose(file);
    }
    System::SyncFile(current);
    if (newSegment) System::SyncDirectory(m_strFolder);
    if (m_stored == m_writtenMark) return;
    WriteMark(m_stored);
    DropStoredSegments(m_stored);
}

void CFrameSpool::WriteMark(const SpoolPosition& mark) {
    const std::string path = m_strFolder + "/" + kMarkFile;
    const std::string temporary = path + ".tmp";
    std::FILE* file = std::fopen(temporary.c_str(), "wb");
    if (!file) return;
    const bool written =
        std::fprintf(file, "%llu %lld\n", static_cast<unsigned long long>(mark.segment),
                     static_cast<long long>(mark.offset)) > 0 &&
        std::fflush(file) == 0;
    std::fclose(file);
    // A mark that did not reach the disk only makes the next start store some
    // records again, which rewrites the same rows.
    if (written && System::MoveOver(temporary, path)) m_writtenMark = mark;
}

void CFrameSpool::DropStoredSegments(const SpoolPosition& mark) {
    uint64_t writing = 0;
    {
        MutexLock guard(m_lock);
        writing = m_writeEnd.segment;
    }
    for (uint64_t segment : Segments()) {
        if (segment < mark.segment && segment < writing) System::RemoveFile(SegmentPath(segment));
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

long CFrameSpool::RefusedCount() const {
    MutexLock guard(m_lock);
    return m_nRefused;
}
