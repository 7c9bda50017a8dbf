// The ODBC setup library for a host whose driver manager is unixODBC behind another
// system's ODBC layer (the Windows host under Wine): that layer keeps data sources in
// its registry, where unixODBC never looks, so the data source is written straight
// into the odbc.ini of ODBCSYSINI. Registering a data source again replaces its section;
// odbc.ini is replaced whole, never rewritten in place (see DataSourceWriter).
#include <windows.h>
// windows.h first: odbcinst.h relies on its types.
#include <odbcinst.h>

#include "host/odbcsetup/DataSourceWriter.h"

extern "C" __declspec(dllexport) BOOL WINAPI
    ConfigDSN(HWND, WORD request, LPCSTR driver, LPCSTR attributes) {
    switch (request) {
        case ODBC_ADD_DSN:
        case ODBC_CONFIG_DSN:
        case ODBC_ADD_SYS_DSN:
        case ODBC_CONFIG_SYS_DSN:
            return DataSourceWriter::Apply(DataSourceWriter::Change::kAdd, driver, attributes);
        case ODBC_REMOVE_DSN:
        case ODBC_REMOVE_SYS_DSN:
            return DataSourceWriter::Apply(DataSourceWriter::Change::kRemove, driver, attributes);
        default:
            return FALSE;
    }
}
