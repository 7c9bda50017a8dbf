#include "plugin/TypeRegistration.h"

#include <cstdio>

#include "hostlib/VktBase.h"

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

// One row of a group: a single id, or with `perLevel` the ids first … first + 6,
// whose name is a format of the level.
struct TypeRow {
    int first;
    bool perLevel;
    const char* name;
    const char* unit;
    Category category;
};

const TypeRow kGroup1[] = {
    {7000, true, "%d层10分钟平均风速", "m/s", kSpeed},
    {7100, true, "%d层10分钟平均风向", "°", kDirection},
    {7200, true, "%d层10分钟风速标准差", "m/s", kSpeed},
    {7300, true, "%d层10分钟瞬时风速", "m/s", kSpeed},
    {7400, true, "%d层10分钟瞬时风向", "°", kDirection},
    {9000, true, "%d层小时平均风速", "m/s", kSpeed},
    {9100, true, "%d层小时平均风向", "°", kDirection},
    {9200, true, "%d层小时极大风速", "m/s", kSpeed},
    {9300, true, "%d层小时极大风向", "°", kDirection},
    {8000, false, "最高层温度", "℃", kTemperature},
    {8100, false, "最高层湿度", "%", kHumidity},
    {8200, false, "最低层温度", "℃", kTemperature},
    {8300, false, "最低层湿度", "%", kHumidity},
    {2000, false, "发信包数", "%", kPackets},
};

const TypeRow kGroup2[] = {
    {7500, true, "%d层最大风速", "m/s", kSpeed},     {7600, true, "%d层最小风速", "m/s", kSpeed},
    {7700, true, "%d层最大风向", "°", kDirection},   {7800, true, "%d层最小风向", "°", kDirection},
    {7900, true, "%d层风向标准差", "°", kDirection},
};

const TypeRow kGroup3[] = {
    {2900, false, "直接辐射", "w/m2", kRadiation}, {2901, false, "总辐射", "w/m2", kRadiation},
    {2902, false, "反射辐射", "w/m2", kRadiation}, {2903, false, "散射辐射", "w/m2", kRadiation},
    {2904, false, "紫外辐射", "w/m2", kRadiation}, {2905, false, "组件温度", "℃", kTemperature},
    {3000, false, "日照时间", "hour", kTime},
};

template <size_t N>
void RegisterGroup(const TypeRow (&rows)[N]) {
    CDataType type;  // one record, reused for every type of the group
    for (const TypeRow& row : rows) {
        const int levels = row.perLevel ? 7 : 1;
        for (int level = 1; level <= levels; ++level) {
            char name[128];
            if (row.perLevel) {
                std::snprintf(name, sizeof name, row.name, level);
            } else {
                std::snprintf(name, sizeof name, "%s", row.name);
            }
            type.m_nID = row.first + level - 1;
            type.m_strName = name;
            type.m_strUnit = row.unit;
            type.m_nCategory = row.category.number;
            type.m_strCategory = row.category.name;
            SaveDBObj(2, kObjDataType, type);  // a refused type is tried again next start
        }
    }
}

}  // namespace

void RegisterRTUType() {
    SaveDBObj(2, kObjRTUType, CRTUType(100, "风电站"));
}
void RegisterDataTypes1() {
    RegisterGroup(kGroup1);
}
void RegisterDataTypes2() {
    RegisterGroup(kGroup2);
}
void RegisterDataTypes3() {
    RegisterGroup(kGroup3);
}

void RegisterMissingTypes() {
    if (!GetRTUType(100)) RegisterRTUType();
    if (!GetDataType(7100)) RegisterDataTypes1();
    if (!GetDataType(7500)) RegisterDataTypes2();
    if (!GetDataType(2902)) RegisterDataTypes3();
}
