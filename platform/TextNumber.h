#pragma once

#include <optional>
#include <string>

#include "platform/Api.h"

// The text as a whole number: an optional sign and decimal digits only, within the
// range of a 32-bit int; nothing otherwise ("", "abc", "5x", "99999999999").
VKTBASE_API std::optional<int> ReadWholeNumber(const std::string& text);
