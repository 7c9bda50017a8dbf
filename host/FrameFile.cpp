#include "host/FrameFile.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "platform/SqlText.h"

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
    // A number above the signed 64-bit range is held unsigned and would read as a
    // negative one.
    const bool huge = value.is_number_unsigned() && value.get<uint64_t>() > INT32_MAX;
    const int64_t number = huge ? int64_t{INT32_MAX} + 1 : value.get<int64_t>();
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

// The line around a character (1-based): a few characters before and after it, with
// control characters shown as '?'.
std::string Around(const std::string& line, size_t position) {
    constexpr size_t kBefore = 20, kAfter = 10;
    const size_t at = std::min(position > 0 ? position - 1 : 0, line.size());
    const size_t start = at > kBefore ? at - kBefore : 0;
    const size_t end = std::min(line.size(), at + kAfter);
    std::string text = (start > 0 ? "..." : "") + line.substr(start, end - start) +
                       (end < line.size() ? "..." : "");
    for (char& c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    }
    return text;
}

// The parser reports "[json.exception.parse_error.101] parse error at line 1, column 7:
// syntax error while parsing object - unexpected end of input; expected '}'"; the
// operator gets what was found, what was expected and where on the line.
std::string PlainParseError(const std::string& line, const json::parse_error& e) {
    const std::string what = e.what();
    const bool inObject = what.find("while parsing object -") != std::string::npos;
    const bool inArray = what.find("while parsing array -") != std::string::npos;
    const size_t dash = what.find(" - ");
    std::string detail = dash == std::string::npos ? std::string() : what.substr(dash + 3);
    if (const size_t read = detail.find("; last read: "); read != std::string::npos) {
        detail.erase(read);
    }
    std::string problem = detail, expected;
    if (const size_t at = detail.find("; expected "); at != std::string::npos) {
        problem = detail.substr(0, at);
        expected = detail.substr(at + 11);
    }
    // After a member or an element either a comma or the closing bracket may come.
    if (inObject && expected == "'}'") expected = "',' or '}'";
    if (inArray && expected == "']'") expected = "',' or ']'";
    if (expected == "'[', '{', or a literal") expected = "a value";
    if (expected == "string literal") expected = "a field name in double quotes";
    if (expected == "end of input") expected = "nothing after the object's closing '}'";

    if (problem == "unexpected end of input") problem = "the line ends too early";
    if (problem == "invalid literal") problem = "a word that is no JSON value (texts go in \"\")";
    if (problem == "unexpected string literal") problem = "found a text";
    if (problem == "unexpected number literal") problem = "found a number";
    if (problem.rfind("unexpected ", 0) == 0) problem = "found " + problem.substr(11);
    if (problem.rfind("invalid string: ", 0) == 0) problem = "a broken text: " + problem.substr(16);
    if (problem.empty()) problem = "not readable as JSON";

    // 1-based, where the parser stopped: the last character of what it found there.
    const size_t position = e.byte;
    std::string text = "not a JSON object: " + problem;
    if (!expected.empty()) text += ", where " + expected + " should be";
    return text + ", at character " + std::to_string(position) + " (\"" + Around(line, position) +
           "\")";
}

// What a line that parsed holds instead of an object.
std::string KindOf(const json& value) {
    if (value.is_array()) return "a list";
    if (value.is_string()) return "a text";
    if (value.is_number()) return "a number";
    if (value.is_boolean()) return "true or false";
    if (value.is_null()) return "null";
    return "not an object";
}

}  // namespace

std::optional<DateTime> ParseOptionTime(const std::string& text) {
    if (text.size() == 16) return ParseTime(text + ":00");
    return ParseTime(text);
}

