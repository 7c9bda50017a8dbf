#pragma once

#include <string>

// Whether Qt can open windows in this process, told before the Qt application is
// made: Qt aborts the process when its platform cannot start.
namespace HostDisplay {

// True when the platform that QT_QPA_PLATFORM names (or, when it is unset,
// `defaultPlatform`, or else the session's X or Wayland display) can start: offscreen
// and the other platforms without a display server always, xcb with DISPLAY naming a
// server that is there, wayland with WAYLAND_DISPLAY. A list ("wayland;xcb") needs
// one that can. False with `error` ("no display: …") otherwise.
bool Usable(const std::string& defaultPlatform, std::string& error);

}  // namespace HostDisplay
