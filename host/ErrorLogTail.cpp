#include "host/ErrorLogTail.h"

#include <cctype>
#include <fstream>
#include <sstream>

#include "platform/ErrorLog.h"

namespace {

constexpr size_t kStampLength = 19;  // "YYYY-MM-DD HH:MM:SS"

bool StartsWithStamp(const std::string& line) {
    static const char kShape[] = "dddd-dd-dd dd:dd:dd ";
    if (line.size() < kStampLength + 1) return false;
    for (size_t i = 0; i <= kStampLength; ++i) {
        const unsigned char c = static_cast<unsigned char>(line[i]);
        if (kShape[i] == 'd' ? !std::isdigit(c) : c != static_cast<unsigned char>(kShape[i])) {
            return false;
        }
    }
    return true;
}

uint64_t FileSize() {
    std::ifstream in(ErrorLog::FileName(), std::ios::binary | std::ios::ate);
    return in ? static_cast<uint64_t>(in.tellg()) : 0;
}

}  // namespace

CErrorLogTail::CErrorLogTail() : m_nOffset(FileSize()) {}

std::vector<CErrorLogTail::Entry> CErrorLogTail::NewEntries() {
    std::vector<Entry> entries;
    std::ifstream in(ErrorLog::FileName(), std::ios::binary);
    if (!in) return entries;
    in.seekg(0, std::ios::end);
    const uint64_t size = static_cast<uint64_t>(in.tellg());
    if (size < m_nOffset) m_nOffset = 0;  // the log was begun anew
    if (size == m_nOffset) return entries;
    std::string text(size - m_nOffset, '\0');
    in.seekg(static_cast<std::streamoff>(m_nOffset));
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    // Whole lines only: a line still being written is read at the next call.
    const size_t end = text.rfind('\n');
    if (end == std::string::npos) return entries;
    m_nOffset += end + 1;
    std::istringstream lines(text.substr(0, end + 1));
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (StartsWithStamp(line)) {
            entries.push_back({line.substr(0, kStampLength), line.substr(kStampLength + 1)});
        } else if (!entries.empty()) {
            entries.back().text += "\n" + line;
        } else if (!line.empty()) {
            entries.push_back({"", line});
        }
    }
    return entries;
}

bool CErrorLogTail::TellsRecovery(const std::string& text) {
    auto startsWith = [&](const char* start) { return text.rfind(start, 0) == 0; };
    auto contains = [&](const char* words) { return text.find(words) != std::string::npos; };
    // The backend's connection and stalled statement, in the words of the storage layer.
    if (startsWith("Backend answers again after a stall since ")) return true;
    if (startsWith("The backend data source ") && contains(" answers again; ")) return true;
    // "N rows refilled for tower T (or K towers) from … to …", unless rows were refused
    // on the way.
    static const std::string kRefilled = " rows refilled for ";
    const size_t digits = text.find_first_not_of("0123456789");
    return digits > 0 && digits != std::string::npos &&
           text.compare(digits, kRefilled.size(), kRefilled) == 0 && !contains(" refused");
}