std::string OptionTimeError(const char* name, const std::string& text) {
    static const std::string kShape = "0000-00-00 00:00:00";
    bool shaped = text.size() == 16 || text.size() == 19;
    for (size_t i = 0; shaped && i < text.size(); ++i) {
        const bool digit = std::isdigit(static_cast<unsigned char>(text[i])) != 0;
        shaped = kShape[i] == '0' ? digit : text[i] == kShape[i];
    }
    if (shaped) {
        return std::string(name) + " names a day or time that does not exist: " + text;
    }
    return std::string(name) + " must be \"YYYY-MM-DD HH:MM\" or \"YYYY-MM-DD HH:MM:SS\": " + text;
}

namespace {

// A time of the database's form: nothing after the seconds.
std::optional<DateTime> ParsePlainTime(const std::string& text) {
    const DateTime time = ParseDBTime(text);
    if (text.size() != 19 || !time.IsValid()) return std::nullopt;
    return time;
}

bool AllDigits(const std::string& text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
        return std::isdigit(static_cast<unsigned char>(c)) != 0;
    });
}

// "Z", "+08:00", "-0530", "+08": the offset east of UTC in seconds; nothing otherwise.
std::optional<int> ZoneOffset(const std::string& zone) {
    if (zone == "Z" || zone == "z") return 0;
    if (zone.size() < 3 || (zone[0] != '+' && zone[0] != '-')) return std::nullopt;
    std::string digits = zone.substr(1);
    if (digits.size() == 5 && digits[2] == ':') digits.erase(2, 1);
    if ((digits.size() != 2 && digits.size() != 4) || !AllDigits(digits)) return std::nullopt;
    const int hours = std::stoi(digits.substr(0, 2));
    const int minutes = digits.size() == 4 ? std::stoi(digits.substr(2)) : 0;
    if (hours > 14 || minutes > 59) return std::nullopt;
    const int seconds = hours * 3600 + minutes * 60;
    return zone[0] == '-' ? -seconds : seconds;
}

// The host's local time of a moment given in UTC seconds.
std::optional<DateTime> LocalTimeOf(int64_t utcSeconds) {
    const std::time_t moment = static_cast<std::time_t>(utcSeconds);
    std::tm local{};
#ifdef _WIN32
    if (localtime_s(&local, &moment) != 0) return std::nullopt;
#else
    if (!localtime_r(&moment, &local)) return std::nullopt;
#endif
    const DateTime time(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                        local.tm_min, local.tm_sec);
    if (!time.IsValid()) return std::nullopt;
    return time;
}

// ISO 8601: "YYYY-MM-DDTHH:MM:SS", a fraction of a second dropped, then nothing (the
// host's local time), "Z" or an offset (converted to the host's local time).
std::optional<DateTime> ParseIsoTime(const std::string& text) {
    if (text.size() < 19 || (text[10] != 'T' && text[10] != 't')) return std::nullopt;
    std::optional<DateTime> wall = ParsePlainTime(text.substr(0, 10) + " " + text.substr(11, 8));
    if (!wall) return std::nullopt;
    size_t rest = 19;
    if (rest < text.size() && text[rest] == '.') {
        const size_t digits = text.find_first_not_of("0123456789", rest + 1);
        const size_t end = digits == std::string::npos ? text.size() : digits;
        if (end == rest + 1) return std::nullopt;
        rest = end;
    }
    if (rest == text.size()) return wall;
    const std::optional<int> offset = ZoneOffset(text.substr(rest));
    if (!offset) return std::nullopt;
    static const int64_t kUnixEpoch = DateTime(1970, 1, 1, 0, 0, 0).ToSeconds();
    return LocalTimeOf(wall->ToSeconds() - kUnixEpoch - *offset);
}

}  // namespace

std::optional<DateTime> ParseTime(const std::string& text) {
    if (text.size() > 10 && (text[10] == 'T' || text[10] == 't')) return ParseIsoTime(text);
    return ParsePlainTime(text);
}

