#include "host/SourceMap.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>

#include "model/DataIds.h"

namespace {

// The fields a map of each kind may name; the required ones first.
struct Fields {
    std::vector<std::string> required;
    std::vector<std::string> optional;
};

const Fields& FieldsOf(MapKind kind) {
    static const Fields modbus{{"id", "area", "address", "type"},
                               {"order", "scale", "offset", "kind"}};
    static const Fields table{{"id", "column"}, {"scale", "offset", "kind"}};
    return kind == MapKind::Modbus ? modbus : table;
}

std::string Trimmed(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// One CSV line's fields, trimmed; a field in double quotes may hold commas and "" for a
// quote.
std::vector<std::string> SplitCsv(const std::string& line) {
    std::vector<std::string> fields(1);
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quoted && c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
            fields.back() += '"';
            ++i;
        } else if (c == '"') {
            quoted = !quoted;
        } else if (c == ',' && !quoted) {
            fields.emplace_back();
        } else {
            fields.back() += c;
        }
    }
    for (std::string& field : fields) field = Trimmed(field);
    return fields;
}

std::string Quoted(const std::string& text) {
    // A line from an operator's file is echoed, but never at any length.
    return "'" + (text.size() > 40 ? text.substr(0, 40) + "…" : text) + "'";
}

std::optional<long> WholeNumber(const std::string& text) {
    if (text.empty()) return std::nullopt;
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0') return std::nullopt;
    return value;
}

std::optional<double> RealNumber(const std::string& text) {
    if (text.empty()) return std::nullopt;
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (*end != '\0' || !std::isfinite(value)) return std::nullopt;
    return value;
}

std::optional<CMapEntry::Type> TypeNamed(const std::string& text) {
    static const std::map<std::string, CMapEntry::Type> kTypes{
        {"int16", CMapEntry::Type::Int16},
        {"uint16", CMapEntry::Type::UInt16},
        {"int32", CMapEntry::Type::Int32},
        {"uint32", CMapEntry::Type::UInt32},
        {"float32", CMapEntry::Type::Float32}};
    const auto found = kTypes.find(text);
    if (found == kTypes.end()) return std::nullopt;
    return found->second;
}

std::optional<CMapEntry::Order> OrderNamed(const std::string& text) {
    static const std::map<std::string, CMapEntry::Order> kOrders{{"ABCD", CMapEntry::Order::ABCD},
                                                                 {"CDAB", CMapEntry::Order::CDAB},
                                                                 {"BADC", CMapEntry::Order::BADC},
                                                                 {"DCBA", CMapEntry::Order::DCBA}};
    const auto found = kOrders.find(text);
    if (found == kOrders.end()) return std::nullopt;
    return found->second;
}

// The data lines of one map, read against its header.
class CMapReader {
public:
    CMapReader(std::string path, MapKind kind) : m_path(std::move(path)), m_kind(kind) {}

    bool Read(std::vector<CMapEntry>& entries, std::string& error);

private:
    bool ReadHeader(const std::string& line, std::string& error);
    // The line's entry; false with m_why set when a field is wrong.
    bool ParseEntry(const std::vector<std::string>& fields, CMapEntry& entry);
    bool ParseRegister(CMapEntry& entry);
    // The field's text; empty when the header does not name it.
    std::string Field(const std::string& name) const;
    bool Refuse(const std::string& why) {
        m_why = why;
        return false;
    }
    std::string Where(long line) const { return m_path + " line " + std::to_string(line) + ": "; }

    const std::string m_path;
    const MapKind m_kind;
    std::map<std::string, size_t> m_columns;  // field name -> its position
    const std::vector<std::string>* m_fields = nullptr;
    std::string m_why;
};

bool CMapReader::Read(std::vector<CMapEntry>& entries, std::string& error) {
    std::ifstream in(m_path, std::ios::binary);
    if (!in) {
        error = m_path + ": cannot be read";
        return false;
    }
    entries.clear();
    std::map<int32_t, long> lineOfId;
    std::string line;
    long number = 0;
    bool header = false;
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (Trimmed(line).empty()) continue;
        if (!header) {
            if (!ReadHeader(line, m_why)) {
                error = Where(number) + m_why;
                return false;
            }
            header = true;
            continue;
        }
        const std::vector<std::string> fields = SplitCsv(line);
        CMapEntry entry;
        entry.line = number;
        if (fields.size() != m_columns.size()) {
            error = Where(number) + std::to_string(fields.size()) +
                    " fields where the header has " + std::to_string(m_columns.size());
            return false;
        }
        if (!ParseEntry(fields, entry)) {
            error = Where(number) + m_why;
            return false;
        }
        const auto [first, inserted] = lineOfId.emplace(entry.id, number);
        if (!inserted) {
            error = Where(number) + "data id " + std::to_string(entry.id) +
                    " is mapped already on line " + std::to_string(first->second);
            return false;
        }
        entries.push_back(std::move(entry));
    }
    if (entries.empty()) {
        error = m_path + (header ? ": maps no value" : ": has no header line");
        return false;
    }
    return true;
}

