#include "host/FrameFile.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

namespace FrameFile {

namespace {

using nlohmann::json;

const json& Field(const json& object, const char* name) {
    auto it = object.find(name);
    if (it == object.end()) throw std::runtime_error(std::string("missing field \"") + name + "\"");
    return *it;
}

int32_t IntField(const json& object, const char* name) {
    const json& value = Field(object, name);
    if (!value.is_number_integer()) {
        throw std::runtime_error(std::string("field \"") + name + "\" is not an integer");
    }
    const int64_t number = value.get<int64_t>();
    if (number < INT32_MIN || number > INT32_MAX) {
        throw std::runtime_error(std::string("field \"") + name + "\" is out of range");
    }
    return static_cast<int32_t>(number);
}

DateTime TimeField(const json& object, const char* name) {
    const json& value = Field(object, name);
    if (!value.is_string())
        throw std::runtime_error(std::string("field \"") + name + "\" is not a text");
    std::optional<DateTime> time = ParseTime(value.get<std::string>());
    if (!time) {
        throw std::runtime_error(std::string("field \"") + name +
                                 "\" is not a possible time: " + value.get<std::string>());
    }
    return *time;
}

CDataItem ParseItem(const json& object) {
    if (!object.is_object()) throw std::runtime_error("an item is not an object");
    CDataItem item;
    item.m_nSensorID = IntField(object, "sensor");
    item.m_nDataID = IntField(object, "id");
    item.m_nKind = IntField(object, "kind");
    item.m_tTime = TimeField(object, "time");
    const json& value = Field(object, "value");
    if (!value.is_number()) throw std::runtime_error("field \"value\" is not a number");
    item.m_fValue = value.get<float>();
    item.m_nStatus = IntField(object, "status");
    return item;
}

}  // namespace

std::optional<DateTime> ParseTime(const std::string& text) {
    int y, mo, d, h, mi, s;
    char tail;
    if (text.size() != 19 || std::sscanf(text.c_str(), "%4d-%2d-%2d %2d:%2d:%2d%c", &y, &mo, &d, &h,
                                         &mi, &s, &tail) != 6) {
        return std::nullopt;
    }
    const DateTime time(y, mo, d, h, mi, s);
    if (!time.IsValid()) return std::nullopt;
    return time;
}

std::optional<CDataFrame> ParseLine(const std::string& line, std::string& error) {
    try {
        const json object = json::parse(line);
        if (!object.is_object()) throw std::runtime_error("not a JSON object");
        CDataFrame frame;
        frame.m_nRTUID = IntField(object, "rtu");
        frame.m_nKind = IntField(object, "kind");
        frame.m_tTime = TimeField(object, "time");
        const json& items = Field(object, "items");
        if (!items.is_array()) throw std::runtime_error("field \"items\" is not a list");
        for (const json& item : items) frame.m_arItems.push_back(ParseItem(item));
        return frame;
    } catch (const json::exception& e) {
        error = std::string("not JSON: ") + e.what();
    } catch (const std::exception& e) {
        error = e.what();
    }
    return std::nullopt;
}

Result Read(const std::string& path) {
    Result result;
    // A folder opens as a stream and reads as empty: it would pass for a file without frames.
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {
        result.failure = path + " is a folder, not a frames file";
        return result;
    }
    errno = 0;
    std::ifstream in(path);
    if (!in) {
        const int cause = errno;
        result.failure =
            "cannot open " + path + ": " + (cause ? std::strerror(cause) : "unknown cause");
        return result;
    }
    std::string line, error;
    for (int number = 1; std::getline(in, line); ++number) {
        if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
        if (auto frame = ParseLine(line, error)) {
            result.frames.push_back(std::move(*frame));
        } else {
            result.errors.push_back("line " + std::to_string(number) + ": " + error);
        }
    }
    if (in.bad()) {
        result.failure = "cannot read " + path + " to its end";
        result.frames.clear();
    }
    return result;
}

std::string FormatLine(const CDataFrame& frame) {
    json items = json::array();
    for (const CDataItem& item : frame.m_arItems) {
        items.push_back({{"sensor", item.m_nSensorID},
                         {"id", item.m_nDataID},
                         {"kind", item.m_nKind},
                         {"time", item.m_tTime.Format()},
                         {"value", std::isfinite(item.m_fValue) ? json(item.m_fValue) : json()},
                         {"status", item.m_nStatus}});
    }
    const json object = {{"rtu", frame.m_nRTUID},
                         {"kind", frame.m_nKind},
                         {"time", frame.m_tTime.Format()},
                         {"items", items}};
    return object.dump();
}

}  // namespace FrameFile
