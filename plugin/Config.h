#pragma once

// The working parameters in "WPDB.ini" of the current directory. LoadConfig reads
// the eleven keys once at start-up, SaveConfig writes them after the operator
// confirmed the working-parameters dialog; neither reports a result.
void LoadConfig();
void SaveConfig();

// The configuration file, relative to the current directory.
constexpr const char* kConfigFile = "./WPDB.ini";
