#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "hostlib/VktRecords.h"
#include "platform/Mutex.h"
#include "storage/FailureLog.h"
#include "storage/TowerRecord.h"

// Where a record of the spool starts or ends: a segment and a byte offset in it.
struct SpoolPosition {
    uint64_t segment = 0;
    int64_t offset = 0;
    auto operator<=>(const SpoolPosition&) const = default;
};

// A record read back from the spool, with the position just after it.
struct SpooledRecord {
    std::unique_ptr<CTowerRecord> record;
    SpoolPosition end;
};

// The durable hand-over between the host's threads and the storage thread: an
// append-only log of frames in numbered segment files, each record its payload's
// length, a checksum and the payload, in the manner of a write-ahead log. A frame is
// in the spool once Append returns true: a killed process keeps it (the kernel holds
// what was written), and SyncIfDue makes it survive a power loss at most a second
// later. The storage thread reads the records back in order, stores them, and marks
// how far they are stored; the mark outlives the process, so a start reads on from it,
// and segments wholly before it are deleted. Memory stays flat however far the
// storage thread falls behind: the backlog waits on disk.
class CFrameSpool {
public:
    static constexpr int64_t kSegmentBytes = 8 << 20;
    static constexpr int kSyncIntervalMs = 1000;
    static constexpr const char* kMarkFile = "MARK";

    // `folder` is made when missing. Open reads the mark, cuts a torn or corrupt tail
    // off the last segment and starts a new one for appends; false (with the error log
    // told) when the folder cannot be used.
    explicit CFrameSpool(std::string folder, int syncIntervalMs = kSyncIntervalMs,
                         int64_t segmentBytes = kSegmentBytes);
    ~CFrameSpool();
    CFrameSpool(const CFrameSpool&) = delete;
    CFrameSpool& operator=(const CFrameSpool&) = delete;
    bool Open() EXCLUDES(m_lock);

    // Appends the frame; any thread. False when it could not be written (a full disk):
    // nothing of it stays in the spool, and the caller must tell the host that the
    // frame was not taken. The first refusal and the first success after refusals
    // each write one line to the error log.
    bool Append(const CDataFrame& frame) EXCLUDES(m_lock);

    // Storage thread: up to `maxRecords` records after the read position, in order;
    // the read position moves past them.
    std::vector<SpooledRecord> ReadBatch(size_t maxRecords) EXCLUDES(m_lock);
    // Storage thread: the records up to `end` are stored.
    void MarkStored(const SpoolPosition& end) EXCLUDES(m_lock);
    // Storage thread: the records read after the last one marked stored are read again.
    void RewindToMark() { m_read.position = m_stored; }
    // Storage thread: once per sync interval (always when `force`), makes the appended
    // records durable, writes the mark and deletes the segments wholly stored.
    void SyncIfDue(bool force = false) EXCLUDES(m_lock);

    // Where the next record will be appended. Any thread.
    SpoolPosition WriteEnd() const EXCLUDES(m_lock);
    // Records appended (or found at start) and not yet marked stored. Any thread.
    long Backlog() const EXCLUDES(m_lock);
    // For tests: frames refused since start.
    long RefusedCount() const EXCLUDES(m_lock);

private:
    struct ReadState {
        SpoolPosition position;
        std::FILE* file = nullptr;
        uint64_t fileSegment = 0;
    };
    std::string SegmentPath(uint64_t segment) const;
    std::vector<uint64_t> Segments() const;
    bool StartSegment(uint64_t segment) REQUIRES(m_lock);
    // Counts the valid records of a segment from `offset`; cuts the file after the last
    // valid one when `cutTail`.
    long ScanSegment(uint64_t segment, int64_t offset, bool cutTail);
    bool ReadRecord(SpooledRecord& out);
    void WriteMark(const SpoolPosition& mark);
    void DropStoredSegments(const SpoolPosition& mark) EXCLUDES(m_lock);

    const std::string m_strFolder;
    const int m_nSyncIntervalMs;
    const int64_t m_nSegmentBytes;
    mutable Mutex m_lock;
    std::FILE* m_pAppend GUARDED_BY(m_lock) = nullptr;
    SpoolPosition m_writeEnd GUARDED_BY(m_lock);  // after the last whole record
    // Segments finished since the last sync, kept open to be made durable.
    std::vector<std::FILE*> m_toSync GUARDED_BY(m_lock);
    bool m_bNewSegment GUARDED_BY(m_lock) = false;  // the folder's names need a sync
    long m_nBacklog GUARDED_BY(m_lock) = 0;
    long m_nRefused GUARDED_BY(m_lock) = 0;
    CFailureLog m_failures GUARDED_BY(m_lock);
    // Storage thread only.
    ReadState m_read;
    SpoolPosition m_stored;
    SpoolPosition m_writtenMark;
    std::chrono::steady_clock::time_point m_lastSync;
};
