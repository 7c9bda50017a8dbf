#include "host/Availability.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <system_error>

#include "host/FrameFile.h"
#include "host/HostDirectory.h"
#include "host/PluginBackend.h"
#include "hostlib/HostSide.h"
#include "hostlib/HostStatement.h"
#include "hostlib/StationFiles.h"
#include "hostlib/TowerTypes.h"
#include "hostlib/VktBase.h"
#include "platform/BackendConnectionString.h"
#include "platform/Clock.h"
#include "platform/OdbcQuery.h"
#include "platform/SqlText.h"

namespace fs = std::filesystem;

namespace Availability {

namespace {

constexpr int64_t kDaySeconds = 86400;
constexpr int kDefaultDays = 30;
// Per tower and store; the rest are summed up in one line.
constexpr size_t kGapsShown = 20;
// The window's reads wait no longer than this for the backend, so that closing the
// window is not held up long by one that does not answer.
constexpr int kWindowLoginSeconds = 5;

enum Store { kStation, kBackend, kStores };
const char* const kStoreNames[kStores] = {"station file", "backend"};

int64_t FloorTo(int64_t seconds, int64_t unit) {
    const int64_t rest = ((seconds % unit) + unit) % unit;
    return seconds - rest;
}

// The expected marks first, first + kMarkSeconds, … last, as DateTime::ToSeconds
// counts; none when last < first.
struct Marks {
    int64_t first = 0, last = -1;

    int Count() const {
        return last < first ? 0 : static_cast<int>((last - first) / kMarkSeconds + 1);
    }
};

Marks ExpectedMarks(const DateTime& from, const DateTime& to, const DateTime& now) {
    Marks marks;
    marks.first = FloorTo(from.ToSeconds() + kMarkSeconds - 1, kMarkSeconds);
    marks.last = FloorTo(std::min(to.ToSeconds() - 1, now.ToSeconds()), kMarkSeconds);
    return marks;
}

std::string TimeText(int64_t seconds, const char* format = "%Y-%m-%d %H:%M") {
    return DateTime::FromSeconds(seconds).Format(format);
}

std::string FirstLine(const std::string& text) {
    const std::string line = text.substr(0, text.find('\n'));
    return line.empty() ? "no reason given" : line;
}

// A wind tower of the catalogue and the TOWERID of its backend rows.
struct Tower {
    int32_t rtu = 0;
    int32_t type = 0;
    int32_t towerId = 0;
    std::string name;
};

// The output station numbers assigned to RTUs. No table: the plug-in has not run in
// this directory yet, and no RTU has one.
std::map<int32_t, int32_t> AssignedStations() {
    std::map<int32_t, int32_t> assigned;
    HostStatement hstmt;
    if (!hstmt) return assigned;
    Odbc::QueryOn(hstmt.Get(), "SELECT RTUID,WPID FROM VKTTOWPID", [&](const OdbcRow& row) {
        const std::optional<int> rtu = row.Int(1), station = row.Int(2);
        if (rtu && station) assigned[*rtu] = *station;
    });
    return assigned;
}

// The towers in RTU order; false when the catalogue cannot be read.
bool ReadTowers(std::vector<Tower>& towers) {
    CObList<CRTUDef> rtus;
    if (!OutDBObj(kObjRTUDef, "ORDER BY ID ASC", rtus)) return false;
    const std::map<int32_t, int32_t> assigned = AssignedStations();
    for (const auto& def : rtus) {
        if (!IsTowerType(def->m_nType)) continue;
        const auto station = assigned.find(def->m_nRTUID);
        towers.push_back({def->m_nRTUID, def->m_nType,
                          station == assigned.end() ? def->m_nRTUID : station->second,
                          def->m_strName});
    }
    return true;
}

// What a store holds of a tower's expected marks.
struct StoreMarks {
    bool read = false;
    std::string trouble;           // why it was not read
    std::vector<int64_t> present;  // expected marks with a row, ascending, each once
};

// The one statement this module writes: the times of the rows of the marks, in
// `table` where `condition` holds (empty: every row, a station file's).
std::string MarkTimesQuery(const std::string& table, const std::string& condition,
                           const Marks& marks) {
    return "SELECT DISTINCT TIME FROM " + table + " WHERE " +
           (condition.empty() ? "" : condition + " AND ") +
           "TIME >= " + TimeLiteral(DateTime::FromSeconds(marks.first)) +
           " AND TIME <= " + TimeLiteral(DateTime::FromSeconds(marks.last));
}

StoreMarks ReadMarks(SQLHDBC hdbc, const std::string& sql, const Marks& marks,
                     const std::string& what) {
    StoreMarks store;
    OdbcStatement stmt = Odbc::AllocStatement(hdbc);
    if (!stmt || !Odbc::Succeeded(Odbc::ExecOn(stmt.Get(), sql))) {
        store.trouble =
            what + " cannot be read: " +
            FirstLine(stmt ? Odbc::Diagnostics(SQL_HANDLE_STMT, stmt.Get()) : std::string());
        return store;
    }
    Odbc::ForEachRow(stmt.Get(), [&](const OdbcRow& row) {
        const DateTime time = ParseDBTime(row.Text(1));
        if (!time.IsValid()) return;
        const int64_t at = time.ToSeconds();
        // A row between the marks (09:31) is no ten-minute record.
        if (at % kMarkSeconds != 0 || at < marks.first || at > marks.last) return;
        store.present.push_back(at);
    });
    std::sort(store.present.begin(), store.present.end());
    store.present.erase(std::unique(store.present.begin(), store.present.end()),
                        store.present.end());
    store.read = true;
    return store;
}

// The backend, connected once for every tower as the plug-in connects (the data
// source, login and prefix of WPDB.ini), and the station files.
class CStores {
public:
    explicit CStores(int loginSeconds) : m_loginSeconds(loginSeconds) { ConnectBackend(); }

