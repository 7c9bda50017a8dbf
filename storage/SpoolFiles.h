#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// The file operations of the frame spool, so that a test can put beneath it a file
// layer that forgets what was not synced, as a power cut does. The spool calls them
// from the host's threads (appends, under its lock) and the storage thread.
class CSpoolFiles {
public:
    virtual ~CSpoolFiles() = default;

    // A file open for appending.
    class Appender {
    public:
        virtual ~Appender() = default;
        // Writes the bytes whole at the end, or returns false (errno tells why).
        virtual bool Append(const unsigned char* data, size_t size) = 0;
        // Cuts the file to `size` bytes.
        virtual bool Truncate(int64_t size) = 0;
        // Makes what was appended durable.
        virtual bool Sync() = 0;
    };
    // A file open for reading at any offset.
    class Reader {
    public:
        virtual ~Reader() = default;
        // Up to `size` bytes from `offset` into `out` (resized to what was read).
        virtual void ReadAt(int64_t offset, size_t size, std::vector<unsigned char>& out) = 0;
    };

    // Opens `path` for appending, made when missing; null when it cannot be.
    virtual std::unique_ptr<Appender> OpenAppend(const std::string& path) = 0;
    virtual std::unique_ptr<Reader> OpenRead(const std::string& path) = 0;
    // The file's size; -1 when it cannot be looked at.
    virtual int64_t Size(const std::string& path) = 0;
    virtual bool Truncate(const std::string& path, int64_t size) = 0;
    // The names of the files in `folder`, in no order.
    virtual std::vector<std::string> List(const std::string& folder) = 0;
    virtual bool MakeFolder(const std::string& folder) = 0;
    virtual bool Remove(const std::string& path) = 0;
    // Writes `text` into a new file `path`, made durable before it returns.
    virtual bool WriteSynced(const std::string& path, const std::string& text) = 0;
    virtual bool Rename(const std::string& from, const std::string& to) = 0;
    // Makes the folder's names durable: files made, renamed and removed in it.
    virtual bool SyncFolder(const std::string& folder) = 0;
};

// The disk's own files.
CSpoolFiles& DiskSpoolFiles();
