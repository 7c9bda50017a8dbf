#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/LiveSource.h"

// What one line of a followed file gives: a frame, the reason it gives none (a bad
// line), or neither (a blank line, a header line). A frame with a reason is handed over
// and the reason reported as well (a row with one value that is not a number).
struct LineOutcome {
    std::optional<CDataFrame> frame;
    std::string error;  // without the place: the follower puts "line N: " before it
};

// Turns the lines of a followed file into frames, for the follower that reads them.
// Called on the follower's thread only.
class CLineParser {
public:
    virtual ~CLineParser() = default;
    // Reading begins in a file: a new one after a rotation, the same one read anew, or
    // one that a start goes on in past its first line. What earlier lines taught the
    // parser (a header) no longer holds.
    virtual void Begin() {}
    // Whether a start past a file's first line must show the parser the lines before
    // it first (a table's header lies there).
    virtual bool RecallsEarlierLines() const { return false; }
    // A line before the place reading begins at, taken by an earlier run: the parser
    // learns from it and gives nothing.
    virtual void Recall(const std::string& line, long number) {
        (void)line;
        (void)number;
    }
    // One complete line (its end removed), `number` counted from the file's start.
    virtual LineOutcome Take(const std::string& line, long number) = 0;
    // What the parser saw that an operator should know of (a new header mid-file).
    virtual std::vector<std::string> TakeNotes() { return {}; }
};

// Follows PATH as FollowFrames does (the position kept in the registry `positionFile`,
// "" keeping none; rotations by rename and copy-truncate), its lines turned into frames
// by `parser`. Null (with `error`: "cannot open PATH") when PATH cannot be opened.
std::unique_ptr<CLiveSource> FollowLines(const std::string& path, const std::string& positionFile,
                                         std::unique_ptr<CLineParser> parser, std::string& error);
