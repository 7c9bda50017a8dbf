// The ODBC setup library for a host whose driver manager is unixODBC behind another
// system's ODBC layer (the Windows host under Wine): that layer keeps data sources in
// its registry, where unixODBC never looks, so the data source is written straight
// into the odbc.ini of ODBCSYSINI. Registering a data source again replaces its section.
#include <windows.h>
// windows.h first: odbcinst.h relies on its types.
#include <odbcinst.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "host/odbcsetup/Attributes.h"

namespace {

bool SameName(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

// The file without the section `dsn`.
std::string WithoutSection(const std::string& file, const std::string& dsn) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream kept;
    std::string line;
    bool skipping = false;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty() && line.front() == '[') {
            skipping = SameName(line.substr(1, line.find(']') - 1), dsn);
        }
        if (!skipping) kept << line << '\n';
    }
    return kept.str();
}

}  // namespace

extern "C" __declspec(dllexport) BOOL WINAPI
    ConfigDSN(HWND, WORD request, LPCSTR driver, LPCSTR attributes) {
    const char* dir = std::getenv("ODBCSYSINI");
    if (!dir || !*dir) return FALSE;
    const std::string file = std::string(dir) + "/odbc.ini";
    std::string dsn;
    const auto pairs = SplitAttributes(attributes);
    for (const auto& [key, value] : pairs) {
        if (key == "DSN") dsn = value;
    }
    if (dsn.empty()) return FALSE;
    if (request != ODBC_ADD_DSN && request != ODBC_CONFIG_DSN && request != ODBC_ADD_SYS_DSN &&
        request != ODBC_CONFIG_SYS_DSN && request != ODBC_REMOVE_DSN &&
        request != ODBC_REMOVE_SYS_DSN) {
        return FALSE;
    }
    std::string text = WithoutSection(file, dsn);
    if (request != ODBC_REMOVE_DSN && request != ODBC_REMOVE_SYS_DSN) {
        text += "[" + dsn + "]\nDriver=" + std::string(driver ? driver : "") + "\n";
        for (const auto& [key, value] : pairs) {
            if (key != "DSN") text += key + "=" + value + "\n";
        }
    }
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << text;
    return out ? TRUE : FALSE;
}