bool CMapReader::ReadHeader(const std::string& line, std::string& error) {
    const Fields& known = FieldsOf(m_kind);
    const std::vector<std::string> names = SplitCsv(line);
    for (size_t i = 0; i < names.size(); ++i) {
        std::string name = names[i];
        std::transform(name.begin(), name.end(), name.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        const bool isKnown = std::count(known.required.begin(), known.required.end(), name) +
                                 std::count(known.optional.begin(), known.optional.end(), name) >
                             0;
        // An unknown field would most likely be a misspelt one, whose values would
        // silently give way to defaults.
        if (!isKnown) {
            error = "the header names " + Quoted(names[i]) + ", not a field of this map";
            return false;
        }
        if (!m_columns.emplace(name, i).second) {
            error = "the header names " + Quoted(name) + " twice";
            return false;
        }
    }
    for (const std::string& name : known.required) {
        if (m_columns.count(name) == 0) {
            error = "the header has no field '" + name + "'";
            return false;
        }
    }
    return true;
}

std::string CMapReader::Field(const std::string& name) const {
    const auto found = m_columns.find(name);
    return found == m_columns.end() ? std::string() : (*m_fields)[found->second];
}

bool CMapReader::ParseEntry(const std::vector<std::string>& fields, CMapEntry& entry) {
    m_fields = &fields;
    const std::optional<long> id = WholeNumber(Field("id"));
    if (!id) return Refuse("id " + Quoted(Field("id")) + " is not a whole number");
    if (*id < INT32_MIN || *id > INT32_MAX || !FindDataId(static_cast<int32_t>(*id))) {
        return Refuse("data id " + Field("id") + " is not one a tower frame carries");
    }
    entry.id = static_cast<int32_t>(*id);
    if (m_kind == MapKind::Modbus) {
        if (!ParseRegister(entry)) return false;
    } else {
        entry.column = Field("column");
        if (entry.column.empty()) return Refuse("the column is empty");
    }
    for (auto [name, value] : {std::pair{"scale", &entry.scale}, {"offset", &entry.offset}}) {
        if (Field(name).empty()) continue;
        const std::optional<double> number = RealNumber(Field(name));
        if (!number)
            return Refuse(std::string(name) + " " + Quoted(Field(name)) + " is not a number");
        *value = *number;
    }
    if (!Field("kind").empty()) {
        const std::optional<long> kind = WholeNumber(Field("kind"));
        if (kind != 0 && kind != SourceMap::kHourlyKind) {
            return Refuse("kind " + Quoted(Field("kind")) +
                          " is neither 0 (ten-minute) nor 8 (hourly)");
        }
        entry.kind = static_cast<int>(*kind);
    }
    return true;
}

bool CMapReader::ParseRegister(CMapEntry& entry) {
    const std::string area = Field("area");
    if (area != "holding" && area != "input") {
        return Refuse("area " + Quoted(area) + " is neither holding nor input");
    }
    entry.inputArea = area == "input";
    const std::optional<CMapEntry::Type> type = TypeNamed(Field("type"));
    if (!type) {
        return Refuse("type " + Quoted(Field("type")) +
                      " is not int16, uint16, int32, uint32 or float32");
    }
    entry.type = *type;
    if (!Field("order").empty()) {
        const std::optional<CMapEntry::Order> order = OrderNamed(Field("order"));
        if (!order)
            return Refuse("order " + Quoted(Field("order")) + " is not ABCD, CDAB, BADC or DCBA");
        entry.order = *order;
    }
    const std::optional<long> address = WholeNumber(Field("address"));
    const long last = 65536 - SourceMap::Registers(entry.type);
    if (!address || *address < 0 || *address > last) {
        return Refuse("address " + Quoted(Field("address")) + " is not a register from 0 to " +
                      std::to_string(last) + " for this type");
    }
    entry.address = static_cast<int>(*address);
    return true;
}

uint16_t Swapped(uint16_t word) {
    return static_cast<uint16_t>((word << 8) | (word >> 8));
}

}  // namespace

namespace SourceMap {

bool Read(const std::string& path, MapKind kind, std::vector<CMapEntry>& entries,
          std::string& error) {
    return CMapReader(path, kind).Read(entries, error);
}

bool CheckColumns(const std::vector<CMapEntry>& entries, const std::vector<std::string>& fields,
                  std::string& error) {
    for (const CMapEntry& entry : entries) {
        if (std::find(fields.begin(), fields.end(), entry.column) == fields.end()) {
            error = "map line " + std::to_string(entry.line) + ": the table has no column " +
                    Quoted(entry.column);
            return false;
        }
    }
    return true;
}

int Registers(CMapEntry::Type type) {
    return type == CMapEntry::Type::Int16 || type == CMapEntry::Type::UInt16 ? 1 : 2;
}

double Decode(const CMapEntry& entry, const uint16_t* words) {
    const bool bytesSwapped =
        entry.order == CMapEntry::Order::BADC || entry.order == CMapEntry::Order::DCBA;
    const auto word = [&](int i) { return bytesSwapped ? Swapped(words[i]) : words[i]; };
    double raw = 0;
    if (Registers(entry.type) == 1) {
        const uint16_t value = word(0);
        raw = entry.type == CMapEntry::Type::Int16 ? static_cast<int16_t>(value) : value;
    } else {
        const bool lowFirst =
            entry.order == CMapEntry::Order::CDAB || entry.order == CMapEntry::Order::DCBA;
        const uint32_t high = lowFirst ? word(1) : word(0);
        const uint32_t low = lowFirst ? word(0) : word(1);
        const uint32_t value = high << 16 | low;
        switch (entry.type) {
            case CMapEntry::Type::Int32:
                raw = static_cast<int32_t>(value);
                break;
            case CMapEntry::Type::Float32:
                raw = std::bit_cast<float>(value);
                break;
            default:
                raw = value;
                break;
        }
    }
    return raw * entry.scale + entry.offset;
}

}  // namespace SourceMap
