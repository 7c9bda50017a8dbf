#pragma once

#include <cstdint>

// The RTU types of the host catalogue that are wind towers, the RTUs the storage
// plug-in stores. Type 100 has its station file from the plug-in's start and is the
// type the batch jobs work on; type 101 gets its station file with its first frame.
// Every other RTU is acquired and handed on, and the plug-in stores nothing of it.
constexpr int32_t kTowerType = 100;
constexpr int32_t kLateTowerType = 101;

constexpr bool IsTowerType(int32_t type) {
    return type == kTowerType || type == kLateTowerType;
}
