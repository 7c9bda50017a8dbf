#pragma once

#include <cstdint>
#include <memory>

// Lowers the process's file size limit while it lives, so that a write stops half way
// as on a full disk. `set` is false where the system has no such limit (Windows).
class FileSizeLimit {
public:
    explicit FileSizeLimit(uint64_t bytes);
    ~FileSizeLimit();
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

    bool set = false;

private:
    uint64_t m_previousSoft = 0;
    uint64_t m_previousHard = 0;
};
