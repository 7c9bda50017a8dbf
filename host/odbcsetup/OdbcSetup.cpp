// The ODBC setup library of the host's drivers: writes system data sources for
// SQLConfigDataSource, which the shipped SQLite driver cannot do itself. Registering
// a data source again replaces its whole section.
#include <odbcinst.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "host/odbcsetup/Attributes.h"
#include "platform/Api.h"

VKT_C_EXPORT BOOL ConfigDSN(HWND, WORD request, LPCSTR driver, LPCSTR attributes) {
    std::string dsn;
    const auto pairs = SplitAttributes(attributes);
    for (const auto& [key, value] : pairs) {
        if (key == "DSN") dsn = value;
    }
    if (dsn.empty()) return 0;
    if (request == ODBC_REMOVE_DSN) return SQLRemoveDSNFromIni(dsn.c_str());
    if (request != ODBC_ADD_DSN && request != ODBC_CONFIG_DSN) return 0;
    // Writing the data source anew drops whatever its section held before.
    SQLRemoveDSNFromIni(dsn.c_str());
    if (!SQLWriteDSNToIni(dsn.c_str(), driver)) return 0;
    for (const auto& [key, value] : pairs) {
        if (key == "DSN") continue;
        if (!SQLWritePrivateProfileString(dsn.c_str(), key.c_str(), value.c_str(), "ODBC.INI")) {
            return 0;
        }
    }
    return 1;
}
