#include "storage/SpoolFormat.h"

#include <cstdio>
#include <cstring>

namespace SpoolFormat {

namespace {

constexpr const char* kSegmentSuffix = ".spool";

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

}  // namespace

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

bool Decode(const std::vector<unsigned char>& payload, CDataFrame& frame) {
    if (payload.size() < kFixedPayload) return false;
    const unsigned char* in = payload.data();
    frame.m_nRTUID = Get<int32_t>(in);
    frame.m_nKind = Get<int32_t>(in);
    frame.m_tTime = Get<DateTime>(in);
    const uint32_t count = Get<uint32_t>(in);
    if (count > kMaxItems || payload.size() != kFixedPayload + count * sizeof(CDataItem)) {
        return false;
    }
    frame.m_arItems.resize(count);
    if (count > 0) std::memcpy(frame.m_arItems.data(), in, count * sizeof(CDataItem));
    return true;
}

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

bool ParseSegmentName(const std::string& name, uint64_t& segment) {
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

size_t FindNextRecord(const std::vector<unsigned char>& bytes, size_t from) {
    std::vector<unsigned char> payload;
    CDataFrame record;
    for (size_t at = from + 1; at + kHeaderBytes + kFixedPayload <= bytes.size(); ++at) {
        if (ParseAt(bytes, at, payload) && Decode(payload, record)) return at;
    }
    return std::string::npos;
}

std::string SegmentPath(const std::string& folder, uint64_t segment) {
    char name[32];
    std::snprintf(name, sizeof name, "%016llu%s", static_cast<unsigned long long>(segment),
                  kSegmentSuffix);
    return folder + "/" + name;
}

}  // namespace SpoolFormat
