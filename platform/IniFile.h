#pragma once

#include <string>

#include "platform/Api.h"

// Private-profile access in the manner of the platform's INI functions: each call
// opens the file, and a write keeps every other section, key and comment.
namespace IniFile {

// The key's text, or `defaultValue` when the file, the section or the key is missing.
// Sections and keys ignore case.
VKTBASE_API std::string GetString(const std::string& file, const char* section, const char* key,
                                  const std::string& defaultValue);

// Writes KEY=value into the section, creating the file and the section when missing.
// Returns false when the file could not be written.
VKTBASE_API bool WriteString(const std::string& file, const char* section, const char* key,
                             const std::string& value);

}  // namespace IniFile
