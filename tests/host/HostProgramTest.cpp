#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>

#include "host/FrameFile.h"
#include "host/HostRun.h"
#include "host/Simulator.h"
#include "tests/support/TestHost.h"

namespace {

TEST(FrameFileTest, ParsesTheDocumentedLine) {
    std::string error;
    auto frame = FrameFile::ParseLine(
        R"({"rtu":12,"kind":1,"time":"2009-03-12 15:00:00","items":[{"sensor":1201,"id":7000,)"
        R"("kind":0,"time":"2009-03-12 15:00:00","value":5.3,"status":0}]})",
        error);
    ASSERT_TRUE(frame) << error;
    EXPECT_EQ(frame->m_nRTUID, 12);
    EXPECT_EQ(frame->m_nKind, 1);
    EXPECT_EQ(frame->m_tTime.Format(), "2009-03-12 15:00:00");
    ASSERT_EQ(frame->m_arItems.size(), 1u);
    EXPECT_EQ(frame->m_arItems[0].m_nSensorID, 1201);
    EXPECT_EQ(frame->m_arItems[0].m_nDataID, 7000);
    EXPECT_FLOAT_EQ(frame->m_arItems[0].m_fValue, 5.3f);

    auto again = FrameFile::ParseLine(FrameFile::FormatLine(*frame), error);
    ASSERT_TRUE(again) << error;
    EXPECT_EQ(FrameFile::FormatLine(*again), FrameFile::FormatLine(*frame));
}

TEST(FrameFileTest, BadLinesAreReportedWithTheirNumberAndSkipped) {
    TestHost host;
    const std::string good = R"({"rtu":1,"kind":1,"time":"2009-03-12 15:00:00","items":[]})";
    std::ofstream(host.Path("frames.jsonl"))
        << good << "\n"
        << "not json\n"
        << R"({"kind":1,"time":"2009-03-12 15:00:00","items":[]})"
        << "\n"
        << R"({"rtu":"1","kind":1,"time":"2009-03-12 15:00:00","items":[]})"
        << "\n"
        << R"({"rtu":1,"kind":1,"time":"2009-02-30 15:00:00","items":[]})"
        << "\n"
        << R"({"rtu":1,"kind":1,"time":"2009-03-12 15:00:00","items":[{"sensor":1}]})"
        << "\n"
        << "\n"
        << good << "\n";
    FrameFile::Result result = FrameFile::Read(host.Path("frames.jsonl"));
    EXPECT_EQ(result.frames.size(), 2u);
    ASSERT_EQ(result.errors.size(), 5u);
    EXPECT_EQ(result.errors[0].rfind("line 2: not JSON", 0), 0u) << result.errors[0];
    EXPECT_NE(result.errors[1].find("line 3: missing field \"rtu\""), std::string::npos);
    EXPECT_NE(result.errors[2].find("line 4: field \"rtu\" is not an integer"), std::string::npos);
    EXPECT_NE(result.errors[3].find("line 5: field \"time\" is not a possible time"),
              std::string::npos);
    EXPECT_NE(result.errors[4].find("line 6: missing field"), std::string::npos);
}

TEST(SimulatorTest, TenMinuteFramesWithHourlyItemsAtFullHours) {
    CRTUDef tower;
    tower.m_nID = tower.m_nRTUID = 3;
    tower.m_nType = 100;
    std::string error;
    auto range = Simulator::ParseSpec("2009-03-12 13:55:00..2009-03-12 15:00:00",
                                      DateTime(2009, 3, 12, 16, 0, 0), error);
    ASSERT_TRUE(range) << error;
    auto frames = Simulator::Simulate({tower}, *range);
    ASSERT_EQ(frames.size(), 7u);  // 14:00 … 15:00
    EXPECT_EQ(frames.front().m_tTime.Format(), "2009-03-12 14:00:00");
    EXPECT_EQ(frames.back().m_tTime.Format(), "2009-03-12 15:00:00");

    float lastCounter = -1;
    for (const CDataFrame& frame : frames) {
        std::set<int> ids;
        for (const CDataItem& item : frame.m_arItems) {
            ids.insert(item.m_nDataID);
            if (item.m_nDataID == 100) {
                EXPECT_GE(item.m_fValue, lastCounter) << "the rain counter only grows";
                lastCounter = item.m_fValue;
            }
            if (item.m_nDataID >= 9300 && item.m_nDataID < 9307) {
                EXPECT_EQ(item.m_nKind, 8);
                EXPECT_LE(item.m_tTime, frame.m_tTime);
                EXPECT_GT(item.m_tTime, frame.m_tTime - DateTimeSpan(0, 1, 0, 0));
            }
        }
        const bool fullHour = frame.m_tTime.GetMinute() == 0;
        EXPECT_EQ(ids.count(9000) == 1, fullHour);
        EXPECT_EQ(ids.count(9300) == 1, fullHour);
        for (int id : {7000, 7100, 7200, 7300, 7400, 7500, 7600, 7700, 7800, 7900, 8000, 8100, 8200,
                       8300, 2300, 100, 2900, 2905, 3000}) {
            EXPECT_EQ(ids.count(id), 1u) << id;
        }
    }
    EXPECT_FALSE(Simulator::ParseSpec("last:2x", DateTime(2009, 3, 12, 0, 0, 0), error));
    auto last = Simulator::ParseSpec("last:2d", DateTime(2009, 3, 12, 0, 0, 0), error);
    ASSERT_TRUE(last);
    EXPECT_EQ(last->from.Format(), "2009-03-10 00:00:00");
}

TEST(HostRunTest, TheHostLoadsThePluginAndFeedsItFrames) {
    TestHost host;
    std::ofstream(host.Path("frames.jsonl"))
        << R"({"rtu":1,"kind":1,"time":"2009-03-12 15:00:00","items":[]})"
        << "\n"
        << R"({"rtu":40,"kind":1,"time":"2009-03-12 15:00:00","items":[]})"
        << "\n"
        << R"({"rtu":999,"kind":1,"time":"2009-03-12 15:00:00","items":[]})"
        << "\n"
        << "broken\n";
    HostRun::Options options;
    options.dir = host.Dir();
    options.framesFile = host.Path("frames.jsonl");
    options.simulateSpec = "last:30m";
    options.now = "2009-03-12 15:00:00";
    options.lingerSeconds = 0.2;
    const char* plugin = std::getenv("VKT_PLUGIN");
    ASSERT_NE(plugin, nullptr);
    options.pluginPath = plugin;
    HostRun::Summary summary;
    std::string error;
    ASSERT_EQ(HostRun::Run(options, summary, error), 0) << error;
    // Three from the file, four towers × four 10-minute marks simulated.
    EXPECT_EQ(summary.framesRead, 3 + 16);
    EXPECT_EQ(summary.accepted, 18);
    EXPECT_EQ(summary.refused, 1);
    ASSERT_EQ(summary.inputErrors.size(), 1u);
    EXPECT_EQ(summary.inputErrors[0].rfind("line 4:", 0), 0u);
    EXPECT_TRUE(std::filesystem::is_directory(host.Path("WPData")));
}

}  // namespace
