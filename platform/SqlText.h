#pragma once

#include <string>

#include "platform/Api.h"
#include "platform/DateTime.h"

// The pieces of statement text that this system's programs write and read the same way,
// whichever side (plug-in or host) writes the statement.

// {ts 'YYYY-MM-DD HH:MM:SS'}
VKTBASE_API std::string TimeLiteral(const DateTime& time);

// Reads "YYYY-MM-DD HH:MM:SS" (each field with its leading zeros), as a driver returns
// a date-time column in character form and as the frame files write a time; what
// follows the seconds (a fraction, ".000") is ignored. A text that is not such a time,
// or names no real date, gives an invalid date-time.
VKTBASE_API DateTime ParseDBTime(const std::string& text);

// An SQL identifier (letters, digits, "_", not starting with a digit), or two joined
// by a dot; or empty (no prefix). Only such a schema prefix may be pasted into a
// statement.
VKTBASE_API bool IsSchemaPrefix(const std::string& prefix);

// The table under the schema prefix: "PREFIX.TABLE", or the table alone for an empty
// prefix. The caller has checked the prefix with IsSchemaPrefix.
VKTBASE_API std::string PrefixedTable(const std::string& prefix, const std::string& table);
