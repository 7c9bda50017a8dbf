#pragma once

// The ODBC headers, with what they need of the system's own headers first.
#if defined(_WIN32)
#include <windows.h>
// windows.h renames these to their ...A forms; the host's own names stay as they are.
#undef PostMessage
#undef PostThreadMessage
#endif
#include <sql.h>
#include <sqlext.h>
