#include "plugin/TypeRegistration.h"

#include "hostlib/VktBase.h"
#include "model/DataIds.h"

namespace {

// Writes the data types of one registration group into the host's DATATYPE table.
void RegisterGroup(int group) {
    CDataType type;  // one record, reused for every type of the group
    for (const DataIdInfo& info : DataIds()) {
        if (info.group != group) continue;
        type.m_nID = info.id;
        type.m_strName = info.name;
        type.m_strUnit = info.unit;
        type.m_nCategory = info.category;
        type.m_strCategory = info.categoryName;
        SaveDBObj(2, kObjDataType, type);  // a refused type is tried again next start
    }
}

}  // namespace

void RegisterRTUType() {
    SaveDBObj(2, kObjRTUType, CRTUType(100, "风电站"));
}
void RegisterDataTypes1() {
    RegisterGroup(1);
}
void RegisterDataTypes2() {
    RegisterGroup(2);
}
void RegisterDataTypes3() {
    RegisterGroup(3);
}

void RegisterMissingTypes() {
    if (!GetRTUType(100)) RegisterRTUType();
    if (!GetDataType(7100)) RegisterDataTypes1();
    if (!GetDataType(7500)) RegisterDataTypes2();
    if (!GetDataType(2902)) RegisterDataTypes3();
}
