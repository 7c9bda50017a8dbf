// The operators' maps of device registers and logger table columns.
#include <gtest/gtest.h>

#include <fstream>

#include "host/SourceMap.h"

namespace {

std::string WriteMap(const std::string& text) {
    const std::string path = testing::TempDir() + "/" +
                             testing::UnitTest::GetInstance()->current_test_info()->name() + ".csv";
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

TEST(SourceMapTest, ABadMapIsRefusedNamingItsLine) {
    const std::string modbus = "id,area,address,type,order,scale,offset,kind\n";
    const struct {
        MapKind kind;
        std::string text;
        long line;
        const char* why;
    } cases[] = {
        {MapKind::Modbus, "id,area,address,order\n7000,holding,0,ABCD\n", 1, "no field 'type'"},
        {MapKind::Table, "id,scale\n7000,1\n", 1, "no field 'column'"},
        {MapKind::Modbus, "id,area,address,type,ofset\n7000,holding,0,int16,1\n", 1, "'ofset'"},
        {MapKind::Modbus, modbus + "7000,holding,0,int16,,,,\n12345,holding,1,int16,,,,\n", 3,
         "data id 12345"},
        {MapKind::Modbus, modbus + "7000,holding,0,int64,,,,\n", 2, "type 'int64'"},
        {MapKind::Modbus, modbus + "7000,holding,0,int32,ABDC,,,\n", 2, "order 'ABDC'"},
        {MapKind::Modbus, modbus + "7000,coil,0,int16,,,,\n", 2, "area 'coil'"},
        {MapKind::Modbus, modbus + "7000,input,0,int16,,1.5x,,\n", 2, "scale '1.5x'"},
        {MapKind::Modbus, modbus + "7000,input,65535,float32,,,,\n", 2, "address '65535'"},
        {MapKind::Modbus, modbus + "7000,input,-1,uint16,,,,\n", 2, "address '-1'"},
        {MapKind::Modbus, modbus + "7000,input,0,uint16,,,,5\n", 2, "kind '5'"},
        {MapKind::Modbus, modbus + "7000,input,0,uint16\n", 2, "4 fields"},
        // Blank lines and Windows line ends still count as lines.
        {MapKind::Modbus, modbus + "\r\n7000,input,0,int16,,,,\r\n\r\n7000,input,1,int16,,,,\r\n",
         5, "mapped already on line 3"},
        {MapKind::Table, "id,column\n7000,WS_80\n7100,\n", 3, "column is empty"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const std::string path = WriteMap(c.text);
        std::vector<CMapEntry> entries;
        std::string error;
        EXPECT_FALSE(SourceMap::Read(path, c.kind, entries, error));
        EXPECT_NE(error.find(path + " line " + std::to_string(c.line) + ":"), std::string::npos)
            << error;
        EXPECT_NE(error.find(c.why), std::string::npos) << error;
    }
}

TEST(SourceMapTest, FieldsInAnyOrderAndEmptyOnesTakeTheirDefaults) {
    const std::string path = WriteMap(
        "kind,type,address,id,area,scale\n"
        ",float32,10,7000,input,\n"
        "8,int16,3,9000,holding,0.1\n");
    std::vector<CMapEntry> entries;
    std::string error;
    ASSERT_TRUE(SourceMap::Read(path, MapKind::Modbus, entries, error)) << error;
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].id, 7000);
    EXPECT_TRUE(entries[0].inputArea);
    EXPECT_EQ(entries[0].address, 10);
    EXPECT_EQ(entries[0].type, CMapEntry::Type::Float32);
    EXPECT_EQ(entries[0].order, CMapEntry::Order::ABCD);
    EXPECT_EQ(entries[0].scale, 1.0);
    EXPECT_EQ(entries[0].offset, 0.0);
    EXPECT_EQ(entries[0].kind, 0);
    EXPECT_EQ(entries[1].line, 3);
    EXPECT_EQ(entries[1].kind, SourceMap::kHourlyKind);
    EXPECT_DOUBLE_EQ(entries[1].scale, 0.1);
}

TEST(SourceMapTest, ATableMapNamesTheLineOfAColumnTheTableLacks) {
    const std::string path = WriteMap("id,column\n7000,WS_80\n\n7100,\"WD, 80 m\"\n7200,TA\n");
    std::vector<CMapEntry> entries;
    std::string error;
    ASSERT_TRUE(SourceMap::Read(path, MapKind::Table, entries, error)) << error;
    EXPECT_TRUE(SourceMap::CheckColumns(entries, {"TA", "WD, 80 m", "WS_80"}, error)) << error;
    EXPECT_FALSE(SourceMap::CheckColumns(entries, {"WS_80", "TA"}, error));
    EXPECT_NE(error.find("map line 4"), std::string::npos) << error;
    EXPECT_NE(error.find("'WD, 80 m'"), std::string::npos) << error;
}

}  // namespace
