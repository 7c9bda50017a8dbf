#pragma once

#include <string>
#include <utility>
#include <vector>

#include "platform/Api.h"

// The connection string the backend is opened with. Whatever the settings and the data
// source hold, the client's limits apply and no value can end, open or add an
// attribute: the password is braced (a "}" doubled), a user name that psqlODBC would
// take apart goes into the libpq options, quoted, and the data source's own libpq
// options ("pqopt" in odbc.ini, which the string's would replace) are merged with the
// client's, the client's values winning for the keys it needs.
namespace BackendConnection {

// libpq options (conninfo syntax: key=value separated by spaces; a value in single
// quotes with \' and \\ for a quote and a backslash), in their order.
using PqOptions = std::vector<std::pair<std::string, std::string>>;

// The options of `text`; false when it is not conninfo syntax.
VKTBASE_API bool ParsePqOptions(const std::string& text, PqOptions& options);
// The options as conninfo text, every value quoted.
VKTBASE_API std::string PqOptionsText(const PqOptions& options);
// The value as an ODBC connection-string value in braces: "{" + value + "}", each "}"
// doubled, which psqlODBC reads back whole.
VKTBASE_API std::string Braced(const std::string& value);

// Keys the client sets itself, with the values it needs, in this order.
VKTBASE_API const PqOptions& ClientLimits();

// The connection string of data source `source` for `user` and `password`, with the
// data source's libpq options `sourceOptions` merged; empty with `error` set when the
// data source's name cannot be named in one (a ";", "{" or "}"), or its options are
// not conninfo syntax.
VKTBASE_API std::string ConnectionString(const std::string& source, const std::string& user,
                                         const std::string& password,
                                         const std::string& sourceOptions, std::string& error);

}  // namespace BackendConnection
