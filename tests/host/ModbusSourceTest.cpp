// Tower loggers read over Modbus TCP, against a pymodbus device run by the test.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <set>

#include "host/ModbusSource.h"
#include "platform/Clock.h"
#include "tests/support/TestHost.h"
#include "tests/support/TestModbusDevice.h"

namespace {

std::string Words(int address, const std::vector<uint16_t>& words) {
    std::string text = std::to_string(address) + "=";
    for (uint16_t word : words) text += std::to_string(word) + ",";
    text.pop_back();
    return text;
}

CModbusDevice DeviceAt(int port, std::vector<CMapEntry> map, int rtu = 7) {
    CModbusDevice device;
    device.rtu = rtu;
    device.host = "127.0.0.1";
    device.port = port;
    device.map = std::move(map);
    device.timeoutMs = 500;
    return device;
}

const CDataItem* ItemOf(const CDataFrame& frame, int id) {
    for (const CDataItem& item : frame.m_arItems) {
        if (item.m_nDataID == id) return &item;
    }
    return nullptr;
}

using Type = CMapEntry::Type;
using Order = CMapEntry::Order;

CMapEntry Register(int id, int address, Type type = Type::UInt16, Order order = Order::ABCD,
                   int kind = 0) {
    CMapEntry entry;
    entry.id = id;
    entry.address = address;
    entry.type = type;
    entry.order = order;
    entry.kind = kind;
    return entry;
}

TEST(ModbusSourceTest, EveryTypeInEveryOrderIsReadAsTheDeviceSendsIt) {
    // Bytes A..D of each value, most significant first, as each order sends them.
    const struct {
        Type type;
        Order order;
        std::vector<uint16_t> words;
        double scale, offset;
        float value;
    } cases[] = {
        {Type::Int16, Order::ABCD, {0xFED4}, 0.1, 0, -30.0f},  // -300
        {Type::Int16, Order::CDAB, {0xFED4}, 0.1, 0, -30.0f},
        {Type::Int16, Order::BADC, {0xD4FE}, 0.1, 0, -30.0f},
        {Type::Int16, Order::DCBA, {0xD4FE}, 0.1, 0, -30.0f},
        {Type::UInt16, Order::ABCD, {0xFDE8}, 1, -5, 64995.0f},  // 65000
        {Type::UInt16, Order::CDAB, {0xFDE8}, 1, -5, 64995.0f},
        {Type::UInt16, Order::BADC, {0xE8FD}, 1, -5, 64995.0f},
        {Type::UInt16, Order::DCBA, {0xE8FD}, 1, -5, 64995.0f},
        {Type::Int32, Order::ABCD, {0xFFFE, 0x7960}, 0.01, 0, -1000.0f},  // -100000
        {Type::Int32, Order::CDAB, {0x7960, 0xFFFE}, 0.01, 0, -1000.0f},
        {Type::Int32, Order::BADC, {0xFEFF, 0x6079}, 0.01, 0, -1000.0f},
        {Type::Int32, Order::DCBA, {0x6079, 0xFEFF}, 0.01, 0, -1000.0f},
        {Type::UInt32, Order::ABCD, {0xB2D0, 0x5E00}, 0.001, 0, 3e6f},  // 3,000,000,000
        {Type::UInt32, Order::CDAB, {0x5E00, 0xB2D0}, 0.001, 0, 3e6f},
        {Type::UInt32, Order::BADC, {0xD0B2, 0x005E}, 0.001, 0, 3e6f},
        {Type::UInt32, Order::DCBA, {0x005E, 0xD0B2}, 0.001, 0, 3e6f},
        {Type::Float32, Order::ABCD, {0x4049, 0x0FDB}, 2, 1, 7.2831855f},  // 3.1415927
        {Type::Float32, Order::CDAB, {0x0FDB, 0x4049}, 2, 1, 7.2831855f},
        {Type::Float32, Order::BADC, {0x4940, 0xDB0F}, 2, 1, 7.2831855f},
        {Type::Float32, Order::DCBA, {0xDB0F, 0x4940}, 2, 1, 7.2831855f},
    };
    // Each case at its own registers and data id, alternately holding and input (the
    // device serves the same words in both areas); an hourly value after them.
    std::vector<CMapEntry> map;
    std::vector<uint16_t> words;
    for (size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        const int id = 7000 + static_cast<int>(i / 7 * 100 + i % 7);
        map.push_back(Register(id, static_cast<int>(words.size()), c.type, c.order));
        map.back().inputArea = i % 2 == 1;
        map.back().scale = c.scale;
        map.back().offset = c.offset;
        words.insert(words.end(), c.words.begin(), c.words.end());
    }
    map.push_back(Register(9000, static_cast<int>(words.size()), Type::UInt16, Order::ABCD,
                           SourceMap::kHourlyKind));
    words.push_back(42);
    TestModbusDevice device({"--holding", Words(0, words), "--input", Words(0, words)});

    std::string error;
    const auto atTen = ModbusSource::ReadOnce(DeviceAt(device.Port(), map),
                                              DateTime(2024, 5, 1, 13, 50, 0), error);
    ASSERT_TRUE(atTen) << error;
    EXPECT_EQ(atTen->m_nRTUID, 7);
    EXPECT_EQ(ItemOf(*atTen, 9000), nullptr);  // hourly values at full hours only
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        const CDataItem* item = ItemOf(*atTen, map[i].id);
        ASSERT_NE(item, nullptr);
        EXPECT_FLOAT_EQ(item->m_fValue, cases[i].value);
        EXPECT_EQ(item->m_nSensorID, 700000 + map[i].id);
    }
    const DateTime hour(2024, 5, 1, 14, 0, 0);
    const auto atHour = ModbusSource::ReadOnce(DeviceAt(device.Port(), map), hour, error);
    ASSERT_TRUE(atHour) << error;
    const CDataItem* hourly = ItemOf(*atHour, 9000);
    ASSERT_NE(hourly, nullptr);
    EXPECT_EQ(hourly->m_nKind, SourceMap::kHourlyKind);
    EXPECT_EQ(hourly->m_tTime, hour);
    EXPECT_EQ(hourly->m_fValue, 42.0f);
}

