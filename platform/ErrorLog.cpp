#include "platform/ErrorLog.h"

#include <cstdio>
#include <mutex>

#include "platform/Clock.h"
#include "platform/System.h"

namespace ErrorLog {

const char* FileName() {
    return "VKTError.log";
}

namespace {

std::string Generation(int n) {
    return std::string(FileName()) + "." + std::to_string(n);
}

// Moves a full log aside; `file` is the log open for appending, closed on a move.
std::FILE* RotateIfFull(std::FILE* file) {
    if (std::fseek(file, 0, SEEK_END) != 0 || std::ftell(file) < kCapBytes) return file;
    std::fclose(file);
    System::RemoveFile(Generation(kGenerations));
    for (int n = kGenerations - 1; n >= 1; --n) {
        System::MoveOver(Generation(n), Generation(n + 1));
    }
    System::MoveOver(FileName(), Generation(1));
    return std::fopen(FileName(), "ab");
}

}  // namespace

void Append(const std::string& text) {
    static std::mutex lock;
    std::lock_guard<std::mutex> guard(lock);
    std::FILE* file = std::fopen(FileName(), "ab");
    if (file) file = RotateIfFull(file);
    if (!file) return;
    const std::string stamp = ProcessClock::Now().Format();
    std::fprintf(file, "%s %s", stamp.c_str(), text.c_str());
    if (text.empty() || text.back() != '\n') std::fputc('\n', file);
    std::fclose(file);
}

}  // namespace ErrorLog
