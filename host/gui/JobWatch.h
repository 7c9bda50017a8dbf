#pragma once

#include <QString>
#include <chrono>
#include <vector>

#include "hostlib/VktBase.h"

// The plug-in's batch jobs (the local data export, the period rainfall recalculation)
// as the window sees them through the plug-in's job figures: when one starts, and
// when it ends, with its summary, whether it ran to its end or was stopped.
// User-interface thread.
class CJobWatch {
public:
    static constexpr int kKinds = 2;  // CPluginJobs::kExport, CPluginJobs::kRainfall

    // Lines for what changed since the last look. A job that started and ended between
    // two looks is told as both, as far as its figures changed.
    std::vector<QString> Changes(CPluginJobs* jobs);
    // The kinds of the jobs running at the last look.
    std::vector<int> Running() const;

    static QString KindName(int kind);

private:
    struct Kind {
        bool looked = false;
        bool running = false;
        CJobSummary last;
        std::chrono::steady_clock::time_point started;
    };
    Kind m_kinds[kKinds];
};
