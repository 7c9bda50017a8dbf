#pragma once

#include <QString>
#include <vector>

#include "hostlib/VktBase.h"

// The plug-in's health figures (the same as `vkthost run --status` prints) as the
// window shows them, and the changes between two looks as message window lines.
namespace HealthView {

struct Line {
    QString text;
    bool alarm = false;  // shown in red: a store in an outage, a stalled statement, …
};

// One line per store (backend, station files, isolation files), then the counts.
std::vector<Line> Lines(const CPluginHealth& health);

// For the status bar: the stores in an outage or stalled, or that all answer.
Line Status(const CPluginHealth& health);

// What changed since the last look: a store lost and back, a statement stalled and
// returned, frames dropped, rows refilled. The first look tells only what is wrong.
class CWatch {
public:
    std::vector<Line> Changes(const CPluginHealth& health);

private:
    bool m_bLooked = false;
    CPluginHealth m_last;
};

}  // namespace HealthView
