#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/System.h"

// How far a followed frames file was handed over to the plug-in, kept in the host
// directory so that a restarted host goes on after the last frame the plug-in took
// instead of at line 1.
//
// A file is known by its identity (device and inode) and by its head: a hash of its
// first bytes, at most kHeadBytes, and how many bytes the hash covers. A file cut short
// and written again keeps its identity but not its head; another file under the same
// name has another identity; a file renamed keeps both.

// The first bytes of a file, as a hash.
struct CFileHead {
    uint64_t bytes = 0;  // how many of the first bytes the hash covers
    uint64_t hash = 0;   // 64-bit FNV-1a of them
    bool operator==(const CFileHead&) const = default;
};

// A place in a followed file, always just after a line's end.
struct CReadMark {
    System::FileIdentity file;
    CFileHead head;
    uint64_t offset = 0;  // bytes from the file's start
    long line = 0;        // the lines before it
    bool operator==(const CReadMark&) const = default;
};

namespace FollowPosition {

inline constexpr size_t kHeadBytes = 256;
// The registry's name in the host directory.
inline constexpr const char* kFileName = "follow-position.json";

CFileHead HeadOf(const char* bytes, size_t size);

// What the registry holds: the followed path as it was named and the place. Nothing
// when there is no registry; nothing with `error` when it cannot be read or is not
// one (a start then reads the file from line 1 rather than guess).
std::optional<CReadMark> Load(const std::string& registry, std::string& followed,
                              std::string& error);

// Replaces the registry whole: a temporary file, flushed to the disk, renamed over it,
// the folder flushed; a kill or a power loss leaves the old place or the new one.
// False (with `error`) when it cannot be written, the old registry then kept.
bool Save(const std::string& registry, const std::string& followed, const CReadMark& mark,
          std::string& error);

}  // namespace FollowPosition
