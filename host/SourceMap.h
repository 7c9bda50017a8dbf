#pragma once

#include <cstdint>
#include <string>
#include <vector>

// What an operator's map says of one value a device or a logger table gives: which data
// id of the catalogue it is, where it is read, and how its raw number becomes the value.
// A map is a CSV file with a header line:
//   modbus: id,area,address,type,order,scale,offset,kind
//   table:  id,column,scale,offset,kind
// value = raw × scale + offset; kind 0 is a ten-minute value, 8 an hourly one (read at
// full hours only, its time the hour).
struct CMapEntry {
    enum class Type { Int16, UInt16, Int32, UInt32, Float32 };
    enum class Order { ABCD, CDAB, BADC, DCBA };

    int32_t id = 0;
    // A device's register: holding or input, 0-based, its type and word/byte order.
    bool inputArea = false;
    int address = 0;
    Type type = Type::UInt16;
    Order order = Order::ABCD;
    // A logger table's column, by its field name.
    std::string column;
    double scale = 1.0;
    double offset = 0.0;
    int kind = 0;
    long line = 0;  // the map file's line, for messages
};

enum class MapKind { Modbus, Table };

namespace SourceMap {

// The item kind of an hourly value.
inline constexpr int kHourlyKind = 8;

// Reads and checks a map: false with `error` naming the file, the line and what is
// wrong (an unknown data id, a bad area, type or order, a number that is not one, a
// header that lacks a field the kind needs).
bool Read(const std::string& path, MapKind kind, std::vector<CMapEntry>& entries,
          std::string& error);
// A table map against a table's field names: false with `error` naming the map's line
// of the first column the header does not have.
bool CheckColumns(const std::vector<CMapEntry>& entries, const std::vector<std::string>& fields,
                  std::string& error);
// How many 16-bit registers a value of `type` takes: 1 or 2.
int Registers(CMapEntry::Type type);
// The value of `entry` from its registers as the device sent them (words[0] the one at
// entry.address), scaled and offset.
double Decode(const CMapEntry& entry, const uint16_t* words);

}  // namespace SourceMap
