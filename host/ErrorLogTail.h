#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The entries that the error log (VKTError.log in the current directory) gains while
// the host runs (the window shows them, a run prints them for the journal): each a stamped first
// line ("YYYY-MM-DD HH:MM:SS text") with the lines that continue it (a driver's further
// diagnostics).
class CErrorLogTail {
public:
    struct Entry {
        std::string stamp;  // the process clock's time of the entry
        std::string text;   // without the stamp; continuation lines joined by '\n'
    };

    // Starts at the log's present end.
    CErrorLogTail();
    // The whole entries written since the last call.
    std::vector<Entry> NewEntries();
    // Whether an entry's text tells that things are well again (the backend answers
    // again, a range of rows was refilled whole) rather than that something failed.
    static bool TellsRecovery(const std::string& text);

private:
    uint64_t m_nOffset = 0;
};
