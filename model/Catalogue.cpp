#include "model/Catalogue.h"

#include <string>
#include <unordered_map>
#include <utility>

namespace {

struct WindQuantity {
    int32_t base;
    const char* suffix;
};

// Per level, in catalogue order: the ten 10-minute quantities, then the five hourly ones.
const WindQuantity kTenMinuteWind[] = {
    {7000, "AVGSP"}, {7100, "AVGDIR"}, {7200, "STANDARD"}, {7300, "SP"},     {7400, "DIR"},
    {7500, "MSTSP"}, {7600, "LSTSP"},  {7700, "MSTDIR"},   {7800, "LSTDIR"}, {7900, "STANDARDDIR"},
};
const WindQuantity kHourlyWind[] = {
    {9000, "AVGSP"}, {9100, "AVGDIR"}, {9200, "MAXSP"}, {9300, "MAXDIR"}, {10000, "MAXTM"},
};

const std::pair<int32_t, const char*> kOtherColumns[] = {
    {8000, "VMAXTEMP"},  {8100, "VMAXHUM"}, {8200, "V1TEMP"}, {8300, "V1HUM"}, {2300, "PRESSURE"},
    {kCycleID, "CYCLE"}, {kRainID, "RAIN"}, {2900, "QX1"},    {2901, "QX2"},   {2902, "QX3"},
    {2903, "QX4"},       {2904, "QX5"},     {2905, "QX6"},    {3000, "QX7"},
};

// Levels are single digits: "V", the level, the quantity.
std::string LevelColumn(int level, const char* suffix) {
    std::string name(1, 'V');
    name += static_cast<char>('0' + level);
    return name + suffix;
}

// Written only by BuildCatalogue / FreeCatalogue, which run before the workers start
// and after they stop.
std::unordered_map<int32_t, std::string> g_catalogue;

std::vector<ColumnDef> MakeTenMinuteColumns() {
    std::vector<ColumnDef> columns;
    for (int level = 1; level <= kLevels; ++level) {
        for (const WindQuantity& q : kTenMinuteWind) {
            columns.push_back({LevelColumn(level, q.suffix), ColumnKind::Value});
        }
    }
    for (const char* name :
         {"V1TEMP", "V1HUM", "VMAXTEMP", "VMAXHUM", "PRESSURE", "RAIN", "CYCLE"}) {
        columns.push_back({name, ColumnKind::Value});
    }
    for (int i = 1; i <= 10; ++i) columns.push_back({"QX" + std::to_string(i), ColumnKind::Value});
    return columns;
}

std::vector<ColumnDef> MakeHourlyColumns() {
    std::vector<ColumnDef> columns;
    for (int level = 1; level <= kLevels; ++level) {
        for (const WindQuantity& q : kHourlyWind) {
            const bool isTime = q.base == 10000;
            columns.push_back(
                {LevelColumn(level, q.suffix), isTime ? ColumnKind::Time : ColumnKind::Value});
        }
    }
    return columns;
}

std::unordered_map<int32_t, std::string> MakeIdColumns() {
    std::unordered_map<int32_t, std::string> columns;
    columns.reserve(128);
    for (int level = 1; level <= kLevels; ++level) {
        for (const WindQuantity& q : kTenMinuteWind) {
            columns[q.base + level - 1] = LevelColumn(level, q.suffix);
        }
        for (const WindQuantity& q : kHourlyWind) {
            columns[q.base + level - 1] = LevelColumn(level, q.suffix);
        }
    }
    for (const auto& [id, name] : kOtherColumns) columns[id] = name;
    return columns;
}

}  // namespace

void BuildCatalogue() {
    g_catalogue = MakeIdColumns();
}

std::string ColumnOfDataId(int32_t nDataID) {
    static const std::unordered_map<int32_t, std::string> columns = MakeIdColumns();
    auto it = columns.find(nDataID);
    return it == columns.end() ? std::string() : it->second;
}

void FreeCatalogue() {
    g_catalogue.clear();
}

std::string GetColumnName(int32_t nDataID) {
    auto it = g_catalogue.find(nDataID);
    return it == g_catalogue.end() ? std::string() : it->second;
}

size_t CatalogueSize() {
    return g_catalogue.size();
}

const std::vector<ColumnDef>& TenMinuteColumns() {
    static const std::vector<ColumnDef> columns = MakeTenMinuteColumns();
    return columns;
}

const std::vector<ColumnDef>& HourlyColumns() {
    static const std::vector<ColumnDef> columns = MakeHourlyColumns();
    return columns;
}
