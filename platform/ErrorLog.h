#pragma once

#include <string>

#include "platform/Api.h"

// The process's error-log file: "VKTError.log" in the current directory at the time
// of writing. Each call appends one stamped entry. Thread-safe. A log that reached
// kCapBytes is moved to "VKTError.log.1" (an older .1 to .2, and so on; the oldest of
// kGenerations goes) before the entry is written, so that a year of a bad link cannot
// fill the disk.
namespace ErrorLog {

constexpr long kCapBytes = 4L * 1024 * 1024;
constexpr int kGenerations = 3;

VKTBASE_API void Append(const std::string& text);
VKTBASE_API const char* FileName();

}  // namespace ErrorLog
