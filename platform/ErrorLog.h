#pragma once

#include <string>

#include "platform/Api.h"

// The process's error-log file: "VKTError.log" in the current directory at the time
// of writing. Each call appends one stamped entry. Thread-safe.
namespace ErrorLog {

VKTBASE_API void Append(const std::string& text);
VKTBASE_API const char* FileName();

}  // namespace ErrorLog
