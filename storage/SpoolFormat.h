#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "hostlib/VktRecords.h"

// The frame spool's files: numbered segments ("0000000000000001.spool", …), each a run
// of records. A record is an 8-byte header (the payload's length and a checksum of
// it) and the payload: RTU number, frame kind, frame time, item count and the items'
// bytes. A record is whole only when its length, checksum and item count agree.

// Where a record of the spool starts or ends: a segment and a byte offset in it.
struct SpoolPosition {
    uint64_t segment = 0;
    int64_t offset = 0;
    auto operator<=>(const SpoolPosition&) const = default;
};

namespace SpoolFormat {

constexpr size_t kHeaderBytes = 8;  // payload length, checksum
// Far above any frame a host sends (110 data types); a longer frame is refused.
constexpr uint32_t kMaxItems = 4096;
// RTU number, frame kind, frame time, item count.
constexpr size_t kFixedPayload = 4 + 4 + sizeof(DateTime) + 4;
constexpr size_t kMaxPayload = kFixedPayload + kMaxItems * sizeof(CDataItem);

// The whole record of the frame, header first, into `out`, which each host thread
// keeps so that a hand-over allocates nothing.
void Encode(const CDataFrame& frame, std::vector<unsigned char>& out);
// The frame of a payload; false when the payload is not one.
bool Decode(const std::vector<unsigned char>& payload, CDataFrame& frame);
// The payload of the record whose header starts at `at` in `bytes`, when it is whole
// and its checksum holds.
bool ParseAt(const std::vector<unsigned char>& bytes, size_t at,
             std::vector<unsigned char>& payload);
// The offset of the first whole record after `from` in `bytes`; npos when there is none.
size_t FindNextRecord(const std::vector<unsigned char>& bytes, size_t from);

std::string SegmentPath(const std::string& folder, uint64_t segment);
// The segment number of a file name; false for a file that is no segment.
bool ParseSegmentName(const std::string& name, uint64_t& segment);

}  // namespace SpoolFormat
