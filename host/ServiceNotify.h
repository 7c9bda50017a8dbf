#pragma once

#include <functional>
#include <string>
#include <vector>

#include "host/SourceHealth.h"
#include "hostlib/VktBase.h"

// What the host tells a service manager that started it and waits for its word
// (systemd with Type=notify, through the socket it names in NOTIFY_SOCKET): that the
// host is up, that its main loop is alive, how the plug-in is doing, and that it is
// stopping. Without such a manager, or in a build without libsystemd, every call does
// nothing; a manager that cannot be reached fails no run. As with every service, a
// datagram that finds the manager's queue full waits until it reads. Main thread only.
namespace ServiceNotify {

// The plug-in has started: READY=1 with the first status line. Until this call the
// other calls send nothing.
void Ready();

// One turn of the host's main loop. Sends WATCHDOG=1 once half the watchdog interval
// the manager asked for (WATCHDOG_USEC) has passed since the last one, and the
// plug-in's health as the status line at that pace, at most kStatusSeconds apart.
// Only the loop itself calls it, never a thread of its own: a loop that hangs stops
// the pings, and the manager ends the host.
void Alive();

// The host begins to stop (its acquisition has ended): STOPPING=1 with the status line.
void Stopping();

// The longest time between two status lines while the loop runs.
inline constexpr double kStatusSeconds = 5.0;

// The plug-in's health figures as one line, as the manager shows it.
std::string StatusLine(const CPluginHealth& health);

// Where the status line reads how the sources that read devices or a broker fare (null:
// none); set before Ready.
void WatchSources(std::function<std::vector<CSourceHealth>()> sources);
// "sources: 2 of 3 answering; not: RTU 7 modbus 10.0.0.5:502 (timed out)", or empty.
std::string SourcesText(const std::vector<CSourceHealth>& sources);

}  // namespace ServiceNotify