std::optional<double> ParseDuration(const std::string& text) {
    if (text.empty()) return std::nullopt;
    const char unit = text.back();
    const double scale = unit == 'd' ? 86400 : unit == 'h' ? 3600 : unit == 'm' ? 60 : 1;
    const std::string number =
        std::isdigit(static_cast<unsigned char>(unit)) ? text : text.substr(0, text.size() - 1);
    if (!std::isdigit(static_cast<unsigned char>(unit)) && unit != 's' && scale == 1) {
        return std::nullopt;
    }
    char* end = nullptr;
    const double amount = std::strtod(number.c_str(), &end);
    if (number.empty() || !end || *end != '\0' || !(amount >= 0) || !std::isfinite(amount)) {
        return std::nullopt;
    }
    return amount * scale;
}

namespace {

// Reads a line of the usual shape straight into a frame. Building the document costs
// most of the time of a frame, and a gateway sends many a second. It takes only what it
// reads exactly as the document reading does (the known fields once each, integers with
// neither fraction nor exponent in range, times ParseTime takes, texts without escapes,
// unknown fields of any well-formed value) and gives up on anything else, so that the
// document reading decides every other line and words its error.
class UsualLineReader {
public:
    explicit UsualLineReader(std::string_view line) : m_line(line) {}

    std::optional<CDataFrame> Frame() {
        CDataFrame frame;
        if (!ReadFrame(frame) || !AtEnd()) return std::nullopt;
        return frame;
    }

private:
    // Deeper unknown values are left to the document reading.
    static constexpr int kDeepest = 64;

    enum FrameField : unsigned { kRtu = 1, kFrameKind = 2, kFrameTime = 4, kItems = 8 };
    static constexpr unsigned kWholeFrame = 15;
    enum ItemField : unsigned {
        kSensor = 1,
        kId = 2,
        kItemKind = 4,
        kItemTime = 8,
        kValue = 16,
        kStatus = 32
    };
    static constexpr unsigned kWholeItem = 63;

    bool ReadFrame(CDataFrame& frame) {
        unsigned seen = 0;
        const auto member = [&](std::string_view key) {
            if (key == "rtu") return Once(seen, kRtu) && Integer(frame.m_nRTUID);
            if (key == "kind") return Once(seen, kFrameKind) && Integer(frame.m_nKind);
            if (key == "time") return Once(seen, kFrameTime) && Time(frame.m_tTime);
            if (key == "items") {
                return Once(seen, kItems) &&
                       Elements([&] { return ReadItem(frame.m_arItems.emplace_back()); });
            }
            return SkipValue(1);
        };
        return Members(member) && seen == kWholeFrame;
    }

    bool ReadItem(CDataItem& item) {
        unsigned seen = 0;
        const auto member = [&](std::string_view key) {
            if (key == "sensor") return Once(seen, kSensor) && Integer(item.m_nSensorID);
            if (key == "id") return Once(seen, kId) && Integer(item.m_nDataID);
            if (key == "kind") return Once(seen, kItemKind) && Integer(item.m_nKind);
            if (key == "time") return Once(seen, kItemTime) && Time(item.m_tTime);
            if (key == "value") return Once(seen, kValue) && Value(item.m_fValue);
            if (key == "status") return Once(seen, kStatus) && Integer(item.m_nStatus);
            return SkipValue(1);
        };
        return Members(member) && seen == kWholeItem;
    }

    // A field given twice is left to the document reading, which keeps the last.
    static bool Once(unsigned& seen, unsigned field) {
        if ((seen & field) != 0) return false;
        seen |= field;
        return true;
    }

    template <typename Member>
    bool Members(const Member& member) {
        if (!Take('{')) return false;
        if (Take('}')) return true;
        do {
            std::string_view key;
            if (!Text(key) || !Take(':') || !member(key)) return false;
        } while (Take(','));
        return Take('}');
    }

    template <typename Element>
    bool Elements(const Element& element) {
        if (!Take('[')) return false;
        if (Take(']')) return true;
        do {
            if (!element()) return false;
        } while (Take(','));
        return Take(']');
    }

