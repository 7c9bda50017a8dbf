#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "storage/SpoolFiles.h"
#include "storage/SpoolFormat.h"

// A record read back from the spool, with the positions where it starts and just
// after it.
struct SpooledRecord {
    std::unique_ptr<CDataFrame> record;
    SpoolPosition start;
    SpoolPosition end;
};

// What a segment holds from an offset: its whole records, and where the last of them
// ends (the bytes after it are a torn record).
struct SegmentScan {
    long records = 0;
    int64_t wholeEnd = 0;
    int64_t size = -1;  // -1: the segment could not be read
};
SegmentScan ScanSegment(CSpoolFiles& files, const std::string& path, int64_t offset);

// Reads the spool's records in order from a position, one segment at a time. The
// storage thread's alone.
class CSpoolReader {
public:
    CSpoolReader(CSpoolFiles& files, std::string folder)
        : m_files(files), m_strFolder(std::move(folder)) {}

    const SpoolPosition& Position() const { return m_position; }
    void SetPosition(const SpoolPosition& position) { m_position = position; }

    // The record at the position, when it is whole and ends by `limit` (the segment's
    // whole bytes); the position moves past it.
    bool ReadRecord(SpooledRecord& out, int64_t limit);
    // Past damage at the position: on to the next whole record before `limit`, or to
    // `limit`. Returns the bytes skipped.
    int64_t SkipDamage(int64_t limit);

private:
    CSpoolFiles& m_files;
    const std::string m_strFolder;
    SpoolPosition m_position;
    std::unique_ptr<CSpoolFiles::Reader> m_file;
    uint64_t m_fileSegment = 0;
};
