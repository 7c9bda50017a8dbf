#pragma once

#include <optional>
#include <string>
#include <vector>

#include "hostlib/VktRecords.h"

// Frames in JSON Lines, one frame a line:
// {"rtu":12,"kind":1,"time":"2009-03-12 15:00:00","items":[{"sensor":1201,"id":7000,
//  "kind":0,"time":"2009-03-12 15:00:00","value":5.3,"status":0}]}
namespace FrameFile {

struct Result {
    std::vector<CDataFrame> frames;
    std::vector<long> lines;          // the line number of each frame
    std::vector<std::string> errors;  // "line N: reason" for every line skipped
    std::string failure;              // why the file could not be read at all; else empty
};

// Parses one line; on failure returns nothing and sets `error`.
std::optional<CDataFrame> ParseLine(const std::string& line, std::string& error);
// Reads the whole file; bad lines are reported and skipped. A file that cannot be read
// (missing, a folder, no permission) yields no frames and a `failure` naming it.
Result Read(const std::string& path);
// One frame as a line of the file.
std::string FormatLine(const CDataFrame& frame);

// "YYYY-MM-DD HH:MM:SS" exactly, and a real date; nothing otherwise.
std::optional<DateTime> ParseTime(const std::string& text);
// A time given on the command line: "YYYY-MM-DD HH:MM" or "YYYY-MM-DD HH:MM:SS".
std::optional<DateTime> ParseOptionTime(const std::string& text);

}  // namespace FrameFile