    StoreMarks Station(const Tower& tower, const Marks& marks) const {
        const std::string name =
            std::string(StationFiles::kFolder) + "/" + StationFiles::FileName(tower.rtu);
        std::error_code ec;
        if (!fs::exists(name, ec)) return {false, "no station file " + name, {}};
        OdbcConnection connection;
        if (!connection.DriverConnect(Odbc::SqliteConnectionString(name, false), m_loginSeconds)) {
            return {
                false,
                "station file " + name + " cannot be opened: " + FirstLine(connection.LastError()),
                {}};
        }
        return ReadMarks(connection.Get(), MarkTimesQuery("RTTOWER", "", marks), marks,
                         "station file " + name);
    }

    StoreMarks Backend(const Tower& tower, const Marks& marks) const {
        if (!m_backend.IsOpen()) return {false, m_backendTrouble, {}};
        return ReadMarks(m_backend.Get(),
                         MarkTimesQuery(m_table, "TOWERID=" + std::to_string(tower.towerId), marks),
                         marks, "backend table " + m_table);
    }

private:
    void ConnectBackend() {
        const PluginBackend settings = ReadPluginBackend();
        // The prefix goes into the statements only as the plug-in would write it there.
        if (!IsSchemaPrefix(settings.prefix)) {
            m_backendTrouble = "backend not read: the schema prefix [DATABASE] PRENAME \"" +
                               HostDirectory::Printable(settings.prefix) + "\" is not an SQL name";
            return;
        }
        m_table = PrefixedTable(settings.prefix, "FD_RUN_RTTOWER");
        std::string error;
        const std::string text = BackendConnection::ConnectionString(
            settings.source, settings.user, settings.password,
            Odbc::DataSourceValue(settings.source, "pqopt"), error);
        if (text.empty() || !m_backend.DriverConnect(text, m_loginSeconds)) {
            m_backendTrouble = "backend unreachable (data source " +
                               HostDirectory::Printable(settings.source) +
                               "): " + FirstLine(text.empty() ? error : m_backend.LastError());
        }
    }