    bool Integer(int32_t& out) {
        std::string_view token;
        bool integral = false;
        if (!Number(token, integral) || !integral) return false;
        int64_t number = 0;
        if (std::from_chars(token.data(), token.data() + token.size(), number).ec != std::errc() ||
            number < INT32_MIN || number > INT32_MAX) {
            return false;
        }
        out = static_cast<int32_t>(number);
        return true;
    }

    // As the document holds a number: an integer exactly (so "-0" is 0), any other as
    // the nearest double; then made a float.
    bool Value(float& out) {
        std::string_view token;
        bool integral = false;
        if (!Number(token, integral)) return false;
        if (!integral) return Convert<double>(token, out);
        return token.front() == '-' ? Convert<int64_t>(token, out) : Convert<uint64_t>(token, out);
    }

    // A number too large for the document (it is refused there) or too small (read as 0
    // there, refused by from_chars) is left to it.
    template <typename Held>
    static bool Convert(std::string_view token, float& out) {
        Held number{};
        if (std::from_chars(token.data(), token.data() + token.size(), number).ec != std::errc()) {
            return false;
        }
        out = static_cast<float>(number);
        return true;
    }

    // The items mostly repeat the frame's time: it is parsed once.
    bool Time(DateTime& out) {
        std::string_view text;
        if (!Text(text)) return false;
        if (!m_time || text != m_timeText) {
            m_time = ParseTime(std::string(text));
            m_timeText = text;
        }
        if (!m_time) return false;
        out = *m_time;
        return true;
    }

    bool SkipValue(int depth) {
        SkipBlanks();
        if (depth > kDeepest || m_at == m_line.size()) return false;
        switch (m_line[m_at]) {
            case '{':
                return Members([&](std::string_view) { return SkipValue(depth + 1); });
            case '[':
                return Elements([&] { return SkipValue(depth + 1); });
            case '"': {
                std::string_view text;
                return Text(text);
            }
            case 't':
                return Word("true");
            case 'f':
                return Word("false");
            case 'n':
                return Word("null");
            default: {
                float unused = 0;
                std::string_view token;
                bool integral = false;
                return Number(token, integral) && Convert<double>(token, unused);
            }
        }
    }

    // A number as JSON writes it: -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?
    bool Number(std::string_view& token, bool& integral) {
        SkipBlanks();
        const size_t start = m_at;
        TakeHere('-');
        if (!TakeHere('0') && Digits() == 0) return false;
        integral = true;
        if (TakeHere('.')) {
            integral = false;
            if (Digits() == 0) return false;
        }
        if (TakeHere('e') || TakeHere('E')) {
            integral = false;
            if (!TakeHere('+')) TakeHere('-');
            if (Digits() == 0) return false;
        }
        token = m_line.substr(start, m_at - start);
        return true;
    }

    size_t Digits() {
        const size_t start = m_at;
        while (m_at < m_line.size() && m_line[m_at] >= '0' && m_line[m_at] <= '9') ++m_at;
        return m_at - start;
    }

    bool Text(std::string_view& text) {
        if (!Take('"')) return false;
        const size_t start = m_at;
        while (m_at < m_line.size()) {
            const auto c = static_cast<unsigned char>(m_line[m_at]);
            if (c == '"') {
                text = m_line.substr(start, m_at - start);
                ++m_at;
                return true;
            }
            if (c == '\\' || c < 0x20) return false;
            if (c < 0x80) {
                ++m_at;
            } else if (!SkipUtf8Character()) {
                return false;
            }
        }
        return false;
    }

    // A character beyond ASCII, well-formed as the document reading demands: no overlong
    // form, no surrogate, nothing above U+10FFFF.
    bool SkipUtf8Character() {
        const auto lead = static_cast<unsigned char>(m_line[m_at]);
        unsigned char low = 0x80, high = 0xBF;
        size_t length = 0;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            if (lead == 0xE0) low = 0xA0;
            if (lead == 0xED) high = 0x9F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            if (lead == 0xF0) low = 0x90;
            if (lead == 0xF4) high = 0x8F;
        } else {
            return false;
        }
        if (m_line.size() - m_at < length) return false;
        for (size_t i = 1; i < length; ++i) {
            const auto c = static_cast<unsigned char>(m_line[m_at + i]);
            if (c < low || c > high) return false;
            low = 0x80;
            high = 0xBF;
        }
        m_at += length;
        return true;
    }

