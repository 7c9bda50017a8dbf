#include "platform/OdbcIni.h"

#include <cctype>
#include <utility>

namespace OdbcIni {

namespace {

bool SameName(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

// Without the spaces and tabs around it; the CR of a CR LF line end goes too.
std::string Trim(const std::string& text) {
    const char* const kBlank = " \t\r\n";
    const size_t first = text.find_first_not_of(kBlank);
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(kBlank) - first + 1);
}

// Without the spaces around it, as the driver manager reads it back; any other byte,
// a control character above all, stays to be judged.
std::string TrimSpaces(const std::string& text) {
    const size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

enum class LineKind { kBlank, kComment, kSection, kKey };

// One line of the text, with its line end.
struct Line {
    std::string text;
    LineKind kind = LineKind::kBlank;
    std::string name;   // of the section or the key
    std::string value;  // of the key
};

Line Classify(std::string text) {
    Line line;
    line.text = std::move(text);
    const std::string content = Trim(line.text);
    if (content.empty()) return line;
    if (content[0] == '#' || content[0] == ';') {
        line.kind = LineKind::kComment;
    } else if (content[0] == '[') {
        line.kind = LineKind::kSection;
        line.name = Trim(content.substr(1, content.find(']') - 1));
    } else {
        line.kind = LineKind::kKey;
        const size_t equals = content.find('=');
        line.name = Trim(content.substr(0, equals));
        if (equals != std::string::npos) line.value = Trim(content.substr(equals + 1));
    }
    return line;
}

std::vector<Line> Lines(const std::string& text) {
    std::vector<Line> lines;
    for (size_t start = 0; start < text.size();) {
        const size_t end = text.find('\n', start);
        const size_t next = end == std::string::npos ? text.size() : end + 1;
        lines.push_back(Classify(text.substr(start, next - start)));
        start = next;
    }
    return lines;
}

void Put(Pairs& pairs, const std::string& key, const std::string& value) {
    for (auto& [name, old] : pairs) {
        if (SameName(name, key)) {
            old = value;
            return;
        }
    }
    pairs.emplace_back(key, value);
}

}  // namespace

DataSource DataSourceOf(const std::string& driver, const Pairs& attributes) {
    DataSource source;
    Put(source.keys, "Driver", TrimSpaces(driver));
    for (const auto& [key, value] : attributes) {
        if (SameName(TrimSpaces(key), "DSN")) {
            source.name = TrimSpaces(value);
        } else {
            Put(source.keys, TrimSpaces(key), TrimSpaces(value));
        }
    }
    return source;
}

bool HasControlCharacter(const std::string& text) {
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7F) return true;
    }
    return false;
}

bool CanWrite(const DataSource& source) {
    if (source.name.empty() || HasControlCharacter(source.name) ||
        source.name.find(']') != std::string::npos) {
        return false;
    }
    for (const auto& [key, value] : source.keys) {
        if (key.empty() || key[0] == '[' || key[0] == '#' || key[0] == ';' ||
            key.find('=') != std::string::npos || HasControlCharacter(key) ||
            HasControlCharacter(value) || key.size() + 1 + value.size() > kLongestLine) {
            return false;
        }
    }
    return true;
}

bool Holds(const std::string& text, const DataSource& source) {
    int sections = 0;
    bool inside = false;
    Pairs found;
    for (const Line& line : Lines(text)) {
        if (line.kind == LineKind::kSection) {
            inside = SameName(line.name, source.name);
            sections += inside ? 1 : 0;
        } else if (inside && line.kind == LineKind::kKey) {
            for (const auto& [name, value] : found) {
                if (SameName(name, line.name)) return false;  // a key twice: rewrite it
            }
            found.emplace_back(line.name, line.value);
        }
    }
    if (sections != 1 || found.size() != source.keys.size()) return false;
    for (const auto& [key, value] : source.keys) {
        bool same = false;
        for (const auto& [name, held] : found) {
            if (SameName(name, key)) {
                same = held == value;
                break;
            }
        }
        if (!same) return false;
    }
    return true;
}

std::string WithoutSection(const std::string& text, const std::string& name) {
    std::string kept;
    bool inside = false;
    for (const Line& line : Lines(text)) {
        if (line.kind == LineKind::kSection) inside = SameName(line.name, name);
        // A comment stays even inside the section: it may be about what follows.
        if (!inside || line.kind == LineKind::kComment) kept += line.text;
    }
    return kept;
}

std::string WithDataSource(const std::string& text, const DataSource& source) {
    std::string result = WithoutSection(text, source.name);
    if (!result.empty() && result.back() != '\n') result += '\n';
    if (!result.empty() && !Trim(Lines(result).back().text).empty()) result += '\n';
    result += "[" + source.name + "]\n";
    for (const auto& [key, value] : source.keys) result += key + "=" + value + "\n";
    return result;
}

}  // namespace OdbcIni
