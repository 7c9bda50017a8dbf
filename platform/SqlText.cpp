#include "platform/SqlText.h"

#include <cctype>

namespace {

bool IsIdentifier(const std::string& text) {
    if (text.empty() || std::isdigit(static_cast<unsigned char>(text[0]))) return false;
    for (unsigned char c : text) {
        if (!std::isalnum(c) && c != '_') return false;
    }
    return true;
}

// The decimal digits of text[at, at + count) as a number; false when one is no digit.
bool Digits(const std::string& text, size_t at, size_t count, int& value) {
    value = 0;
    for (size_t i = at; i < at + count; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) return false;
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

}  // namespace

std::string TimeLiteral(const DateTime& time) {
    return "{ts '" + time.Format("%Y-%m-%d %H:%M:%S") + "'}";
}

DateTime ParseDBTime(const std::string& text) {
    // "YYYY-MM-DD HH:MM:SS": the separators at fixed places.
    static const char kShape[] = "0000-00-00 00:00:00";
    constexpr size_t kLength = sizeof kShape - 1;
    if (text.size() < kLength) return DateTime::Invalid();
    for (size_t i = 0; i < kLength; ++i) {
        if (kShape[i] != '0' && text[i] != kShape[i]) return DateTime::Invalid();
    }
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (!Digits(text, 0, 4, year) || !Digits(text, 5, 2, month) || !Digits(text, 8, 2, day) ||
        !Digits(text, 11, 2, hour) || !Digits(text, 14, 2, minute) ||
        !Digits(text, 17, 2, second)) {
        return DateTime::Invalid();
    }
    // The date-time itself refuses impossible fields (month 13, 30 February, 24:00).
    return DateTime(year, month, day, hour, minute, second);
}

bool IsSchemaPrefix(const std::string& prefix) {
    if (prefix.empty()) return true;
    const size_t dot = prefix.find('.');
    if (dot == std::string::npos) return IsIdentifier(prefix);
    return IsIdentifier(prefix.substr(0, dot)) && IsIdentifier(prefix.substr(dot + 1));
}

std::string PrefixedTable(const std::string& prefix, const std::string& table) {
    return prefix.empty() ? table : prefix + "." + table;
}
