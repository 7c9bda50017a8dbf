#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/LiveSource.h"
#include "host/SourceMap.h"

// A logger's table file in the TOA5 layout: an environment line, the field names, the
// units, the processing, then one row a record: "YYYY-MM-DD HH:MM:SS",record,values…
struct CTableSourceDef {
    int rtu = 0;
    std::string file;
    std::vector<CMapEntry> map;
};

namespace TableFile {

// The field names of the table's header (the second line), or nothing with `error`.
std::optional<std::vector<std::string>> ReadFields(const std::string& file, std::string& error);

// The frame of the table's last row, as `source check` shows it, or nothing with `error`.
std::optional<CDataFrame> LastFrame(const CTableSourceDef& table, std::string& error);

// Follows the table as it grows, as --follow follows a frames file: the position past
// the rows settled kept in `positionFile` with the file's identity, rotations followed.
// "NAN" and empty fields give no item; a new header mid-file is checked against the map
// again. Null (with `error`) when the file cannot be opened or its header does not have
// the map's columns.
std::unique_ptr<CLiveSource> Follow(const CTableSourceDef& table, const std::string& positionFile,
                                    std::string& error);

}  // namespace TableFile
