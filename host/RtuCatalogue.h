#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "hostlib/VktRecords.h"

// The host's RTU catalogue from the terminal: what each RTU type means, and the
// commands that list, add and remove RTUs of a host directory.
namespace RtuCatalogue {

// The towers whose station files the plug-in keeps from its start: the RTUs the
// export and the rainfall recalculation take.
constexpr int32_t kJobTowerType = 100;

// An RTU type the host knows: its own (100, 101, 102) and those registered in the
// type catalogue of VKTCOMM.MDB.
struct KnownType {
    int32_t type = 0;
    std::string meaning;
};

// The known types in type order. The host database must be reachable (the current
// directory is the host directory) for the registered ones to be included.
std::vector<KnownType> KnownTypes();
// What the type means to an operator; empty when the host does not know it.
std::string TypeMeaning(int32_t type);
// "100 (wind tower), 101 (…)" for messages.
std::string KnownTypesText();

// "12 \"T12\" (type 101, wind tower, second kind)".
std::string Describe(const CRTUDef& def);

// The RTU as the open catalogue holds it; false (with `error` when the query failed)
// when not.
bool Find(int32_t rtuId, CRTUDef& def, std::string& error);

// The commands; each returns its exit code (0 done, 1 refused with `error`).
int List(const std::string& dir, std::string& error);
int Add(const std::string& dir, const CRTUDef& def, bool replace, std::string& error);
int Remove(const std::string& dir, int32_t rtuId, std::string& error);

}  // namespace RtuCatalogue
