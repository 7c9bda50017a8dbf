#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "hostlib/VktRecords.h"
#include "platform/Mutex.h"
#include "storage/FailureLog.h"
#include "storage/SpoolFiles.h"
#include "storage/SpoolReader.h"
#include "storage/SpoolWriter.h"

// The durable hand-over between the host's threads and the storage thread: an
// append-only log of frames in numbered segment files, each record its payload's
// length, a checksum and the payload, in the manner of a write-ahead log. A frame is
// in the spool once Append returns true: a killed process keeps it (the kernel holds
// what was written), and it is synced within a sync interval of its append (by the
// appending thread when the last sync is older, or by the storage thread), so that a
// power loss costs at most the frames of that last interval. The storage thread reads
// the records back in order, stores them, and marks how far they are stored; the mark
// outlives the process, so a start reads on from it, and segments wholly before it are
// deleted. A record whose backend rows have no other durable home (no station file) is
// held by the backend writer until the backend has them: the mark never passes a held
// record. Memory stays flat however far the storage thread falls behind: the backlog
// waits on disk.
class CFrameSpool {
public:
    static constexpr int64_t kSegmentBytes = 8 << 20;
    static constexpr int kSyncIntervalMs = 1000;
    static constexpr uint32_t kMaxItems = SpoolFormat::kMaxItems;

    // `folder` is made when missing. Open reads the mark, cuts a torn tail off the last
    // segment and starts a new one for appends; false (with the error log told) when
    // the folder cannot be used. `files` outlives the spool.
    explicit CFrameSpool(std::string folder, int syncIntervalMs = kSyncIntervalMs,
                         int64_t segmentBytes = kSegmentBytes,
                         CSpoolFiles& files = DiskSpoolFiles());
    ~CFrameSpool();
    CFrameSpool(const CFrameSpool&) = delete;
    CFrameSpool& operator=(const CFrameSpool&) = delete;
    bool Open() EXCLUDES(m_lock);

    // Storage thread, before it reads: makes the stored records' rows durable (the
    // station files synced); false when they could not be. The mark moves past records
    // only after it returned true, so a power loss never leaves a record marked stored
    // whose rows it took.
    void SetDurabilityStep(std::function<bool()> step) { m_durabilityStep = std::move(step); }

    // Appends the frame; any thread. False when it could not be written (a full disk,
    // or a frame of more than kMaxItems items, logged with its RTU, time and size):
    // nothing of it stays in the spool, and the caller must tell the host that the
    // frame was not taken. The first disk refusal and the first success after
    // refusals each write one line to the error log.
    bool Append(const CDataFrame& frame) EXCLUDES(m_lock);

    // Storage thread: up to `maxRecords` records after the read position, in order;
    // the read position moves past them. A damaged record is logged with its segment
    // and offset, counted, and passed: reading goes on at the next whole record.
    std::vector<SpooledRecord> ReadBatch(size_t maxRecords) EXCLUDES(m_lock);
    // Storage thread: the records up to `end` are stored.
    void MarkStored(const SpoolPosition& end) EXCLUDES(m_lock);
    // Storage thread: the records read after the last one marked stored are read again.
    void RewindToMark() { m_reader.SetPosition(m_stored); }
    // Any thread: the record starting at `start` is not stored until Release; the mark
    // stays before it, so a start reads it again.
    void Hold(const SpoolPosition& start) EXCLUDES(m_lock);
    void Release(const SpoolPosition& start) EXCLUDES(m_lock);
    // Storage thread: once per sync interval (always when `force`), makes the appended
    // records durable, writes the mark and deletes the segments wholly stored.
    void SyncIfDue(bool force = false) EXCLUDES(m_lock);

    // Where the next record will be appended. Any thread.
    SpoolPosition WriteEnd() const EXCLUDES(m_lock);
    // Records appended (or found at start) and not yet marked stored. Any thread.
    long Backlog() const EXCLUDES(m_lock);
    // Damaged records passed over since start. Any thread.
    long DamagedCount() const EXCLUDES(m_lock);
    // For tests: frames refused since start, and the position up to which appends
    // are known durable.
    long RefusedCount() const EXCLUDES(m_lock);
    SpoolPosition TEST_DurableEnd() const EXCLUDES(m_lock);

private:
    std::vector<uint64_t> Segments() const;
    // Reads the mark and counts the records after it, cutting a torn tail off the last
    // segment; the mark.
    SpoolPosition Recover(const std::vector<uint64_t>& segments);
    bool RefuseOversized(const CDataFrame& frame) EXCLUDES(m_lock);
    bool SyncDue(std::chrono::steady_clock::time_point now) const REQUIRES(m_lock);
    void SyncAppended(std::chrono::steady_clock::time_point now) REQUIRES(m_lock);
    // Counts the whole records of a segment from `offset`; cuts the file after the last
    // one when `cutTail`.
    long CountRecords(uint64_t segment, int64_t offset, bool cutTail);
    // Past damage at the read position, counted and logged.
    void SkipDamage(int64_t limit);
    SpoolPosition MarkPosition() const EXCLUDES(m_lock);
    void DropStoredSegments(const SpoolPosition& mark) EXCLUDES(m_lock);

    const std::string m_strFolder;
    const int m_nSyncIntervalMs;
    const int64_t m_nSegmentBytes;
    CSpoolFiles& m_files;
    mutable Mutex m_lock;
    CSpoolWriter m_writer GUARDED_BY(m_lock);
    std::chrono::steady_clock::time_point m_lastSync GUARDED_BY(m_lock);
    std::multiset<SpoolPosition> m_held GUARDED_BY(m_lock);
    long m_nBacklog GUARDED_BY(m_lock) = 0;
    long m_nRefused GUARDED_BY(m_lock) = 0;
    long m_nDamaged GUARDED_BY(m_lock) = 0;
    CFailureLog m_failures GUARDED_BY(m_lock);
    // Storage thread only.
    CSpoolReader m_reader;
    SpoolPosition m_stored;
    SpoolPosition m_writtenMark;
    std::chrono::steady_clock::time_point m_lastMark;
    std::function<bool()> m_durabilityStep;
};
