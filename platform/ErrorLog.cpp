#include "platform/ErrorLog.h"

#include <cstdio>
#include <mutex>

#include "platform/Clock.h"

namespace ErrorLog {

const char* FileName() {
    return "VKTError.log";
}

void Append(const std::string& text) {
    static std::mutex lock;
    std::lock_guard<std::mutex> guard(lock);
    std::FILE* file = std::fopen(FileName(), "ab");
    if (!file) return;
    const std::string stamp = ProcessClock::Now().Format();
    std::fprintf(file, "%s %s", stamp.c_str(), text.c_str());
    if (text.empty() || text.back() != '\n') std::fputc('\n', file);
    std::fclose(file);
}

}  // namespace ErrorLog
