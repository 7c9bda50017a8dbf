// The ODBC setup library of the host's drivers: writes system data sources for
// SQLConfigDataSource, which the shipped SQLite driver cannot do itself. Registering
// a data source again replaces its whole section; odbc.ini is replaced whole, never
// rewritten in place (see DataSourceWriter).
#include <odbcinst.h>

#include "host/odbcsetup/DataSourceWriter.h"
#include "platform/Api.h"

VKT_C_EXPORT BOOL ConfigDSN(HWND, WORD request, LPCSTR driver, LPCSTR attributes) {
    // The installer hands a system data source over as ODBC_ADD_DSN, the file chosen by
    // its configuration mode; ODBCSYSINI and ODBCINI name the same file for this host.
    switch (request) {
        case ODBC_ADD_DSN:
        case ODBC_CONFIG_DSN:
            return DataSourceWriter::Apply(DataSourceWriter::Change::kAdd, driver, attributes);
        case ODBC_REMOVE_DSN:
            return DataSourceWriter::Apply(DataSourceWriter::Change::kRemove, driver, attributes);
        default:
            return 0;
    }
}
