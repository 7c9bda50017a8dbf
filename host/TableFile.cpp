// A logger's table file in the TOA5 layout, read as its rows come.
#include "host/TableFile.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <string_view>
#include <utility>

#include "host/FollowedLines.h"
#include "host/FrameFile.h"
#include "platform/SqlText.h"

namespace {

using FilePtr = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

// A header line longer than this is no logger's: the file is not a table.
constexpr size_t kHeaderLimit = size_t{1} << 20;

std::string_view Trimmed(std::string_view text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

bool SameLetters(std::string_view text, std::string_view upper) {
    if (text.size() != upper.size()) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i] >= 'a' && text[i] <= 'z' ? static_cast<char>(text[i] - 32) : text[i];
        if (c != upper[i]) return false;
    }
    return true;
}

// Splits a line into `fields`, reused so that their buffers are too: commas part them,
// and a field in double quotes may hold commas and doubled quotes and is given without
// its quotes. Returns how many fields the line has.
size_t SplitFields(std::string_view line, std::vector<std::string>& fields) {
    size_t count = 0;
    for (size_t at = 0;;) {
        if (count == fields.size()) fields.emplace_back();
        std::string& field = fields[count++];
        field.clear();
        if (at < line.size() && line[at] == '"') {
            for (++at; at < line.size();) {
                const size_t quote = std::min(line.find('"', at), line.size());
                field.append(line.substr(at, quote - at));
                at = quote + 1;
                if (at >= line.size() || line[at] != '"') break;
                field += '"';
                ++at;
            }
            at = std::min(at, line.size());
        }
        const size_t comma = line.find(',', at);
        field.append(line.substr(at, comma == std::string_view::npos ? comma : comma - at));
        if (comma == std::string_view::npos) return count;
        at = comma + 1;
    }
}

// Whether the line's first field is "TOA5" (quoted or not): a table's header begins.
bool BeginsHeader(std::string_view line) {
    if (line.substr(0, 3) == "\xEF\xBB\xBF") line.remove_prefix(3);  // a byte order mark
    const std::string_view first = Trimmed(line.substr(0, line.find(',')));
    return first == "\"TOA5\"" || first == "TOA5";
}

enum class ValueKind { Number, Missing, Bad };

// A logger writes NAN (or INF) where it has no value; an empty field says the same.
ValueKind ParseValue(std::string_view text, double& value) {
    text = Trimmed(text);
    if (text.empty() || SameLetters(text, "NAN") || SameLetters(text, "INF") ||
        SameLetters(text, "-INF") || SameLetters(text, "+INF")) {
        return ValueKind::Missing;
    }
    if (text.front() == '+') text.remove_prefix(1);
    const auto [end, failure] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (failure != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) {
        return ValueKind::Bad;
    }
    return ValueKind::Number;
}

// A row's time: "YYYY-MM-DD HH:MM:SS", "YYYY-MM-DD HH:MM", or with a fraction of a second
// that is zero. A fraction that is not zero is refused: the host's times hold whole
// seconds, and rows a fraction apart would fall on one time and one of them be lost.
std::optional<DateTime> RowTime(std::string_view text, std::string& error) {
    text = Trimmed(text);
    const size_t dot = text.find('.');
    std::string whole(text.substr(0, dot));
    if (whole.size() == 16 && dot == std::string_view::npos) whole += ":00";
    const std::string_view fraction =
        dot == std::string_view::npos ? std::string_view() : text.substr(dot + 1);
    // The logger's own clock, as written: no other form (an offset, a 'T') is guessed at.
    const DateTime time = whole.size() == 19 ? ParseDBTime(whole) : DateTime::Invalid();
    const std::string quoted = "the time \"" + std::string(text) + "\"";
    if (!time.IsValid() || (dot != std::string_view::npos &&
                            (fraction.empty() ||
                             fraction.find_first_not_of("0123456789") != std::string_view::npos))) {
        error = quoted + " is not a possible \"YYYY-MM-DD HH:MM:SS\"";
        return std::nullopt;
    }
    if (fraction.find_first_not_of('0') != std::string_view::npos) {
        error = quoted + " has a fraction of a second; the host keeps whole seconds only";
        return std::nullopt;
    }
    return time;
}

// Where a header's fields put the time and each column the map names, or why rows
// under it cannot be read.
struct Layout {
    long line = 0;  // the header's "TOA5" line; 0: no header seen in this file
    size_t fields = 0;
    size_t time = 0;
    std::vector<size_t> columns;  // of each map entry, in the map's order
    std::string fault;            // empty when its rows are read
};

