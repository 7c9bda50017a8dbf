#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/SourceHealth.h"
#include "hostlib/VktRecords.h"

// What became of a frame the host offered to the plug-in.
enum class FrameFate {
    Accepted,        // SaveRTDB took it: it survives a kill from now on
    RefusedForGood,  // it never will be taken (an RTU the host does not know)
    RefusedForNow,   // not now (a full spool, the plug-in stopping): offered again later
};

struct FrameOutcome {
    FrameFate fate = FrameFate::Accepted;
    std::string why;  // for a refusal: "RTU 99, time ...: the reason"
};

// Frames that keep coming while the host runs: lines appended to a frame file (or
// standard input), frames files dropped into a folder, or simulated towers at every
// 10-minute mark in real time.
class CLiveSource {
public:
    virtual ~CLiveSource() = default;
    // Waits at most `waitMs` for new frames and appends them; a bad line is reported
    // in `errors` ("line N: reason") and skipped. False once the source has ended (the
    // end of standard input); a followed file or a folder never ends.
    virtual bool Poll(std::vector<CDataFrame>& frames, std::vector<std::string>& errors,
                      int waitMs) = 0;
    // Where each frame the latest Poll appended came from ("line 12", "a.jsonl line
    // 3"), in order, for a source that reads lines; empty for another.
    virtual std::vector<std::string> LastPlaces() const { return {}; }
    // Tells the source what became of the oldest frame it handed out and was not told
    // of yet. Frames are told of in the order they were handed out, each once, and
    // only once settled: a frame refused for now is not told of (the host offers it
    // again). A followed file keeps its position past the frames told of; a folder
    // moves a file away once all of its frames are.
    virtual void Acknowledge(const FrameOutcome& outcome) { (void)outcome; }
    // Makes the position kept for a restart durable now (a clean stop); a source that
    // keeps none does nothing. The source keeps it on its own, at most once a second,
    // while frames flow.
    virtual void KeepPosition() {}
    // One line for each thing the source saw since the last call that an operator
    // should know of (a rotation, where a restart went on, a file moved away).
    virtual std::vector<std::string> TakeNotes() { return {}; }
    // How the source's devices or connections fare; empty for a source of files.
    virtual std::vector<CSourceHealth> Health() const { return {}; }
};

// Hands what a live source brings to the plug-in in order. A frame refused for now is
// held, with every frame after it, and offered again after a pause; the source is not
// polled meanwhile, so nothing after it is offered first and its position does not
// pass it. A turn during the pause returns at once: one thread turns several feeds.
// Every frame settled (taken, or refused for good) is acknowledged to the source. Not
// thread-safe: one acquisition thread.
class CLiveFeed {
public:
    // Offers a frame to the plug-in; `again` when it was refused for now before.
    using Offer =
        std::function<FrameOutcome(const CDataFrame& frame, const std::string& place, bool again)>;
    CLiveFeed(CLiveSource& source, Offer offer, int retryMs = 1000);

    // One turn: offers the held frames again after the pause, or polls the source for
    // at most `waitMs` and offers what it brought. Appends the source's bad lines to
    // `errors` and its notes to `notes`. False once the source has ended and nothing
    // is held.
    bool Turn(int waitMs, std::vector<std::string>& errors, std::vector<std::string>& notes);
    // Frames the source brought, each counted once however often it was offered.
    long FramesRead() const { return m_nRead; }
    // Whether a frame refused for now waits for its next offer.
    bool Holding() const { return m_bRefused; }

private:
    struct Held {
        CDataFrame frame;
        std::string place;
    };
    void OfferHeld();

    CLiveSource& m_source;
    const Offer m_offer;
    const int m_retryMs;
    std::deque<Held> m_held;  // polled, not settled yet; the front was refused if m_bRefused
    bool m_bRefused = false;
    std::chrono::steady_clock::time_point m_retryAt;
    bool m_bEnded = false;
    long m_nRead = 0;
};

// Follows FILE ("-" for standard input) from where the registry `positionFile` says
// the last run left it (from its start without one, or when FILE is not the file it
// was kept for), noticing rotations by rename and by copy-truncate. Keeps the position
// in `positionFile` ("" keeps none; standard input never does). Null (with `error`)
// when FILE cannot be opened.
std::unique_ptr<CLiveSource> FollowFrames(const std::string& path, const std::string& positionFile,
                                          std::string& error);

// Frames files renamed into DIR, each taken whole in name order (names beginning with
// '.' or ending in ".tmp" are left alone; a file whose last line has no end yet waits).
// A file whose frames were all accepted goes to DIR/done/; one with lines that give no
// frame or frames refused for good goes to DIR/rejected/ with NAME.why naming them.
// Null (with `error`) when DIR is not a folder or done/ and rejected/ cannot be made.
std::unique_ptr<CLiveSource> FollowInbox(const std::string& dir, std::string& error);

// MODE is "live" or "live:SPEED": the towers' frames at every 10-minute mark of the
// process clock, which runs SPEED times as fast (1 by default) from now on. Null (with
// `error`) for another text.
std::unique_ptr<CLiveSource> SimulateLive(const std::string& mode,
                                          const std::vector<CRTUDef>& towers, std::string& error);