    bool Word(std::string_view word) {
        if (m_line.substr(m_at, word.size()) != word) return false;
        m_at += word.size();
        return true;
    }

    bool Take(char c) {
        SkipBlanks();
        return TakeHere(c);
    }

    bool TakeHere(char c) {
        if (m_at == m_line.size() || m_line[m_at] != c) return false;
        ++m_at;
        return true;
    }

    void SkipBlanks() {
        while (m_at < m_line.size() && (m_line[m_at] == ' ' || m_line[m_at] == '\t' ||
                                        m_line[m_at] == '\n' || m_line[m_at] == '\r')) {
            ++m_at;
        }
    }

    bool AtEnd() {
        SkipBlanks();
        return m_at == m_line.size();
    }

    std::string_view m_line;
    size_t m_at = 0;
    std::string_view m_timeText;  // the last time read, and what it gave
    std::optional<DateTime> m_time;
};

// Any line: as a document, every fault worded for the operator.
std::optional<CDataFrame> ParseDocumentLine(const std::string& line, std::string& error) {
    try {
        const json object = json::parse(line);
        if (!object.is_object()) {
            throw std::runtime_error("not a JSON object: the line holds " + KindOf(object));
        }
        CDataFrame frame;
        frame.m_nRTUID = IntField(object, "rtu");
        frame.m_nKind = IntField(object, "kind");
        frame.m_tTime = TimeField(object, "time");
        const json& items = Field(object, "items");
        if (!items.is_array()) throw std::runtime_error("field \"items\" is not a list");
        for (const json& item : items) frame.m_arItems.push_back(ParseItem(item));
        return frame;
    } catch (const json::parse_error& e) {
        error = PlainParseError(line, e);
    } catch (const json::out_of_range&) {
        error = "not a JSON object: a number is too large to read";
    } catch (const json::exception&) {
        error = "not a JSON object: not readable as JSON";
    } catch (const std::exception& e) {
        error = e.what();
    }
    return std::nullopt;
}

}  // namespace

std::optional<CDataFrame> ParseLine(const std::string& line, std::string& error) {
    if (std::optional<CDataFrame> frame = UsualLineReader(line).Frame()) return frame;
    return ParseDocumentLine(line, error);
}

std::optional<CDataFrame> TEST_ReadUsualLine(const std::string& line) {
    return UsualLineReader(line).Frame();
}

std::optional<CDataFrame> TEST_ReadLineAsDocument(const std::string& line, std::string& error) {
    return ParseDocumentLine(line, error);
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
            result.lines.push_back(number);
        } else {
            result.errors.push_back("line " + std::to_string(number) + ": " + error);
        }
    }
    if (in.bad()) {
        result.failure = "cannot read " + path + " to its end";
        result.frames.clear();
        result.lines.clear();
    }
    return result;
}

size_t ForEachLine(std::string_view text,
                   const std::function<void(const std::string& line, size_t end)>& take) {
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string_view::npos; start = end + 1) {
        std::string line(text.substr(start, end - start));
        if (!line.empty() && line.back() == '\r') line.pop_back();
        take(line, end + 1);
    }
    return start;
}

bool IsBlank(const std::string& line) {
    return line.find_first_not_of(" \t\r") == std::string::npos;
}

bool TakeLine(const std::string& line, const std::string& place, std::vector<CDataFrame>& frames,
              std::vector<std::string>& places, std::vector<std::string>& errors) {
    if (IsBlank(line)) return false;
    std::string error;
    std::optional<CDataFrame> frame = ParseLine(line, error);
    if (!frame) {
        errors.push_back(place + ": " + error);
        return false;
    }
    frames.push_back(std::move(*frame));
    places.push_back(place);
    return true;
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
