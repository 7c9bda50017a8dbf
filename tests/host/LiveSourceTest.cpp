// Frames that keep coming: a followed file, standard input, the live simulation.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "host/FrameFile.h"
#include "host/LiveSource.h"
#include "platform/Clock.h"
#include "tests/support/TestHost.h"

namespace {

std::string FrameLine(int rtu, int minute) {
    CDataFrame frame;
    frame.m_nRTUID = rtu;
    frame.m_nKind = 1;
    frame.m_tTime = DateTime(2009, 3, 12, 0, minute, 0);
    return FrameFile::FormatLine(frame);
}

struct Polled {
    std::vector<CDataFrame> frames;
    std::vector<std::string> errors;
    bool more = true;
};

Polled PollOnce(CLiveSource& source) {
    Polled polled;
    polled.more = source.Poll(polled.frames, polled.errors, 10);
    return polled;
}

namespace fs = std::filesystem;

// Changes the followed file step by step, as a feeder or a rotation would: a number
// appends tower 1's frame of that minute, "rename" moves the file to PATH.1, "copy"
// copies it there ("twin": to another name beside it), "cut" cuts it to 0 bytes, "replace" puts a
// new empty file under its name, "garble" spoils the position kept beside it in pos.json.
void Apply(const std::string& path, const std::string& steps) {
    std::istringstream words(steps);
    for (std::string word; words >> word;) {
        if (std::isdigit(static_cast<unsigned char>(word[0]))) {
            std::ofstream(path, std::ios::app) << FrameLine(1, std::stoi(word)) << "\n";
        }
        if (word == "rename") fs::rename(path, path + ".1");
        if (word == "copy") fs::copy_file(path, path + ".1");
        if (word == "twin") fs::copy_file(path, fs::path(path).parent_path() / "other.jsonl");
        if (word == "cut") fs::resize_file(path, 0);
        if (word == "replace") std::ofstream(path + ".new").close();
        if (word == "replace") fs::rename(path + ".new", path);
        if (word == "garble") std::ofstream(fs::path(path).parent_path() / "pos.json") << "{";
    }
}

std::unique_ptr<CLiveSource> Follow(const std::string& path, const std::string& registry) {
    std::string error;
    auto source = FollowFrames(path, registry, error);
    EXPECT_TRUE(source) << error;
    return source;
}

// The minutes of the frames `turns` turns of a feed hand over, each frame accepted.
std::vector<int> HandOver(CLiveSource& source, std::vector<std::string>& notes, int turns = 3) {
    std::vector<int> minutes;
    CLiveFeed feed(
        source,
        [&](const CDataFrame& frame, const std::string&, bool) {
            minutes.push_back(frame.m_tTime.GetMinute());
            return FrameOutcome{};
        },
        0);
    std::vector<std::string> errors;
    for (int turn = 0; turn < turns; ++turn) feed.Turn(0, errors, notes);
    return minutes;
}

std::string Joined(const std::vector<std::string>& notes) {
    std::string text;
    for (const std::string& note : notes) text += note + "\n";
    return text;
}

// A line still being written waits for its end; bad lines are counted and skipped.
TEST(LiveSourceTest, AFollowedFileHandsOnCompleteLinesOnly) {
    TestHost host;
    const std::string path = host.Path("in.jsonl");
    std::ofstream(path) << FrameLine(1, 0) << "\n\n" << FrameLine(2, 10).substr(0, 20);
    std::string error;
    auto source = FollowFrames(path, "", error);
    ASSERT_TRUE(source) << error;
    Polled first = PollOnce(*source);
    ASSERT_EQ(first.frames.size(), 1u);
    EXPECT_TRUE(first.more) << "a followed file never ends";

    std::ofstream(path, std::ios::app) << FrameLine(2, 10).substr(20) << "\r\nbroken\n";
    Polled second = PollOnce(*source);
    ASSERT_EQ(second.frames.size(), 1u);
    EXPECT_EQ(second.frames[0].m_nRTUID, 2);
    ASSERT_EQ(second.errors.size(), 1u);
    EXPECT_EQ(second.errors[0].rfind("line 4: ", 0), 0u) << second.errors[0];
    EXPECT_TRUE(PollOnce(*source).frames.empty());
}

// Standard input ends at its end, and its last line counts without a line end.
TEST(LiveSourceTest, StandardInputEndsWithItsLastLine) {
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    const int savedStdin = dup(STDIN_FILENO);
    dup2(pipeFds[0], STDIN_FILENO);
    close(pipeFds[0]);
    std::string error;
    auto source = FollowFrames("-", "", error);
    const std::string text = FrameLine(1, 0) + "\n" + FrameLine(3, 20);
    ASSERT_EQ(write(pipeFds[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
    Polled open = PollOnce(*source);
    EXPECT_EQ(open.frames.size(), 1u);
    EXPECT_TRUE(open.more);
    close(pipeFds[1]);
    Polled ended = PollOnce(*source);
    ASSERT_EQ(ended.frames.size(), 1u);
    EXPECT_EQ(ended.frames[0].m_nRTUID, 3);
    EXPECT_FALSE(ended.more);
    source.reset();
    dup2(savedStdin, STDIN_FILENO);
    close(savedStdin);
}

// Each 10-minute mark the fast clock passes gives one frame of every tower, at the
// mark, and the process clock is placed there.
TEST(LiveSourceTest, TheLiveSimulationMakesEveryTowerAtEachMark) {
    ProcessClock::SetNow(DateTime(2009, 3, 12, 14, 9, 59));
    CRTUDef tower1, tower12;
    tower1.m_nRTUID = 1;
    tower1.m_nType = 100;
    tower12.m_nRTUID = 12;
    tower12.m_nType = 101;
    std::string error;
    auto source = SimulateLive("live:100000", {tower1, tower12}, error);
    ASSERT_TRUE(source) << error;
    std::vector<CDataFrame> frames;
    std::vector<std::string> errors;
    for (int poll = 0; poll < 200 && frames.size() < 4; ++poll) source->Poll(frames, errors, 10);
    ASSERT_EQ(frames.size(), 4u);
    std::set<std::pair<int, std::string>> made;
    for (const CDataFrame& frame : frames) made.emplace(frame.m_nRTUID, frame.m_tTime.Format());
    const std::set<std::pair<int, std::string>> expected{{1, "2009-03-12 14:10:00"},
                                                         {12, "2009-03-12 14:10:00"},
                                                         {1, "2009-03-12 14:20:00"},
                                                         {12, "2009-03-12 14:20:00"}};
    EXPECT_EQ(made, expected);
    EXPECT_GE(ProcessClock::Now(), DateTime(2009, 3, 12, 14, 20, 0));
    ProcessClock::Reset();
}

TEST(LiveSourceTest, SourcesThatCannotStartSayWhy) {
    struct Case {
        const char* mode;
        const char* error;
    };
    const Case cases[] = {
        {"live:0", "--simulate live:SPEED needs a SPEED above 0: live:0"},
        {"live:-2", "--simulate live:SPEED needs a SPEED above 0: live:-2"},
        {"live:fast", "--simulate live:SPEED needs a SPEED above 0: live:fast"},
        {"live:", "--simulate live:SPEED needs a SPEED above 0: live:"},
        {"lively", "not a live simulation: lively"},
    };
    for (const Case& c : cases) {
        std::string error;
        EXPECT_FALSE(SimulateLive(c.mode, {}, error)) << c.mode;
        EXPECT_EQ(error, c.error);
    }
    std::string error;
    EXPECT_FALSE(FollowFrames("/nonexistent/in.jsonl", "", error));
    EXPECT_EQ(error, "--follow: cannot open /nonexistent/in.jsonl");
    EXPECT_FALSE(FollowInbox("/nonexistent", error));
    EXPECT_EQ(error, "--inbox: /nonexistent is not a folder");
}

// A restart goes on after the last frame handed over, whatever became of the file while
// the host was stopped: nothing is handed over twice and nothing is lost. A file that
// cannot be told to be the one read before is read from line 1, and a note says why.
TEST(LiveSourceTest, AFollowedFileGoesOnAfterARestart) {
    TestHost host;
    const struct {
        const char* name;
        const char* whileStopped;  // steps of Apply
        std::vector<int> expected;
        const char* note;
    } cases[] = {
        {"appended", "3", {2, 3}, "goes on after line 2"},
        {"renamed away",
         "3 rename 10",
         {2, 3, 10},
         "is another file than the last run read: what followed line 2 is read from"},
        {"copied and cut short",
         "3 copy cut 10",
         {2, 3, 10},
         "was cut short or written anew since the last run: what followed line 2 is read from"},
        {"replaced",
         "replace 20 21",
         {20, 21},
         "is another file than the last run read: it is read from line 1"},
        {"position unreadable", "garble", {0, 1, 2}, "cannot read the position in"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::create_directory(host.Path(c.name));
        const std::string path = host.Path(std::string(c.name) + "/in.jsonl");
        const std::string registry = host.Path(std::string(c.name) + "/pos.json");
        Apply(path, "0 1");
        std::ofstream(path, std::ios::app) << FrameLine(1, 2).substr(0, 15);  // being written
        std::vector<std::string> notes;
        EXPECT_EQ(HandOver(*Follow(path, registry), notes), (std::vector<int>{0, 1}));
        std::ofstream(path, std::ios::app) << FrameLine(1, 2).substr(15) << "\n";
        Apply(path, c.whileStopped);
        notes.clear();
        EXPECT_EQ(HandOver(*Follow(path, registry), notes), c.expected);
        EXPECT_NE(Joined(notes).find(c.note), std::string::npos) << Joined(notes);
    }
}

// A rotation is noticed at the first poll after it, with what was written before it and
// after it: by rename (the old file read to its end first), by copy-truncate (what was
// not read yet taken from the copy); a file cut short or written anew with no copy beside
// it is read from its start.
TEST(LiveSourceTest, ARotationIsNoticedAtTheNextPollWithNothingLost) {
    TestHost host;
    const struct {
        const char* name;
        const char* steps;  // of Apply, after lines 0 and 1 were read
        std::vector<int> expected;
        const char* note;
    } cases[] = {
        {"rename", "2 rename 10", {2, 10}, "is a new file (rotated by rename)"},
        {"copy-truncate",
         "2 copy cut 10",
         {2, 10},
         "was cut short (rotated by copy-truncate): what followed line 2 is read from"},
        {"cut short", "2 cut 10", {10}, "no copy of it beside it held what followed line 2"},
        // A file beside it that begins alike but is not named as its copy is not one.
        {"twin", "2 twin cut 10", {10}, "no copy of it beside it held what followed line 2"},
        {"written anew", "2 cut 30 31 10", {30, 31, 10}, "it is read from its start"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::create_directory(host.Path(c.name));
        const std::string path = host.Path(std::string(c.name) + "/in.jsonl");
        Apply(path, "0 1");
        auto source = Follow(path, host.Path(std::string(c.name) + "/pos.json"));
        std::vector<std::string> notes;
        ASSERT_EQ(HandOver(*source, notes, 1), (std::vector<int>{0, 1}));
        Apply(path, c.steps);
        notes.clear();
        EXPECT_EQ(HandOver(*source, notes, 1), c.expected);
        ASSERT_EQ(notes.size(), 1u) << Joined(notes);
        EXPECT_NE(notes[0].find(c.note), std::string::npos) << notes[0];
    }
}

// A frame refused for now is offered again before anything after it, and the position
// kept for a restart does not pass it until it is taken.
TEST(LiveSourceTest, AFrameRefusedForNowIsOfferedAgainAndNotPassed) {
    TestHost host;
    const std::string path = host.Path("in.jsonl"), registry = host.Path("pos.json");
    Apply(path, "0 1 2");
    auto source = Follow(path, registry);
    std::vector<std::string> offered;  // "minute" or "minute again"
    int refusals = 2;
    CLiveFeed feed(
        *source,
        [&](const CDataFrame& frame, const std::string&, bool again) {
            const int minute = frame.m_tTime.GetMinute();
            offered.push_back(std::to_string(minute) + (again ? " again" : ""));
            if (minute == 1 && refusals-- > 0) return FrameOutcome{FrameFate::RefusedForNow, ""};
            return FrameOutcome{};
        },
        0);
    std::vector<std::string> errors, notes;
    EXPECT_TRUE(feed.Turn(0, errors, notes));
    source->KeepPosition();
    EXPECT_EQ(HandOver(*Follow(path, registry), notes), (std::vector<int>{1, 2}))
        << "a restart now offers the refused frame again";
    EXPECT_TRUE(feed.Turn(0, errors, notes));
    EXPECT_TRUE(feed.Turn(0, errors, notes));
    EXPECT_EQ(offered, (std::vector<std::string>{"0", "1", "1 again", "1 again", "2"}));
    EXPECT_EQ(feed.FramesRead(), 3);
    source->KeepPosition();
    EXPECT_TRUE(HandOver(*Follow(path, registry), notes).empty());
}

// Files renamed into the inbox are taken whole in name order; each goes to done/ once
// all of its frames were accepted, to rejected/ with the reasons by line when any line
// gave no frame or a frame was refused for good, and stays while a frame is refused for
// now or its last line has no end; names the feeder is still writing are left alone.
TEST(LiveSourceTest, TheInboxMovesEachFileByWhatBecameOfItsFrames) {
    TestHost host;
    const std::string inbox = host.Path("inbox");
    fs::create_directory(inbox);
    const struct {
        std::string name;
        std::string text;
        const char* where;     // "done", "rejected" or "" (stays)
        const char* why = "";  // in NAME.why
    } cases[] = {
        {"a.jsonl", FrameLine(1, 0) + "\n" + FrameLine(1, 10) + "\n", "done"},
        {"b.jsonl", FrameLine(1, 20) + "\nbroken\n", "rejected", "line 2: not a JSON object"},
        {"c.jsonl", FrameLine(99, 30) + "\n" + FrameLine(1, 30) + "\n", "rejected",
         "line 1: not known"},
        {"d.jsonl", FrameLine(2, 40) + "\n", "done"},  // refused for now at first
        {"e.jsonl", FrameLine(1, 50) + "\n" + FrameLine(1, 51), ""},
        {".f.jsonl", FrameLine(1, 52) + "\n", ""},
        {"g.jsonl.tmp", FrameLine(1, 53) + "\n", ""},
    };
    for (const auto& c : cases) std::ofstream(inbox + "/" + c.name) << c.text;
    std::string error;
    auto source = FollowInbox(inbox, error);
    ASSERT_TRUE(source) << error;
    std::vector<std::string> offered;
    bool refuseTower2 = true;
    CLiveFeed feed(
        *source,
        [&](const CDataFrame& frame, const std::string& place, bool) {
            offered.push_back(place);
            if (frame.m_nRTUID == 99) return FrameOutcome{FrameFate::RefusedForGood, "not known"};
            if (frame.m_nRTUID == 2 && std::exchange(refuseTower2, false)) {
                return FrameOutcome{FrameFate::RefusedForNow, ""};
            }
            return FrameOutcome{};
        },
        0);
    std::vector<std::string> errors, notes;
    for (int turn = 0; turn < 4; ++turn) feed.Turn(0, errors, notes);
    EXPECT_TRUE(fs::exists(inbox + "/d.jsonl")) << "kept while its frame waits";
    for (int turn = 0; turn < 3; ++turn) feed.Turn(0, errors, notes);
    EXPECT_EQ(offered, (std::vector<std::string>{
                           "a.jsonl line 1", "a.jsonl line 2", "b.jsonl line 1", "c.jsonl line 1",
                           "c.jsonl line 2", "d.jsonl line 1", "d.jsonl line 1"}));
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].rfind("b.jsonl line 2: not a JSON object", 0), 0u) << errors[0];
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string folder = *c.where ? inbox + "/" + c.where : inbox;
        EXPECT_EQ(ReadWholeFile(folder + "/" + c.name), c.text);
        EXPECT_EQ(fs::exists(folder + "/" + c.name + ".why"), *c.why != 0);
        EXPECT_NE(ReadWholeFile(folder + "/" + c.name + ".why").find(c.why), std::string::npos);
    }
    EXPECT_NE(Joined(notes).find("e.jsonl: its last line has no end yet"), std::string::npos)
        << Joined(notes);
}

}  // namespace
