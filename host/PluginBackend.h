#pragma once

#include <string>

// The backend the plug-in writes to, as its configuration file in the current
// directory names it, with the plug-in's defaults for missing keys.
struct PluginBackend {
    std::string source, user, password;
    std::string prefix;  // as written: check it with IsSchemaPrefix before use
};

PluginBackend ReadPluginBackend();
