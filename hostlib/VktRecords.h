#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Api.h"
#include "platform/DateTime.h"
#include "platform/Mutex.h"

// Records exchanged between the host and its plug-ins.

// Root of the library's objects: whatever the library hands out as owned by the
// caller is freed through this virtual destructor.
class VKTBASE_API CObject {
public:
    virtual ~CObject();
};

// One measurement of a frame. A plain 48-byte record, copied whole.
#pragma pack(push, 4)
struct CDataItem {
    int32_t m_nSensorID = 0;  // key of the measuring point
    int32_t m_nReserved1 = 0;
    int32_t m_nDataID = 0;  // data type measured
    int32_t m_nReserved2 = 0;
    int32_t m_nKind = 0;  // item kind; 8 marks an extreme with its own time
    DateTime m_tTime;     // time stamp of the value
    int32_t m_nReserved3 = 0;
    float m_fValue = 0.0f;
    int32_t m_nStatus = 0;  // thousands digit above 2: abnormal value
    int32_t m_nReserved4 = 0;
};
#pragma pack(pop)

static_assert(sizeof(CDataItem) == 48);
static_assert(offsetof(CDataItem, m_nSensorID) == 0);
static_assert(offsetof(CDataItem, m_nDataID) == 8);
static_assert(offsetof(CDataItem, m_nKind) == 16);
static_assert(offsetof(CDataItem, m_tTime) == 20);
static_assert(offsetof(CDataItem, m_fValue) == 36);
static_assert(offsetof(CDataItem, m_nStatus) == 40);

// One acquired data frame of an RTU.
struct CDataFrame {
    std::vector<CDataItem> m_arItems;
    int32_t m_nRTUID = 0;
    int32_t m_nKind = 0;  // frame kind; the host stores kinds 1 and up
    DateTime m_tTime;
};

// RTU definition. Object id and RTU number are equal.
class VKTBASE_API CRTUDef : public CObject {
public:
    int32_t m_nID = 0;
    int32_t m_nRTUID = 0;
    std::string m_strName;
    int32_t m_nType = 0;
    std::string m_strRemark;
};

class VKTBASE_API CRTUType : public CObject {
public:
    CRTUType() = default;
    CRTUType(int32_t nType, std::string strName) : m_nType(nType), m_strName(std::move(strName)) {}
    int32_t m_nType = 0;
    std::string m_strName;
};

class VKTBASE_API CDataType : public CObject {
public:
    CDataType() = default;
    int32_t m_nID = 0;
    std::string m_strName;
    std::string m_strUnit;
    int32_t m_nCategory = 0;
    std::string m_strCategory;
};

class VKTBASE_API CSysInfo : public CObject {
public:
    int32_t m_nOptions = 8;  // option flags
};

// A stored sample of one measuring point.
class VKTBASE_API CSensorData : public CObject {
public:
    int32_t m_nSensorID = 0;
    DateTime m_tTime;
    float m_fValue = 0.0f;
};

// One value slot of an RTU's state: the latest value and its time stamp.
#pragma pack(push, 4)
struct CRTUValue {
    float m_fValue = 0.0f;
    DateTime m_tTime = DateTime::Invalid();  // invalid until a value arrives
};
#pragma pack(pop)
static_assert(sizeof(CRTUValue) == 16);

// The live state of one RTU, owned by the library and never freed by a caller.
class VKTBASE_API CRTUState {
public:
    static constexpr int kValueSlots = 114;

    // The state record of the RTU, or null when the host does not know it.
    static CRTUState* GetRTUState(int32_t nRTUID);

    // When the host last acquired a frame of this RTU (invalid before the first).
    DateTime GetStateTime() const;
    void SetStateTime(const DateTime& time);

    // Latest-value slots; written and read by the plug-in's storage thread only.
    CRTUValue m_arValue[kValueSlots];

private:
    mutable Mutex m_lock;
    DateTime m_tState GUARDED_BY(m_lock) = DateTime::Invalid();
};

template <typename T>
using CObList = std::vector<std::unique_ptr<T>>;
