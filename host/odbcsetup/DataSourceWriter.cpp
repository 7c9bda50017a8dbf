#include "host/odbcsetup/DataSourceWriter.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "host/odbcsetup/Attributes.h"
#include "platform/OdbcIni.h"
#include "platform/System.h"

namespace DataSourceWriter {

namespace {

// The whole file, or empty when there is none; false when it is there but cannot be
// read (writing then would drop every data source it holds).
bool ReadExisting(const std::string& path, std::string& text) {
    text.clear();
    std::error_code ec;
    if (std::filesystem::status(path, ec).type() == std::filesystem::file_type::not_found) {
        return true;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream content;
    content << in.rdbuf();
    if (in.bad()) return false;
    text = content.str();
    return true;
}

}  // namespace

bool Apply(Change change, const char* driver, const char* attributes) {
    const std::string dir = System::OdbcFolder();
    if (dir.empty()) return false;
    const OdbcIni::DataSource source =
        OdbcIni::DataSourceOf(driver ? driver : "", SplitAttributes(attributes));
    if (source.name.empty() || (change == Change::kAdd && !OdbcIni::CanWrite(source))) {
        return false;
    }
    const std::string file = dir + "/odbc.ini";
    std::string text;
    if (!ReadExisting(file, text)) return false;
    const std::string changed = change == Change::kAdd ? OdbcIni::WithDataSource(text, source)
                                                       : OdbcIni::WithoutSection(text, source.name);
    return changed == text || System::WriteFileWhole(file, changed, "odbc-ini-write");
}

}  // namespace DataSourceWriter
