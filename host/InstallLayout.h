#pragma once

#include <string>

// Where the host program finds the libraries that come with it: the plug-in and the
// ODBC setup library.
namespace InstallLayout {

// The file of the library `name` ("VKTEXTDB_WINDPOWER"): in the private library folder
// of an installed host (lib/vkthost/ beside bin/), in lib/ beside bin/ (a build), or
// beside the program (Windows), the first that exists; the last when none does.
std::string HostLibrary(const std::string& name);

}  // namespace InstallLayout