Layout LayoutOf(const std::vector<std::string>& names, size_t count,
                const std::vector<CMapEntry>& map, long line) {
    Layout layout;
    layout.line = line;
    layout.fields = count;
    const auto indexOf = [&](const std::string& name) {
        for (size_t i = 0; i < count; ++i) {
            if (names[i] == name) return i;
        }
        return count;
    };
    const std::string header = "the table's header (line " + std::to_string(line) + ")";
    layout.time = indexOf("TIMESTAMP");
    if (layout.time == count) layout.fault = header + " has no TIMESTAMP field";
    for (const CMapEntry& entry : map) {
        layout.columns.push_back(indexOf(entry.column));
        if (layout.columns.back() == count && layout.fault.empty()) {
            layout.fault = header + " lacks column " + entry.column +
                           " that the map names (map line " + std::to_string(entry.line) + ")";
        }
    }
    return layout;
}

// The rows of a table as frames of its RTU, under the header each follows: a header
// (the "TOA5" line, the field names, the units, the processing) may come again mid-file
// when the logger's program changed, and is checked against the map again.
class CTableLines : public CLineParser {
public:
    // `emptyRows`: a row without a value in the map's columns gives a frame without
    // items instead of nothing.
    explicit CTableLines(CTableSourceDef table, bool emptyRows = false)
        : m_table(std::move(table)), m_bEmptyRows(emptyRows) {}

    void Begin() override {
        m_layout = Layout();
        m_nHeaderLeft = 0;
    }
    bool RecallsEarlierLines() const override { return true; }
    void Recall(const std::string& line, long number) override { Header(line, number, true); }

    LineOutcome Take(const std::string& line, long number) override {
        if (Header(line, number, false) || FrameFile::IsBlank(line)) return {};
        return Row(line);
    }

    std::vector<std::string> TakeNotes() override { return std::exchange(m_notes, {}); }

private:
    // Takes the line when it belongs to a header: true then.
    bool Header(const std::string& line, long number, bool recalled) {
        if (BeginsHeader(line)) {
            m_layout = Layout();
            m_layout.line = number;
            m_nHeaderLeft = 3;
            return true;
        }
        if (m_nHeaderLeft == 0) return false;
        if (m_nHeaderLeft-- == 3) {
            m_layout = LayoutOf(m_fields, SplitFields(line, m_fields), m_table.map, m_layout.line);
            if (!recalled && (m_layout.line > 1 || !m_layout.fault.empty())) NoteHeader();
        }
        return true;
    }

    void NoteHeader() {
        const std::string header = m_table.file + ": a new header at line " +
                                   std::to_string(m_layout.line) +
                                   (m_layout.line > 1 ? " (the logger's program changed)" : "");
        m_notes.push_back(m_layout.fault.empty()
                              ? header + ": it has every column the map names"
                              : header + ": " + m_layout.fault +
                                    "; its rows are skipped until a header that has it");
    }

    LineOutcome Row(const std::string& line) {
        LineOutcome outcome;
        if (m_layout.line == 0) {
            outcome.error = "no TOA5 header precedes this row in the file";
            return outcome;
        }
        if (!m_layout.fault.empty()) {
            outcome.error = m_layout.fault;
            return outcome;
        }
        const size_t count = SplitFields(line, m_fields);
        if (count != m_layout.fields) {
            outcome.error = "the row has " + std::to_string(count) +
                            " fields, the table's header (line " + std::to_string(m_layout.line) +
                            ") names " + std::to_string(m_layout.fields);
            return outcome;
        }
        const std::optional<DateTime> time = RowTime(m_fields[m_layout.time], outcome.error);
        if (!time) return outcome;
        CDataFrame frame;
        frame.m_nRTUID = m_table.rtu;
        frame.m_nKind = 1;
        frame.m_tTime = *time;
        const bool fullHour = time->GetMinute() == 0 && time->GetSecond() == 0;
        for (size_t i = 0; i < m_table.map.size(); ++i) {
            const CMapEntry& entry = m_table.map[i];
            if (entry.kind == SourceMap::kHourlyKind && !fullHour) continue;
            AddItem(entry, m_fields[m_layout.columns[i]], frame, outcome.error);
        }
        if (!frame.m_arItems.empty() || m_bEmptyRows) outcome.frame = std::move(frame);
        if (!outcome.error.empty() && outcome.frame) {
            outcome.error += "; the row's other values are taken";
        }
        return outcome;
    }

