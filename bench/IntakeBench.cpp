// The host's intake from tower loggers against bare readers of the same data.
#include "bench/IntakeBench.h"

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

struct Benchmark {
    const char* name;
    IntakeResult (*run)();
};

const Benchmark kBenchmarks[] = {
    {"modbus", &ModbusIntakeBench},
    {"mqtt", &MqttIntakeBench},
    {"table", &TableIntakeBench},
};

// "--benchmarks=a,b": the names asked for; all without it.
std::vector<std::string> Asked(int argc, char** argv) {
    const char* const prefix = "--benchmarks=";
    std::vector<std::string> names;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], prefix, std::strlen(prefix)) != 0) continue;
        std::string list = argv[i] + std::strlen(prefix);
        for (size_t start = 0; start <= list.size();) {
            const size_t comma = std::min(list.find(',', start), list.size());
            if (comma > start) names.push_back(list.substr(start, comma - start));
            start = comma + 1;
        }
    }
    return names;
}

bool Wanted(const std::vector<std::string>& asked, const char* name) {
    if (asked.empty()) return true;
    for (const std::string& one : asked) {
        if (one == name) return true;
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> asked = Asked(argc, argv);
    std::printf("%-8s %-14s %12s %12s %7s %7s  %s\n", "intake", "unit", "host", "baseline", "ratio",
                "target", "what");
    int failed = 0;
    for (const Benchmark& benchmark : kBenchmarks) {
        if (!Wanted(asked, benchmark.name)) continue;
        const IntakeResult r = benchmark.run();
        if (!r.failure.empty()) {
            std::printf("%-8s could not run: %s\n", benchmark.name, r.failure.c_str());
            ++failed;
            continue;
        }
        std::printf("%-8s %-14s %12.4g %12.4g %7.2f %7.2f  %s%s\n", r.name.c_str(), r.unit.c_str(),
                    r.ours, r.baseline, r.ratio, r.target, r.what.c_str(),
                    r.ratio >= r.target ? "" : "  (below target)");
    }
    return failed == 0 ? 0 : 1;
}
