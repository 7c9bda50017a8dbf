#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "hostlib/VktRecords.h"

// Frames in JSON Lines, one frame a line:
// {"rtu":12,"kind":1,"time":"2009-03-12 15:00:00","items":[{"sensor":1207000,"id":7000,
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
// Calls `take` for each complete line of `text` (ended by '\n'; a '\r' before it is
// dropped) with the offset just past its end, and returns the offset past the last
// one: what follows it is a line still being written.
size_t ForEachLine(std::string_view text,
                   const std::function<void(const std::string& line, size_t end)>& take);
// Whether a line holds nothing but blanks: no frame and no error.
bool IsBlank(const std::string& line);
// Parses one line read at `place` ("line 12"): its frame is appended to `frames` and
// `place` to `places`, or "PLACE: reason" to `errors`; a blank line gives neither.
// True when it gave a frame.
bool TakeLine(const std::string& line, const std::string& place, std::vector<CDataFrame>& frames,
              std::vector<std::string>& places, std::vector<std::string>& errors);
// For tests: the two readings ParseLine combines. The usual line's reading gives nothing
// for a line of any other shape; the document's reading gives the frame or the message.
std::optional<CDataFrame> TEST_ReadUsualLine(const std::string& line);
std::optional<CDataFrame> TEST_ReadLineAsDocument(const std::string& line, std::string& error);
// One frame as a line of the file.
std::string FormatLine(const CDataFrame& frame);

// "YYYY-MM-DD HH:MM:SS" exactly, or ISO 8601 "YYYY-MM-DDTHH:MM:SS" (a fraction of a
// second dropped) in the host's local time, or with "Z" or an offset ("+08:00") converted
// to the host's local time; a real date; nothing otherwise.
std::optional<DateTime> ParseTime(const std::string& text);
// A span as "90", "20s", "10m", "1h" or "2d", in seconds; nothing for another text.
std::optional<double> ParseDuration(const std::string& text);
// A time given on the command line: "YYYY-MM-DD HH:MM" or "YYYY-MM-DD HH:MM:SS".
std::optional<DateTime> ParseOptionTime(const std::string& text);
// Why ParseOptionTime refused `text` given as option `name`: the wrong form, or a form
// that is right naming a day or time that does not exist ("2026-02-30 10:00").
std::string OptionTimeError(const char* name, const std::string& text);

}  // namespace FrameFile
