#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "platform/Api.h"

// The data sources of odbc.ini as the driver manager reads them: "[name]" opens a
// section, "key = value" lines follow it, a line starting with "#" or ";" is a comment.
// Section and key names are compared without regard to case; names and values lose the
// spaces and tabs around them.
namespace OdbcIni {

using Pairs = std::vector<std::pair<std::string, std::string>>;

// One data source: its section name and its keys in the order they are written, the
// driver first ("Driver", driver name).
struct DataSource {
    std::string name;
    Pairs keys;
};

// The data source that registering `attributes` ("KEY" = "value" pairs as the installer
// gets them) with `driver` makes: DSN names the section, a key given twice keeps its
// last value (in the place of its first), names compared without regard to case. Names
// and values lose the spaces around them, which the driver manager would not read back.
VKTBASE_API DataSource DataSourceOf(const std::string& driver, const Pairs& attributes);

// Whether the text holds a control character: a byte below 0x20 (a line break, a tab)
// or 0x7F. Such a byte in a name or value would start a line of its own in odbc.ini.
VKTBASE_API bool HasControlCharacter(const std::string& text);

// The longest line ("key=value", without its line end) the driver manager reads back
// whole: what a longer line holds past it is cut off without a word.
inline constexpr size_t kLongestLine = 999;

// Whether the data source can be written as one section that reads back the same: a
// name without "]", keys without "=" that do not open a section or a comment, no
// control character anywhere, and no line longer than kLongestLine.
VKTBASE_API bool CanWrite(const DataSource& source);

// Whether the text holds the data source as it is: one section of its name, holding
// its keys with their values and no other key.
VKTBASE_API bool Holds(const std::string& text, const DataSource& source);

// The text without any section named `name`: its header, keys and blank lines go;
// comment lines and every other line stay byte for byte.
VKTBASE_API std::string WithoutSection(const std::string& text, const std::string& name);

// The text with the data source's section in place of any section of its name, written
// at the end after a blank line.
VKTBASE_API std::string WithDataSource(const std::string& text, const DataSource& source);

}  // namespace OdbcIni
