// Frames that keep coming: a followed file, standard input, the live simulation.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <set>

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

// A line still being written waits for its end; bad lines are counted and skipped.
TEST(LiveSourceTest, AFollowedFileHandsOnCompleteLinesOnly) {
    TestHost host;
    const std::string path = host.Path("in.jsonl");
    std::ofstream(path) << FrameLine(1, 0) << "\n\n" << FrameLine(2, 10).substr(0, 20);
    std::string error;
    auto source = FollowFrames(path, error);
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
    auto source = FollowFrames("-", error);
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
    EXPECT_FALSE(FollowFrames("/nonexistent/in.jsonl", error));
    EXPECT_EQ(error, "--follow: cannot open /nonexistent/in.jsonl");
}

}  // namespace