    const int m_loginSeconds;
    std::string m_table;
    std::string m_backendTrouble;
    OdbcConnection m_backend;
};

// The expected and present marks of a day or a month.
struct Tally {
    std::string label;
    int expected = 0;
    int present[kStores] = {};
};

int PresentBetween(const std::vector<int64_t>& present, int64_t first, int64_t last) {
    return static_cast<int>(std::upper_bound(present.begin(), present.end(), last) -
                            std::lower_bound(present.begin(), present.end(), first));
}

std::string Cell(const StoreMarks& store, int present, int expected) {
    char text[48];
    if (!store.read) {
        std::snprintf(text, sizeof text, "%6s %7s", "-", "-");
    } else {
        std::snprintf(text, sizeof text, "%6d %7s", present, Percent(present, expected).c_str());
    }
    return text;
}

void PrintTally(const Tally& tally, const StoreMarks (&stores)[kStores]) {
    std::printf("  %-15s %8d   %s   %s\n", tally.label.c_str(), tally.expected,
                Cell(stores[kStation], tally.present[kStation], tally.expected).c_str(),
                Cell(stores[kBackend], tally.present[kBackend], tally.expected).c_str());
}

// Each day of the marks, and after each calendar month's last day its total.
void PrintDays(const Marks& marks, const StoreMarks (&stores)[kStores]) {
    std::printf("  %-15s %8s   %14s   %14s\n", "day", "expected", kStoreNames[kStation],
                kStoreNames[kBackend]);
    Tally month;
    for (int64_t day = FloorTo(marks.first, kDaySeconds); day <= marks.last; day += kDaySeconds) {
        const int64_t first = std::max(marks.first, day);
        const int64_t last = std::min(marks.last, day + kDaySeconds - kMarkSeconds);
        Tally tally{TimeText(day, "%Y-%m-%d"), Marks{first, last}.Count(), {}};
        for (int store = 0; store < kStores; ++store) {
            tally.present[store] = PresentBetween(stores[store].present, first, last);
        }
        const std::string monthLabel = "month " + TimeText(day, "%Y-%m");
        if (!month.label.empty() && month.label != monthLabel) PrintTally(month, stores);
        if (month.label != monthLabel) month = Tally{monthLabel, 0, {}};
        month.expected += tally.expected;
        for (int store = 0; store < kStores; ++store) month.present[store] += tally.present[store];
        PrintTally(tally, stores);
    }
    if (!month.label.empty()) PrintTally(month, stores);
}

// A run of consecutive missing marks.
struct Gap {
    int64_t first = 0;
    int marks = 0;
};

// The runs of missing marks, longest first, earlier first among equals.
std::vector<Gap> Gaps(const Marks& marks, const std::vector<int64_t>& present) {
    std::vector<Gap> gaps;
    int64_t next = marks.first;  // the first mark not yet looked at
    auto missingUpTo = [&](int64_t end) {
        if (end > next) gaps.push_back({next, static_cast<int>((end - next) / kMarkSeconds)});
    };
    for (int64_t at : present) {
        missingUpTo(at);
        next = at + kMarkSeconds;
    }
    missingUpTo(marks.last + kMarkSeconds);
    std::stable_sort(gaps.begin(), gaps.end(),
                     [](const Gap& a, const Gap& b) { return a.marks > b.marks; });
    return gaps;
}

// "2 h 30 min" for a number of marks.
std::string Duration(int marks) {
    const int minutes = marks * kMarkSeconds / 60;
    const int days = minutes / 1440, hours = minutes % 1440 / 60, rest = minutes % 60;
    std::string text;
    auto add = [&](int value, const char* unit) {
        if (value == 0) return;
        text += (text.empty() ? "" : " ") + std::to_string(value) + " " + unit;
    };
    add(days, "d");
    add(hours, "h");
    add(rest, "min");
    return text;
}

std::string GapText(const Gap& gap) {
    const int64_t last = gap.first + static_cast<int64_t>(gap.marks - 1) * kMarkSeconds;
    std::string text = TimeText(gap.first);
    if (gap.marks > 1) {
        const bool sameDay = FloorTo(gap.first, kDaySeconds) == FloorTo(last, kDaySeconds);
        text += " to " + TimeText(last, sameDay ? "%H:%M" : "%Y-%m-%d %H:%M");
    }
    return text + ": " + std::to_string(gap.marks) + (gap.marks == 1 ? " mark (" : " marks (") +
           Duration(gap.marks) + ")";
}

void PrintGaps(const char* storeName, const Marks& marks, const StoreMarks& store) {
    if (!store.read) return;
    const std::vector<Gap> gaps = Gaps(marks, store.present);
    if (gaps.empty()) {
        std::printf("  gaps in the %s: none\n", storeName);
        return;
    }
    std::printf("  gaps in the %s, longest first:\n", storeName);
    int notShown = 0;
    for (size_t i = 0; i < gaps.size(); ++i) {
        if (i < kGapsShown) {
            std::printf("    %s\n", GapText(gaps[i]).c_str());
        } else {
            notShown += gaps[i].marks;
        }
    }
    if (gaps.size() > kGapsShown) {
        std::printf("    and %zu more (%d marks)\n", gaps.size() - kGapsShown, notShown);
    }
}

void PrintTower(const Tower& tower, const Marks& marks, const CStores& stores) {
    std::printf("\nRTU %d \"%s\" (type %d, backend TOWERID %d)\n", tower.rtu,
                HostDirectory::Printable(tower.name).c_str(), tower.type, tower.towerId);
    const StoreMarks read[kStores] = {stores.Station(tower, marks), stores.Backend(tower, marks)};
    PrintDays(marks, read);
    for (const StoreMarks& store : read) {
        if (!store.read) std::printf("  %s\n", store.trouble.c_str());
    }
    for (int store = 0; store < kStores; ++store) {
        PrintGaps(kStoreNames[store], marks, read[store]);
    }
}

bool ParseTime(const std::string& text, const char* name, DateTime& time, std::string& error) {
    if (text.empty()) return true;
    const std::optional<DateTime> parsed = FrameFile::ParseOptionTime(text);
    if (!parsed) {
        error = FrameFile::OptionTimeError(name, text);
        return false;
    }
    time = *parsed;
    return true;
}

// The range of the options; the default ends now and spans kDefaultDays calendar days.
bool ParseRange(const Options& options, const DateTime& now, DateTime& from, DateTime& to,
                std::string& error) {
    to = now;
    if (!ParseTime(options.to, "--to", to, error)) return false;
    from = DateTime::FromSeconds(FloorTo(to.ToSeconds() - 1, kDaySeconds) -
                                 (kDefaultDays - 1) * kDaySeconds);
    if (!ParseTime(options.from, "--from", from, error)) return false;
    if (!(from < to)) {
        error = "--from (" + from.Format() + ") must be earlier than " +
                (options.to.empty() ? "now" : "--to") + " (" + to.Format() + ")";
        return false;
    }
    return true;
}

bool IsHostDirectory(const std::string& dir, std::string& error) {
    std::error_code ec;
    if (fs::exists("VKTCOMM.MDB", ec)) return true;
    error = "no host catalogue: " + dir +
            "/VKTCOMM.MDB does not exist (vkthost init DIR makes a host directory)";
    return false;
}

StoreCount CountOf(const StoreMarks& store) {
    StoreCount count;
    if (store.read) {
        count.present = static_cast<int>(store.present.size());
    } else {
        count.trouble = store.trouble;
    }
    return count;
}

std::vector<DayFigure> ReadDayFigures() {
    std::vector<DayFigure> figures;
    std::vector<Tower> towers;
    if (!ReadTowers(towers) || towers.empty()) return figures;
    const DateTime now = ProcessClock::Now();
    const DateTime midnight = DateTime::FromSeconds(FloorTo(now.ToSeconds(), kDaySeconds));
    const Marks marks = ExpectedMarks(midnight, now, now);
    const CStores stores(kWindowLoginSeconds);
    for (const Tower& tower : towers) {
        figures.push_back({tower.rtu, midnight, now, marks.Count(),
                           CountOf(stores.Station(tower, marks)),
                           CountOf(stores.Backend(tower, marks))});
    }
    return figures;
}

}  // namespace

std::string Percent(int present, int expected) {
    if (expected <= 0) return "-";
    const long long tenths = 1000LL * present / expected;
    return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + "%";
}

int Print(const Options& options) {
    const std::string dir = HostDirectory::Absolute(options.dir);
    const DateTime now = ProcessClock::Now();
    DateTime from, to;
    std::string error;
    std::vector<Tower> towers;
    if (!ParseRange(options, now, from, to, error) || !HostDirectory::Enter(dir, error) ||
        !IsHostDirectory(dir, error)) {
        std::fprintf(stderr, "vkthost: %s\n", error.c_str());
        return 1;
    }
    if (!ReadTowers(towers)) {
        std::fprintf(stderr, "vkthost: cannot read the RTU catalogue of %s/VKTCOMM.MDB: %s\n",
                     dir.c_str(), FirstLine(VktHost::LastDatabaseError()).c_str());
        return 1;
    }
    const Marks marks = ExpectedMarks(from, to, now);
    std::printf(
        "data availability: ten-minute marks from %s up to %s, none after now (%s); %zu "
        "wind towers\n",
        from.Format().c_str(), to.Format().c_str(), now.Format().c_str(), towers.size());
    if (marks.Count() == 0) {
        std::printf("no ten-minute mark of the range is due by now\n");
        return 0;
    }
    const CStores stores(kLoginTimeoutSeconds);
    for (const Tower& tower : towers) PrintTower(tower, marks, stores);
    return 0;
}

CTodayLoader::CTodayLoader() {
    try {
        m_thread = std::thread(&CTodayLoader::ReadEveryInterval, this);
    } catch (const std::system_error&) {
        m_newest = ReadDayFigures();
    }
}

CTodayLoader::~CTodayLoader() {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_stop = true;
    }
    m_stopAsked.notify_all();
    if (m_thread.joinable()) m_thread.join();
}

std::optional<std::vector<DayFigure>> CTodayLoader::TakeNewest() {
    std::lock_guard<std::mutex> guard(m_lock);
    std::optional<std::vector<DayFigure>> taken = std::move(m_newest);
    m_newest.reset();
    return taken;
}

void CTodayLoader::ReadEveryInterval() {
    std::unique_lock<std::mutex> guard(m_lock);
    while (!m_stop) {
        guard.unlock();
        std::vector<DayFigure> figures = ReadDayFigures();
        guard.lock();
        m_newest = std::move(figures);
        m_stopAsked.wait_for(guard, std::chrono::seconds(kIntervalSeconds),
                             [this] { return m_stop; });
    }
}

}  // namespace Availability
