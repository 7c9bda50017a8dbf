#pragma once

#include <string>
#include <vector>

#include "platform/Api.h"

// Private-profile access in the manner of the platform's INI functions: each call
// opens the file, and a write keeps every other section, key and comment. A section
// line without its closing bracket names the section up to the line's end, as the
// platform reads it (the parser underneath would run on into the next lines).
namespace IniFile {

// The key's text, or `defaultValue` when the file, the section or the key is missing.
// Sections and keys ignore case.
VKTBASE_API std::string GetString(const std::string& file, const char* section, const char* key,
                                  const std::string& defaultValue);

// Writes KEY=value into the section, creating the file and the section when missing.
// Returns false when the file could not be written.
VKTBASE_API bool WriteString(const std::string& file, const char* section, const char* key,
                             const std::string& value);

struct IniEntry {
    const char* section;
    const char* key;
    std::string value;
};
// Writes every entry with one reading and one writing of the file, replacing the file
// whole (System::WriteFileWhole): a reader or a killed process finds the old file or
// the new one. False, the file untouched, when a file that is there cannot be read (its
// other keys would be lost) or the new one cannot be written. `mode`, when given, is the
// new file's permissions (System::WriteFileWhole); else a file replaced keeps its own.
VKTBASE_API bool WriteStrings(const std::string& file, const std::vector<IniEntry>& entries,
                              int mode = -1);
// What WriteStrings would write, in `text`; false when the file is there but cannot be read.
VKTBASE_API bool TextWithStrings(const std::string& file, const std::vector<IniEntry>& entries,
                                 std::string& text);

}  // namespace IniFile
