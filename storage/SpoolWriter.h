#pragma once

#include <memory>
#include <string>
#include <vector>

#include "storage/SpoolFiles.h"
#include "storage/SpoolFormat.h"

// Appends records to the spool's newest segment and makes them durable. The spool
// calls it under its own lock.
class CSpoolWriter {
public:
    CSpoolWriter(CSpoolFiles& files, std::string folder)
        : m_files(files), m_strFolder(std::move(folder)) {}

    // Opens segment `segment` for the appends after it; the one open before waits for
    // the next Sync. False (errno tells why) when it cannot be opened.
    bool StartSegment(uint64_t segment);
    bool IsOpen() const { return m_pAppend != nullptr; }
    // Appends the encoded record whole; false when it could not be written, with
    // nothing of it left in the segment and `complaint` saying why.
    bool Append(const std::vector<unsigned char>& bytes, std::string& complaint);
    // Makes every append durable, and the names of new segments; false when some of it
    // could not be.
    bool Sync();

    // After the last whole record, and after the last synced one.
    SpoolPosition End() const { return m_end; }
    SpoolPosition DurableEnd() const { return m_durableEnd; }

private:
    CSpoolFiles& m_files;
    const std::string m_strFolder;
    std::unique_ptr<CSpoolFiles::Appender> m_pAppend;
    // Segments finished since the last sync, kept open to be made durable.
    std::vector<std::unique_ptr<CSpoolFiles::Appender>> m_toSync;
    bool m_bNewSegment = false;  // the folder's names need a sync
    SpoolPosition m_end;
    SpoolPosition m_durableEnd;
};