    static void AddItem(const CMapEntry& entry, const std::string& text, CDataFrame& frame,
                        std::string& error) {
        double raw = 0;
        const ValueKind kind = ParseValue(text, raw);
        if (kind == ValueKind::Missing) return;
        const float value = static_cast<float>(raw * entry.scale + entry.offset);
        if (kind == ValueKind::Bad || !std::isfinite(value)) {
            error += (error.empty() ? "" : "; ") + ("column " + entry.column + " holds \"" + text +
                                                    "\", not a value the host can keep");
            return;
        }
        CDataItem& item = frame.m_arItems.emplace_back();
        item.m_nSensorID = frame.m_nRTUID * 100000 + entry.id;
        item.m_nDataID = entry.id;
        item.m_nKind = entry.kind;
        item.m_tTime = frame.m_tTime;
        item.m_fValue = value;
    }

    const CTableSourceDef m_table;
    const bool m_bEmptyRows;
    Layout m_layout;
    int m_nHeaderLeft = 0;              // header lines still to come: fields, units, processing
    std::vector<std::string> m_fields;  // the line split last, reused
    std::vector<std::string> m_notes;
};

FilePtr OpenFile(const std::string& path) {
    return FilePtr(std::fopen(path.c_str(), "rb"), &std::fclose);
}

// Calls `take` with each complete line of the open file and its number, until it
// returns false or the file ends; `limit` bytes at most.
template <typename Take>
void ForEachFileLine(std::FILE* file, size_t limit, Take take) {
    std::string pending;
    long number = 0;
    bool more = true;
    char buffer[65536];
    for (size_t read = 0, got;
         more && read < limit && (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;
         read += got) {
        pending.append(buffer, got);
        const size_t used = FrameFile::ForEachLine(pending, [&](const std::string& line, size_t) {
            if (more) more = take(line, ++number);
        });
        pending.erase(0, used);
    }
}

enum class HeaderState { Read, NotYet, Failed };

// The field names of the table's first header; NotYet (with `error`) while the file
// has not got its first two lines.
HeaderState FirstFields(const std::string& path, std::vector<std::string>& fields,
                        std::string& error) {
    FilePtr file = OpenFile(path);
    if (!file) {
        error = "cannot open " + path;
        return HeaderState::Failed;
    }
    HeaderState state = HeaderState::NotYet;
    ForEachFileLine(file.get(), kHeaderLimit, [&](const std::string& line, long number) {
        if (number == 1 && !BeginsHeader(line)) {
            state = HeaderState::Failed;
            error = path +
                    " is not a table in the TOA5 layout: its first line does not begin "
                    "with \"TOA5\"";
            return false;
        }
        if (number == 2) {
            fields.resize(SplitFields(line, fields));
            state = HeaderState::Read;
        }
        return number < 2;
    });
    if (state == HeaderState::NotYet) error = path + " has no header yet";
    return state;
}

}  // namespace

namespace TableFile {

std::optional<std::vector<std::string>> ReadFields(const std::string& file, std::string& error) {
    std::vector<std::string> fields;
    if (FirstFields(file, fields, error) != HeaderState::Read) return std::nullopt;
    return fields;
}

std::optional<CDataFrame> LastFrame(const CTableSourceDef& table, std::string& error) {
    FilePtr file = OpenFile(table.file);
    if (!file) {
        error = "cannot open " + table.file;
        return std::nullopt;
    }
    CTableLines lines(table, true);
    LineOutcome last;
    long lastLine = 0;
    ForEachFileLine(file.get(), SIZE_MAX, [&](const std::string& line, long number) {
        LineOutcome outcome = lines.Take(line, number);
        if (outcome.frame || !outcome.error.empty()) {
            last = std::move(outcome);
            lastLine = number;
        }
        return true;
    });
    if (last.frame) return std::move(last.frame);
    error = lastLine == 0 ? table.file + " has no rows yet"
                          : table.file + " line " + std::to_string(lastLine) + ": " + last.error;
    return std::nullopt;
}

std::unique_ptr<CLiveSource> Follow(const CTableSourceDef& table, const std::string& positionFile,
                                    std::string& error) {
    std::vector<std::string> fields;
    const HeaderState state = FirstFields(table.file, fields, error);
    if (state == HeaderState::Failed) return nullptr;
    if (state == HeaderState::Read) {
        const Layout layout = LayoutOf(fields, fields.size(), table.map, 1);
        if (!layout.fault.empty()) {
            error = table.file + ": " + layout.fault;
            return nullptr;
        }
    }
    error.clear();
    return FollowLines(table.file, positionFile, std::make_unique<CTableLines>(table), error);
}

}  // namespace TableFile
