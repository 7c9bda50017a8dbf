#pragma once

// Symbols of the base library that the host program and the plug-in import.
#define VKTBASE_API __attribute__((visibility("default")))
