#pragma once

#include <memory>
#include <string>
#include <vector>

#include "hostlib/VktRecords.h"

// Frames that keep coming while the host runs: lines appended to a frame file (or
// standard input), or simulated towers at every 10-minute mark in real time.
class CLiveSource {
public:
    virtual ~CLiveSource() = default;
    // Waits at most `waitMs` for new frames and appends them; a bad line is reported
    // in `errors` ("line N: reason") and skipped. False once the source has ended (the
    // end of standard input); a followed file never ends.
    virtual bool Poll(std::vector<CDataFrame>& frames, std::vector<std::string>& errors,
                      int waitMs) = 0;
    // The line number of each frame the latest Poll appended, in order, for a source
    // that reads lines; empty for another.
    virtual std::vector<long> LastLines() const { return {}; }
};

// Follows FILE ("-" for standard input) from its start; null (with `error`) when it
// cannot be opened.
std::unique_ptr<CLiveSource> FollowFrames(const std::string& path, std::string& error);

// MODE is "live" or "live:SPEED": the towers' frames at every 10-minute mark of the
// process clock, which runs SPEED times as fast (1 by default) from now on. Null (with
// `error`) for another text.
std::unique_ptr<CLiveSource> SimulateLive(const std::string& mode,
                                          const std::vector<CRTUDef>& towers, std::string& error);
