#include "host/SourceConfig.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>

#include "host/FrameFile.h"
#include "host/HostDirectory.h"
#include "host/RtuCatalogue.h"
#include "hostlib/HostSide.h"
#include "hostlib/TowerTypes.h"
#include "platform/Clock.h"
#include "platform/System.h"

namespace SourceConfig {

namespace {

using nlohmann::json;

const char* KindName(CSourceEntry::Kind kind) {
    return kind == CSourceEntry::Kind::Modbus ? "modbus" : "table";
}

std::string FilePath(const std::string& dir) {
    return dir + "/" + kFileName;
}

json ToJson(const CSourceEntry& entry) {
    json object = {{"rtu", entry.rtu}, {"kind", KindName(entry.kind)}, {"map", entry.map}};
    if (entry.kind == CSourceEntry::Kind::Modbus) {
        object["address"] = entry.address;
        object["unit"] = entry.unit;
        object["every"] = entry.everySeconds;
        object["offset"] = entry.offsetSeconds;
        object["timeout"] = entry.timeoutSeconds;
    } else {
        object["file"] = entry.file;
    }
    return object;
}

// One entry as the file holds it; throws (caught by Load) for one this host did not write.
CSourceEntry FromJson(const json& object) {
    CSourceEntry entry;
    entry.rtu = object.at("rtu").get<int>();
    const std::string kind = object.at("kind").get<std::string>();
    if (kind != "modbus" && kind != "table") throw std::runtime_error("kind " + kind);
    entry.kind = kind == "modbus" ? CSourceEntry::Kind::Modbus : CSourceEntry::Kind::Table;
    entry.map = object.at("map").get<std::string>();
    if (entry.kind == CSourceEntry::Kind::Modbus) {
        entry.address = object.at("address").get<std::string>();
        entry.unit = object.at("unit").get<int>();
        entry.everySeconds = object.at("every").get<int>();
        entry.offsetSeconds = object.at("offset").get<int>();
        entry.timeoutSeconds = object.at("timeout").get<int>();
    } else {
        entry.file = object.at("file").get<std::string>();
    }
    return entry;
}

std::string TablePosition(int rtu) {
    return HostDirectory::Absolute("table-position-" + std::to_string(rtu) + ".json");
}

// The newest mark of the process clock `every` seconds apart: the time a poll now would
// give its frame.
DateTime LastMark(int every) {
    const int64_t now = ProcessClock::Now().ToSeconds();
    return DateTime::FromSeconds(now - now % every);
}

int Fail(const std::string& error) {
    std::fprintf(stderr, "vkthost: %s\n", error.c_str());
    return 1;
}

// The entry's RTU is a tower of the catalogue; the catalogue is open (HostDirectory::Enter
// and CheckReady).
bool IsCatalogueTower(int rtu, std::string& error) {
    CRTUDef def;
    if (!RtuCatalogue::Find(rtu, def, error)) {
        if (error.empty()) {
            error = "no RTU " + std::to_string(rtu) + " in the catalogue (vkthost rtu list DIR)";
        }
        return false;
    }
    if (!IsTowerType(def.m_nType)) {
        error =
            "RTU " + RtuCatalogue::Describe(def) + " is not a tower: it gives no frames to store";
        return false;
    }
    return true;
}

bool CheckEntry(const CSourceEntry& entry, std::string& error) {
    if (entry.kind == CSourceEntry::Kind::Modbus) {
        CModbusDevice device;
        return Device(entry, device, error);
    }
    CTableSourceDef table;
    return Table(entry, table, error);
}

// Opens the host directory's catalogue for a source command; closed by CloseHost.
bool OpenDirectory(const std::string& dir, std::string& error) {
    return HostDirectory::Enter(dir, error) && HostDirectory::CheckReady(error);
}

// A number of seconds given as "10m", "20s", "1h" or "30".
bool Seconds(const char* option, const std::string& text, int& seconds, std::string& error) {
    const std::optional<double> value = FrameFile::ParseDuration(text);
    if (!value || *value < 0 || *value > 86400 || *value != static_cast<int>(*value)) {
        error = std::string(option) +
                " must be whole seconds, as 10m, 20s or 1h: " + HostDirectory::Printable(text);
        return false;
    }
    seconds = static_cast<int>(*value);
    return true;
}

bool ParseTimings(AddOptions& options, std::string& error) {
    CSourceEntry& entry = options.entry;
    if (!Seconds("--every", options.every, entry.everySeconds, error) ||
        !Seconds("--offset", options.offset, entry.offsetSeconds, error) ||
        !Seconds("--timeout", options.timeout, entry.timeoutSeconds, error)) {
        return false;
    }
    if (entry.everySeconds < 1 || 86400 % entry.everySeconds != 0) {
        error = "--every must divide a day into whole marks (1s … 24h): " + options.every;
        return false;
    }
    if (entry.offsetSeconds >= entry.everySeconds) {
        error = "--offset must be shorter than --every";
        return false;
    }
    if (entry.timeoutSeconds < 1) {
        error = "--timeout must be at least 1s";
        return false;
    }
    return true;
}

}  // namespace

bool SplitAddress(const std::string& address, std::string& host, int& port) {
    const size_t colon = address.rfind(':');
    if (colon == std::string::npos || colon == 0) return false;
    host = address.substr(0, colon);
    if (host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    const std::string digits = address.substr(colon + 1);
    if (digits.empty() || digits.size() > 5 ||
        digits.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    port = std::stoi(digits);
    const bool hostChars = !host.empty() && host.find_first_not_of(
                                                "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTU"
                                                "VWXYZ0123456789.-:_") == std::string::npos;
    return hostChars && port > 0 && port <= 65535;
}

bool Load(const std::string& dir, std::vector<CSourceEntry>& entries, std::string& error) {
    entries.clear();
    const std::string path = FilePath(dir);
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) return true;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read " + path;
        return false;
    }
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    try {
        const json object = json::parse(text);
        for (const json& one : object.at("sources")) entries.push_back(FromJson(one));
    } catch (const std::exception& e) {
        error = path + " is not a sources file of this host (" + e.what() +
                "); move it away and add the sources again (vkthost source add)";
        entries.clear();
        return false;
    }
    return true;
}

bool Save(const std::string& dir, const std::vector<CSourceEntry>& entries, std::string& error) {
    json list = json::array();
    for (const CSourceEntry& entry : entries) list.push_back(ToJson(entry));
    const std::string path = FilePath(dir);
    if (!System::WriteFileWhole(path, json{{"sources", list}}.dump(2) + "\n", nullptr, 0600)) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool Device(const CSourceEntry& entry, CModbusDevice& device, std::string& error) {
    device.rtu = entry.rtu;
    device.unit = entry.unit;
    device.everySeconds = entry.everySeconds;
    device.offsetSeconds = entry.offsetSeconds;
    device.timeoutMs = entry.timeoutSeconds * 1000;
    if (!SplitAddress(entry.address, device.host, device.port)) {
        error = "RTU " + std::to_string(entry.rtu) +
                ": not HOST:PORT: " + HostDirectory::Printable(entry.address);
        return false;
    }
    if (entry.unit < 0 || entry.unit > 255) {
        error = "RTU " + std::to_string(entry.rtu) + ": --unit must be 0 … 255";
        return false;
    }
    if (!SourceMap::Read(entry.map, MapKind::Modbus, device.map, error)) {
        error = "RTU " + std::to_string(entry.rtu) + ": " + error;
        return false;
    }
    return true;
}

bool Table(const CSourceEntry& entry, CTableSourceDef& table, std::string& error) {
    table.rtu = entry.rtu;
    table.file = entry.file;
    const std::string rtu = "RTU " + std::to_string(entry.rtu) + ": ";
    if (!SourceMap::Read(entry.map, MapKind::Table, table.map, error)) {
        error = rtu + error;
        return false;
    }
    const auto fields = TableFile::ReadFields(entry.file, error);
    if (!fields || !SourceMap::CheckColumns(table.map, *fields, error)) {
        error = rtu + error;
        return false;
    }
    return true;
}

std::string Describe(const CSourceEntry& entry) {
    std::string text = "RTU " + std::to_string(entry.rtu) + " " + KindName(entry.kind) + " ";
    if (entry.kind == CSourceEntry::Kind::Modbus) {
        text += entry.address + " unit " + std::to_string(entry.unit) + " every " +
                std::to_string(entry.everySeconds) + " s + " + std::to_string(entry.offsetSeconds) +
                " s, timeout " + std::to_string(entry.timeoutSeconds) + " s";
    } else {
        text += entry.file;
    }
    return text + ", map " + entry.map;
}

bool Open(const std::vector<CSourceEntry>& entries, std::vector<Opened>& opened,
          std::string& error) {
    opened.clear();
    std::vector<CModbusDevice> devices;
    for (const CSourceEntry& entry : entries) {
        if (entry.kind == CSourceEntry::Kind::Modbus) {
            if (!Device(entry, devices.emplace_back(), error)) return false;
            continue;
        }
        CTableSourceDef table;
        if (!Table(entry, table, error)) return false;
        auto source = TableFile::Follow(table, TablePosition(entry.rtu), error);
        if (!source) {
            opened.clear();
            return false;
        }
        opened.push_back({"RTU " + std::to_string(entry.rtu) + " table", std::move(source)});
    }
    if (!devices.empty()) opened.push_back({"modbus", ModbusSource::Poll(std::move(devices))});
    return true;
}

int Add(AddOptions options) {
    CSourceEntry& entry = options.entry;
    std::string error;
    if (!ParseTimings(options, error)) return Fail(error);
    entry.map = HostDirectory::InputPath(entry.map);
    entry.file = HostDirectory::InputPath(entry.file);
    if (!OpenDirectory(options.dir, error)) return Fail(error);
    std::vector<CSourceEntry> entries;
    const bool ok = IsCatalogueTower(entry.rtu, error) && CheckEntry(entry, error) &&
                    Load(System::CurrentDirectory(), entries, error);
    VktHost::CloseHost();
    if (!ok) return Fail(error);
    bool replaced = false;
    for (CSourceEntry& present : entries) {
        if (present.rtu == entry.rtu) {
            present = entry;
            replaced = true;
        }
    }
    if (!replaced) entries.push_back(entry);
    if (!Save(System::CurrentDirectory(), entries, error)) return Fail(error);
    std::printf("%s %s; a running host takes it at its next pass (run --sources)\n",
                replaced ? "replaced:" : "added:", Describe(entry).c_str());
    return 0;
}

int List(const std::string& dir) {
    std::string error;
    std::vector<CSourceEntry> entries;
    if (!HostDirectory::Enter(dir, error) || !Load(System::CurrentDirectory(), entries, error)) {
        return Fail(error);
    }
    if (entries.empty())
        std::printf("no sources in %s\n", FilePath(System::CurrentDirectory()).c_str());
    for (const CSourceEntry& entry : entries) std::printf("%s\n", Describe(entry).c_str());
    return 0;
}

int Check(const std::string& dir, int rtu) {
    std::string error;
    std::vector<CSourceEntry> entries;
    if (!HostDirectory::Enter(dir, error) || !Load(System::CurrentDirectory(), entries, error)) {
        return Fail(error);
    }
    for (const CSourceEntry& entry : entries) {
        if (entry.rtu != rtu) continue;
        std::optional<CDataFrame> frame;
        if (entry.kind == CSourceEntry::Kind::Modbus) {
            CModbusDevice device;
            if (Device(entry, device, error)) {
                frame = ModbusSource::ReadOnce(device, LastMark(entry.everySeconds), error);
            }
        } else {
            CTableSourceDef table;
            if (Table(entry, table, error)) frame = TableFile::LastFrame(table, error);
        }
        if (!frame) return Fail(Describe(entry) + ": " + error);
        std::printf("%s\n", FrameFile::FormatLine(*frame).c_str());
        return 0;
    }
    return Fail("no source for RTU " + std::to_string(rtu) + " (vkthost source list DIR)");
}

int Remove(const std::string& dir, int rtu) {
    std::string error;
    std::vector<CSourceEntry> entries;
    if (!HostDirectory::Enter(dir, error) || !Load(System::CurrentDirectory(), entries, error)) {
        return Fail(error);
    }
    const auto kept = std::erase_if(entries, [rtu](const CSourceEntry& e) { return e.rtu == rtu; });
    if (kept == 0) return Fail("no source for RTU " + std::to_string(rtu));
    if (!Save(System::CurrentDirectory(), entries, error)) return Fail(error);
    std::printf("removed the source of RTU %d; a running host drops it at its next pass\n", rtu);
    return 0;
}

}  // namespace SourceConfig
