#include "host/FollowPosition.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <stdexcept>

namespace FollowPosition {

namespace {

using nlohmann::json;

std::string Hex(uint64_t value) {
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
    return text;
}

uint64_t Unsigned(const json& object, const char* name) {
    const json& value = object.at(name);
    if (!value.is_number_unsigned()) throw std::runtime_error(std::string("bad \"") + name + "\"");
    return value.get<uint64_t>();
}

}  // namespace

CFileHead HeadOf(const char* bytes, size_t size) {
    uint64_t hash = 14695981039346656037ull;
    for (size_t i = 0; i < size; ++i) {
        hash ^= static_cast<unsigned char>(bytes[i]);
        hash *= 1099511628211ull;
    }
    return {size, hash};
}

std::optional<CReadMark> Load(const std::string& registry, std::string& followed,
                              std::string& error) {
    std::error_code ec;
    if (!std::filesystem::exists(registry, ec)) return std::nullopt;
    std::FILE* file = std::fopen(registry.c_str(), "rb");
    if (!file) {
        error = std::strerror(errno);
        return std::nullopt;
    }
    std::string text;
    char buffer[1024];
    for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
        text.append(buffer, got);
    std::fclose(file);
    try {
        const json object = json::parse(text);
        CReadMark mark;
        followed = object.at("path").get<std::string>();
        mark.file.volume = Unsigned(object, "device");
        mark.file.file = Unsigned(object, "inode");
        mark.head.bytes = Unsigned(object, "head_bytes");
        const std::string hash = object.at("head_hash").get<std::string>();
        if (hash.size() != 16 || hash.find_first_not_of("0123456789abcdef") != std::string::npos) {
            throw std::runtime_error("bad \"head_hash\"");
        }
        mark.head.hash = std::stoull(hash, nullptr, 16);
        mark.offset = Unsigned(object, "offset");
        mark.line = static_cast<long>(Unsigned(object, "line"));
        if (mark.head.bytes > kHeadBytes) throw std::runtime_error("bad \"head_bytes\"");
        return mark;
    } catch (const std::exception& e) {
        error = std::string("not a position: ") + e.what();
        return std::nullopt;
    }
}

bool Save(const std::string& registry, const std::string& followed, const CReadMark& mark,
          std::string& error) {
    const json object = {{"path", followed},
                         {"device", mark.file.volume},
                         {"inode", mark.file.file},
                         {"head_bytes", mark.head.bytes},
                         {"head_hash", Hex(mark.head.hash)},
                         {"offset", mark.offset},
                         {"line", mark.line}};
    if (System::WriteFileWhole(registry, object.dump() + "\n")) return true;
    error = std::strerror(errno);
    return false;
}

}  // namespace FollowPosition