TEST(ModbusSourceTest, AReadThatFailsGivesNoFrameAndSaysWhy) {
    // The sparse device has holding registers 0 and 3 only; nothing listens on the port
    // of the one stopped.
    TestModbusDevice device({"--sparse", "--holding", "0=1", "--holding", "3=2"});
    TestModbusDevice stopped({});
    stopped.Kill();
    const CMapEntry at0 = Register(7000, 0);
    const CMapEntry at3 = Register(7001, 3);
    const CMapEntry absent = Register(7002, 5);
    const struct {
        int port;
        int unit;
        std::vector<CMapEntry> map;
        const char* error;  // null: read
    } cases[] = {
        {device.Port(), 1, {at0, at3}, nullptr},  // the hole between them is not asked for
        {device.Port(), 1, {at0, absent}, "Illegal data address"},
        {device.Port(), 9, {at0}, "reading holding registers 0-0: Connection timed out"},
        {stopped.Port(), 1, {at0}, "connecting: Connection refused"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.error ? c.error : "read");
        CModbusDevice config = DeviceAt(c.port, c.map);
        config.unit = c.unit;
        std::string error;
        const auto frame = ModbusSource::ReadOnce(config, DateTime(2024, 5, 1, 13, 50, 0), error);
        if (!c.error) {
            ASSERT_TRUE(frame) << error;
            EXPECT_EQ(ItemOf(*frame, 7001)->m_fValue, 2.0f);
            continue;
        }
        EXPECT_FALSE(frame);
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }
}

// The process clock is moved from mark to mark (every 10 minutes, read 20 s after),
// so that each mark's reads come at once and no mark passes unseen.
class ModbusPollTest : public testing::Test {
protected:
    void TearDown() override { ProcessClock::Reset(); }

    static DateTime Mark(int k) {
        return DateTime(2024, 5, 1, 13, 40, 0) + DateTimeSpan(0, 0, 10 * k, 0);
    }
    static void MoveTo(int k) {
        ProcessClock::SetNow(Mark(k) + DateTimeSpan(0.5 / 86400 + 20.0 / 86400));
    }

