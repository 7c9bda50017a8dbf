#include "model/DataIds.h"

#include <cstdio>
#include <unordered_map>

#include "model/Catalogue.h"

namespace {

struct Category {
    int number;
    const char* name;
};

const Category kSpeed{5, "风速"};
const Category kDirection{4, "风向"};
const Category kTemperature{3, "温度"};
const Category kHumidity{24, "湿度"};
const Category kPackets{20, "包数"};
const Category kRadiation{29, "辐射"};
const Category kTime{30, "时间"};
const Category kRain{6, "雨量"};
const Category kPressure{7, "气压"};

// One row: a single id, or with `perLevel` the ids first … first + 6, whose name is a
// format of the level. Groups 1-3 are those the plug-in registers in the host's
// DATATYPE table; group 0 ids are carried by frames and stored without registration.
struct TypeRow {
    int first;
    bool perLevel;
    const char* name;
    const char* unit;
    Category category;
    int group;
};

const TypeRow kRows[] = {
    {7000, true, "%d层10分钟平均风速", "m/s", kSpeed, 1},
    {7100, true, "%d层10分钟平均风向", "°", kDirection, 1},
    {7200, true, "%d层10分钟风速标准差", "m/s", kSpeed, 1},
    {7300, true, "%d层10分钟瞬时风速", "m/s", kSpeed, 1},
    {7400, true, "%d层10分钟瞬时风向", "°", kDirection, 1},
    {9000, true, "%d层小时平均风速", "m/s", kSpeed, 1},
    {9100, true, "%d层小时平均风向", "°", kDirection, 1},
    {9200, true, "%d层小时极大风速", "m/s", kSpeed, 1},
    {9300, true, "%d层小时极大风向", "°", kDirection, 1},
    {8000, false, "最高层温度", "℃", kTemperature, 1},
    {8100, false, "最高层湿度", "%", kHumidity, 1},
    {8200, false, "最低层温度", "℃", kTemperature, 1},
    {8300, false, "最低层湿度", "%", kHumidity, 1},
    {2000, false, "发信包数", "%", kPackets, 1},
    {7500, true, "%d层最大风速", "m/s", kSpeed, 2},
    {7600, true, "%d层最小风速", "m/s", kSpeed, 2},
    {7700, true, "%d层最大风向", "°", kDirection, 2},
    {7800, true, "%d层最小风向", "°", kDirection, 2},
    {7900, true, "%d层风向标准差", "°", kDirection, 2},
    {2900, false, "直接辐射", "w/m2", kRadiation, 3},
    {2901, false, "总辐射", "w/m2", kRadiation, 3},
    {2902, false, "反射辐射", "w/m2", kRadiation, 3},
    {2903, false, "散射辐射", "w/m2", kRadiation, 3},
    {2904, false, "紫外辐射", "w/m2", kRadiation, 3},
    {2905, false, "组件温度", "℃", kTemperature, 3},
    {3000, false, "日照时间", "hour", kTime, 3},
    {kCycleID, false, "雨量计数", "mm", kRain, 0},
    {kRainID, false, "小时雨量", "mm", kRain, 0},
    {2300, false, "气压", "hPa", kPressure, 0},
};

std::vector<DataIdInfo> MakeDataIds() {
    std::vector<DataIdInfo> ids;
    for (const TypeRow& row : kRows) {
        const int levels = row.perLevel ? kLevels : 1;
        for (int level = 1; level <= levels; ++level) {
            char name[128];
            std::snprintf(name, sizeof name, row.name, level);
            DataIdInfo info;
            info.id = row.first + level - 1;
            info.name = name;
            info.unit = row.unit;
            info.category = row.category.number;
            info.categoryName = row.category.name;
            info.column = ColumnOfDataId(info.id);
            info.group = row.group;
            ids.push_back(std::move(info));
        }
    }
    return ids;
}

}  // namespace

const std::vector<DataIdInfo>& DataIds() {
    static const std::vector<DataIdInfo> ids = MakeDataIds();
    return ids;
}

const DataIdInfo* FindDataId(int32_t id) {
    static const std::unordered_map<int32_t, const DataIdInfo*> index = [] {
        std::unordered_map<int32_t, const DataIdInfo*> byId;
        for (const DataIdInfo& info : DataIds()) byId.emplace(info.id, &info);
        return byId;
    }();
    const auto it = index.find(id);
    return it == index.end() ? nullptr : it->second;
}
