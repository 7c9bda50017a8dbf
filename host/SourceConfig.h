#pragma once

#include <memory>
#include <string>
#include <vector>

#include "host/LiveSource.h"
#include "host/ModbusSource.h"
#include "host/TableFile.h"

// The tower loggers a host reads by itself, kept in DIR/sources.json (written whole,
// 0600): per RTU a Modbus TCP device or a logger table file, each with its map. The
// file is checked like the settings: every entry's map is read and checked against the
// catalogue's data ids (and a table's header) when it is added and when a host starts.
struct CSourceEntry {
    enum class Kind { Modbus, Table };
    int rtu = 0;
    Kind kind = Kind::Modbus;
    std::string address;  // modbus: HOST:PORT
    int unit = 1;         // modbus: the unit id
    std::string file;     // table: the logger's file, absolute
    std::string map;      // the map file, absolute
    int everySeconds = 600;
    int offsetSeconds = 20;
    int timeoutSeconds = 3;
};

namespace SourceConfig {

inline constexpr const char* kFileName = "sources.json";

// The entries of the host directory `dir` (none when it has no sources.json); false with
// `error` when the file cannot be read or is not one this host wrote.
bool Load(const std::string& dir, std::vector<CSourceEntry>& entries, std::string& error);
// Replaces DIR/sources.json whole (0600).
bool Save(const std::string& dir, const std::vector<CSourceEntry>& entries, std::string& error);

// "HOST:PORT" (a name or an IPv4 address; "[v6]:PORT" for IPv6) split, the host's
// characters and the port checked: false for another text.
bool SplitAddress(const std::string& address, std::string& host, int& port);

// The entry's device or table with its map read and checked; false with `error` naming
// the RTU, the map and its line.
bool Device(const CSourceEntry& entry, CModbusDevice& device, std::string& error);
bool Table(const CSourceEntry& entry, CTableSourceDef& table, std::string& error);

// "RTU 7 modbus 10.0.0.5:502 unit 1 map /etc/vkthost/mast7.csv every 600 s + 20 s" for lists.
std::string Describe(const CSourceEntry& entry);

// Every configured source, opened: the Modbus devices polled together, each table
// followed with its position in DIR/table-position-RTU.json. Each opened source comes
// with its origin ("RTU 7 modbus 10.0.0.5:502") for messages. False with `error` for the
// first entry that cannot be opened; nothing is opened then.
struct Opened {
    std::string origin;
    std::unique_ptr<CLiveSource> source;
};
bool Open(const std::vector<CSourceEntry>& entries, std::vector<Opened>& opened,
          std::string& error);

// `vkthost source add|list|check|remove DIR …`: each returns its exit code (0 done, 1
// refused with a message on the error output).
struct AddOptions {
    std::string dir;
    CSourceEntry entry;
    std::string every = "10m", offset = "20s", timeout = "3s";
};
int Add(AddOptions options);
int List(const std::string& dir);
int Check(const std::string& dir, int rtu);
int Remove(const std::string& dir, int rtu);

}  // namespace SourceConfig
