#pragma once

#include <string>

#include "hostlib/VktRecords.h"
#include "platform/Api.h"

// The seven functions through which the host drives the plug-in, found by name
// with dlsym (GetProcAddress on Windows). Call order: GetExtDBInfo at any time; VKTLibInit once on
// the host's user-interface thread; SaveRTDB from any thread; EditProperty, OutLocalData and
// CloseAccess on the user-interface thread; VKTLibExit once before unloading.
#define VKT_EXPORT VKT_C_EXPORT

// 8, the plug-in's name and its description.
VKT_EXPORT void GetExtDBInfo(int& nType, std::string& strName, std::string& strDesc);
VKT_EXPORT void VKTLibInit();
// Hands a frame of a tower RTU to the storage thread, which copies it before this
// returns. 0 before VKTLibInit, after VKTLibExit and for an RTU the host does not
// know; nonzero otherwise (frames of other RTU types are accepted and ignored).
VKT_EXPORT int SaveRTDB(const CDataFrame& frame);
VKT_EXPORT void EditProperty();
VKT_EXPORT void OutLocalData();
VKT_EXPORT void CloseAccess();
VKT_EXPORT void VKTLibExit();

using PFN_GetExtDBInfo = void (*)(int&, std::string&, std::string&);
using PFN_VKTLibInit = void (*)();
using PFN_SaveRTDB = int (*)(const CDataFrame&);
using PFN_EditProperty = void (*)();
using PFN_OutLocalData = void (*)();
using PFN_CloseAccess = void (*)();
using PFN_VKTLibExit = void (*)();