    // Polls until `done` holds, gathering frames by RTU and notes.
    template <typename Done>
    bool PollUntil(CLiveSource& source, Done done) {
        return WaitFor([&] {
            std::vector<CDataFrame> frames;
            std::vector<std::string> errors;
            source.Poll(frames, errors, 20);
            for (const CDataFrame& frame : frames) m_frames[frame.m_nRTUID].push_back(frame);
            for (const std::string& note : source.TakeNotes()) m_notes.push_back(note);
            return done();
        });
    }
    bool HasMark(int rtu, int k) {
        for (const CDataFrame& frame : m_frames[rtu]) {
            if (frame.m_tTime == Mark(k)) return true;
        }
        return false;
    }

    std::map<int, std::vector<CDataFrame>> m_frames;
    std::vector<std::string> m_notes;
};

TEST_F(ModbusPollTest, ADeviceThatStopsGivesNoFramesUntilItAnswersAndHoldsUpNoOther) {
    // Beside flaky, which is stopped and started again: steady, and silent, a unit its
    // device never answers, whose reads hang until the source is destroyed.
    const std::vector<CMapEntry> map = {
        Register(7000, 0), Register(9000, 1, Type::UInt16, Order::ABCD, SourceMap::kHourlyKind)};
    TestModbusDevice flaky({"--holding", "0=5,6"});
    TestModbusDevice steady({"--holding", "0=5,6"});
    std::vector<CModbusDevice> devices = {DeviceAt(flaky.Port(), map, 7),
                                          DeviceAt(steady.Port(), map, 8),
                                          DeviceAt(steady.Port(), map, 9)};
    for (CModbusDevice& device : devices) device.offsetSeconds = 20;
    devices[2].unit = 9;
    devices[2].timeoutMs = 60000;
    MoveTo(-1);
    auto source = ModbusSource::Poll(devices);
    const auto failedReads = [&] { return source->Health()[0].failedReads; };

    // Marks 0-2 both answer (mark 2 is 14:00); flaky is down for marks 3-6 and comes
    // back while mark 6 is being retried.
    for (int k = 0; k <= 7; ++k) {
        SCOPED_TRACE(k);
        if (k == 3) flaky.Kill();
        const long failedBefore = failedReads();
        MoveTo(k);
        const bool down = k >= 3 && k <= 6;
        ASSERT_TRUE(PollUntil(*source, [&] {
            return HasMark(8, k) && (down ? failedReads() > failedBefore : HasMark(7, k));
        }));
        if (k == 6) {
            flaky.Start(devices[0].port);
            ASSERT_TRUE(PollUntil(*source, [&] { return HasMark(7, 6); }));
        }
    }

    std::set<int> marksOf7;
    for (const CDataFrame& frame : m_frames[7]) {
        marksOf7.insert(static_cast<int>((frame.m_tTime - Mark(0)).GetTotalSeconds() / 600));
    }
    EXPECT_EQ(marksOf7, (std::set<int>{0, 1, 2, 6, 7}));
    EXPECT_EQ(m_frames[8].size(), 8u);
    for (const auto& [rtu, frames] : m_frames) {
        for (const CDataFrame& frame : frames) {
            const bool fullHour = frame.m_tTime == Mark(2);
            EXPECT_EQ(ItemOf(frame, 9000) != nullptr, fullHour)
                << rtu << " " << frame.m_tTime.Format();
            EXPECT_EQ(ItemOf(frame, 7000)->m_fValue, 5.0f);
        }
    }
    const std::string name =
        "RTU 7 modbus 127.0.0.1:" + std::to_string(devices[0].port) + " unit 1";
    std::erase_if(m_notes, [](const std::string& note) { return note.rfind("RTU 9 ", 0) == 0; });
    ASSERT_EQ(m_notes.size(), 2u) << testing::PrintToString(m_notes);
    EXPECT_EQ(m_notes[0].rfind(name + " does not answer: ", 0), 0u) << m_notes[0];
    EXPECT_EQ(m_notes[1],
              name + " answers again after " + std::to_string(failedReads()) + " failed reads");
    const std::vector<CSourceHealth> health = source->Health();
    EXPECT_TRUE(health[0].answering);
    EXPECT_GE(health[0].failedReads, 4);
    EXPECT_EQ(health[0].lastFrame, Mark(7));
    EXPECT_EQ(health[1].failedReads, 0);
    const double stopping = SteadySeconds();
    source.reset();
    EXPECT_LT(SteadySeconds() - stopping, 2.0);  // silent's read is cut short
}

}  // namespace
