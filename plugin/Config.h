#pragma once

#include <string>
#include <vector>

#include "plugin/ConfigFile.h"

class CWPSettingsStore;
struct CWPSettings;

// The working parameters in "WPDB.ini" of the current directory. LoadConfig reads
// the eleven keys once at start-up into the store (a missing key takes its default,
// `workingDir` being the default of [TXT] DIR), SaveConfig writes the store's set
// after the operator confirmed the working-parameters dialog, a [TXT] DIR that is
// `workingDir` itself as empty; neither reports a result.
void LoadConfig(CWPSettingsStore& settings, const std::string& workingDir);
void SaveConfig(const CWPSettingsStore& settings, const std::string& workingDir = "");
// The keys, "SECTION.KEY" in the file's order, whose values differ between the two sets.
std::vector<std::string> ChangedKeys(const CWPSettings& before, const CWPSettings& after);

// The configuration file, relative to the current directory.
constexpr const char* kConfigFile = ConfigFile::kPath;
