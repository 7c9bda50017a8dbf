#pragma once

// The plug-in's RTU type and data types in the host catalogue. Each group is added
// whole when its probe type is missing, so a group whose probe exists is never
// completed. User-interface thread, at start-up.

void RegisterRTUType();     // RTU type 100
void RegisterDataTypes1();  // 68 wind, temperature, humidity and packet types; probe 7100
void RegisterDataTypes2();  // 35 extreme and deviation types; probe 7500
void RegisterDataTypes3();  // 7 radiation and sunshine types; probe 2902

// Probes 100, 7100, 7500 and 2902 in this order and registers what is missing.
void RegisterMissingTypes();
