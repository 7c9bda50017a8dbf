#pragma once

#include <string>

#include "plugin/ConfigFile.h"

class CWPSettingsStore;

// The working parameters in "WPDB.ini" of the current directory. LoadConfig reads
// the eleven keys once at start-up into the store (a missing key takes its default,
// `workingDir` being the default of [TXT] DIR), SaveConfig writes the store's set
// after the operator confirmed the working-parameters dialog; neither reports a result.
void LoadConfig(CWPSettingsStore& settings, const std::string& workingDir);
void SaveConfig(const CWPSettingsStore& settings);

// The configuration file, relative to the current directory.
constexpr const char* kConfigFile = ConfigFile::kPath;
