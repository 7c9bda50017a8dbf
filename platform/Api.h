#pragma once

// Symbols of the base library that the host program and the plug-in import.
#if defined(_WIN32)
#if defined(VKTBASE_BUILD)
#define VKTBASE_API __declspec(dllexport)
#else
#define VKTBASE_API __declspec(dllimport)
#endif
#else
#define VKTBASE_API __attribute__((visibility("default")))
#endif

// A C function that a library offers to whoever loads it, found by its plain name.
#if defined(_WIN32)
#define VKT_C_EXPORT extern "C" __declspec(dllexport)
#else
#define VKT_C_EXPORT extern "C" __attribute__((visibility("default")))
#endif
