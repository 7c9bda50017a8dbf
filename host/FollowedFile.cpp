// The followed sources: a file that grows (and is rotated), its lines turned into frames
// by a parser (frames in JSON Lines, a logger's table), or standard input.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <optional>
#include <thread>
#include <utility>

#include "host/FollowPosition.h"
#include "host/FollowedLines.h"
#include "host/FrameFile.h"
#include "host/LiveSource.h"
#include "host/StandardInput.h"
#include "platform/System.h"

namespace {

using FollowPosition::kHeadBytes;

// Bytes read from a file in one poll at most: a long backlog is handed over in parts,
// with a look at the stop signals between them.
constexpr uint64_t kReadLimit = uint64_t{1} << 20;
// The position is written at most this often while frames flow.
constexpr auto kKeepInterval = std::chrono::seconds(1);

using FilePtr = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

FilePtr OpenFile(const std::string& path) {
    return FilePtr(std::fopen(path.c_str(), "rb"), &std::fclose);
}

bool SeekTo(std::FILE* file, uint64_t offset) {
#ifdef _WIN32
    return _fseeki64(file, static_cast<__int64>(offset), SEEK_SET) == 0;
#else
    return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
#endif
}

// The size of the open file, whatever its name is now.
std::optional<uint64_t> SizeOf(std::FILE* file) {
#ifdef _WIN32
    const bool atEnd = _fseeki64(file, 0, SEEK_END) == 0;
    const __int64 size = atEnd ? _ftelli64(file) : -1;
#else
    const bool atEnd = fseeko(file, 0, SEEK_END) == 0;
    const off_t size = atEnd ? ftello(file) : -1;
#endif
    if (size < 0) return std::nullopt;
    return static_cast<uint64_t>(size);
}

// The head of the open file over its first `bytes` bytes (fewer when it is shorter).
CFileHead ReadHead(std::FILE* file, uint64_t bytes) {
    char buffer[kHeadBytes];
    if (!SeekTo(file, 0)) return {};
    const size_t got =
        std::fread(buffer, 1, static_cast<size_t>(std::min<uint64_t>(bytes, kHeadBytes)), file);
    std::clearerr(file);
    return FollowPosition::HeadOf(buffer, got);
}

// Opens `path` when it names the same file before and after: a rotation under way is
// waited out rather than a file taken for another.
std::optional<std::pair<FilePtr, System::FileIdentity>> OpenSteady(const std::string& path) {
    const auto before = System::IdentityOf(path);
    FilePtr file = OpenFile(path);
    const auto after = System::IdentityOf(path);
    if (!file || !before || !after || !(*before == *after)) return std::nullopt;
    return std::make_pair(std::move(file), *after);
}

// A name a rotation gives the followed file's copy: the name itself and more after it.
bool IsRotatedName(const std::string& name, const std::string& followed) {
    return name.size() > followed.size() && name.compare(0, followed.size(), followed) == 0;
}

// The file beside `path` that holds what follows `mark`: the followed file renamed away
// (its identity and head) or its copy made before it was cut short (its head, and a name
// that begins with the followed file's, as logrotate names its copies: FILE.1,
// FILE-20261210). The file `path` names now is passed over.
std::optional<std::string> FindRest(const std::string& path, const CReadMark& mark) {
    namespace fs = std::filesystem;
    const fs::path followed(path);
    const auto current = System::IdentityOf(path);
    std::vector<std::string> copies;
    std::error_code ec;
    fs::directory_iterator it(followed.has_parent_path() ? followed.parent_path() : ".", ec);
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
        std::error_code typeError;
        if (!it->is_regular_file(typeError)) continue;
        const std::string candidate = it->path().string();
        const auto identity = System::IdentityOf(candidate);
        if (!identity || (current && *identity == *current)) continue;
        FilePtr file = OpenFile(candidate);
        if (!file) continue;
        const auto size = SizeOf(file.get());
        if (!size || *size < mark.offset || !(ReadHead(file.get(), mark.head.bytes) == mark.head)) {
            continue;
        }
        if (*identity == mark.file) return candidate;
        // An empty head tells nothing; another file that begins alike is no copy.
        if (mark.head.bytes > 0 &&
            IsRotatedName(it->path().filename().string(), followed.filename().string())) {
            copies.push_back(candidate);
        }
    }
    if (copies.empty()) return std::nullopt;
    return *std::min_element(copies.begin(), copies.end());
}

// A file followed as it grows; hands on complete lines only. The followed path naming
// another file (a rotation by rename) is noticed at the next poll: the open file is
// read to its end, then the new one from its start. The file cut short (a rotation by
// copy-truncate) is noticed by its size or its head: what followed the last line read
// is taken from the copy when one lies beside it, then the file is read from its start.
// The position past the frames acknowledged is kept in the registry. What a line gives
// is the parser's to say.
class CFollowedFile : public CLiveSource {
public:
    CFollowedFile(std::string path, std::string registry, std::unique_ptr<CLineParser> parser,
                  FilePtr file, System::FileIdentity identity)
        : m_path(std::move(path)),
          m_registry(std::move(registry)),
          m_parser(std::move(parser)),
          m_file(nullptr, &std::fclose) {
        Start(std::move(file), identity, m_path, 0, 0);
    }
    ~CFollowedFile() override { Keep(); }

    // Goes on where the registry says the last run left the file, or says why not.
    void TakeUpPosition() {
        if (m_registry.empty()) return;
        std::string kept, error;
        const std::optional<CReadMark> mark = FollowPosition::Load(m_registry, kept, error);
        if (!error.empty()) {
            Note("cannot read the position in " + m_registry + " (" + error + "): " + m_path +
                 " is read from line 1");
            return;
        }
        if (!mark) {
            Note(m_path + " is read from line 1: no position is kept in " + m_registry + " yet");
            return;
        }
        m_kept = *mark;
        const bool same = mark->file == m_identity;
        const auto size = SizeOf(m_file.get());
        if (same && size && *size >= mark->offset &&
            ReadHead(m_file.get(), mark->head.bytes) == mark->head) {
            BeginAt(mark->offset, mark->line);
            Note(m_path + " goes on after line " + std::to_string(mark->line) + " (byte " +
                 std::to_string(mark->offset) + "), where the last run left it");
            return;
        }
        const std::string why = kept != m_path
                                    ? "is not " + kept + ", whose position " + m_registry + " keeps"
                                : same ? "was cut short or written anew since the last run"
                                       : "is another file than the last run read";
        if (kept == m_path) {
            if (const auto rest = FindRest(m_path, *mark)) {
                if (auto opened = OpenSteady(*rest)) {
                    Start(std::move(opened->first), opened->second, *rest, mark->offset,
                          mark->line);
                    Note(m_path + " " + why + ": what followed line " + std::to_string(mark->line) +
                         " is read from " + *rest + ", then " + m_path + " from its start");
                    return;
                }
            }
        }
        Note(m_path + " " + why + ": it is read from line 1");
    }

    bool Poll(std::vector<CDataFrame>& frames, std::vector<std::string>& errors,
              int waitMs) override {
        m_lastPlaces.clear();
        const bool any = ReadNew(frames, errors);
        KeepIfDue();
        if (!any) std::this_thread::sleep_for(std::chrono::milliseconds(waitMs));
        return true;
    }

    std::vector<std::string> LastPlaces() const override { return m_lastPlaces; }

    void Acknowledge(const FrameOutcome&) override {
        if (m_unsettled.empty()) return;
        m_settled = m_unsettled.front().mark;
        m_bSettled = true;
        m_unsettled.pop_front();
        SettleLines();
        KeepIfDue();
    }

    void KeepPosition() override { Keep(); }

    std::vector<std::string> TakeNotes() override {
        TakeParserNotes();
        return std::exchange(m_notes, {});
    }

private:
    // The end of a line read and not settled yet: a frame's waits for its
    // acknowledgement, a blank or bad line's only for the frames before it.
    struct Unsettled {
        CReadMark mark;
        bool frame = false;
    };

    void Note(const std::string& text) { m_notes.push_back(text); }

    void Start(FilePtr file, System::FileIdentity identity, const std::string& name,
               uint64_t offset, long line) {
        m_file = std::move(file);
        m_identity = identity;
        m_name = name;
        m_head = ReadHead(m_file.get(), kHeadBytes);
        BeginAt(offset, line);
    }

    // Reading begins at `offset` of the open file, after line `line`.
    void BeginAt(uint64_t offset, long line) {
        m_offset = m_pendingStart = offset;
        m_nLine = line;
        m_pending.clear();
        m_parser->Begin();
        if (offset > 0 && m_parser->RecallsEarlierLines()) RecallUpTo(offset);
    }

    // Shows the parser the lines before `end` (the end of a line). A file that cannot be
    // read so far leaves the parser knowing less: its lines then say so.
    void RecallUpTo(uint64_t end) {
        if (!SeekTo(m_file.get(), 0)) return;
        std::string pending;
        long number = 0;
        char buffer[65536];
        for (uint64_t read = 0; read < end;) {
            const size_t got = std::fread(
                buffer, 1, static_cast<size_t>(std::min<uint64_t>(sizeof buffer, end - read)),
                m_file.get());
            if (got == 0) break;
            read += got;
            pending.append(buffer, got);
            pending.erase(0, FrameFile::ForEachLine(pending, [&](const std::string& text, size_t) {
                              m_parser->Recall(text, ++number);
                          }));
        }
        std::clearerr(m_file.get());
    }

    bool ReadNew(std::vector<CDataFrame>& frames, std::vector<std::string>& errors) {
        if (m_name == m_path && System::IdentityOf(m_path) == m_identity) {
            CheckCutShort(errors);
        }
        bool any = ReadOn(frames, errors);
        if (!m_bAtEnd) return any;  // more to read first, at the next poll
        const auto atPath = System::IdentityOf(m_path);
        if (!atPath || *atPath == m_identity) return any;
        // The path names another file: what was written to this one before the
        // rotation is read first, to its end.
        do {
            any = ReadOn(frames, errors) || any;
        } while (!m_bAtEnd);
        auto opened = OpenSteady(m_path);
        if (!opened) return any;
        DropUnended(errors);
        if (m_name == m_path) {
            Note(m_path +
                 " is a new file (rotated by rename): the one read before was read to "
                 "its end; the new one is read from its start");
        }
        Start(std::move(opened->first), opened->second, m_path, 0, 0);
        PassLine(Here());  // once what came before is settled, the position is in the new file
        return ReadOn(frames, errors) || any;
    }

    // A file cut short below what was read, or whose first bytes changed, was rotated
    // by copy-truncate: its copy holds what follows the last line read.
    void CheckCutShort(std::vector<std::string>& errors) {
        const auto size = SizeOf(m_file.get());
        if (!size) return;
        if (*size >= m_offset && ReadHead(m_file.get(), m_head.bytes) == m_head) {
            if (m_head.bytes<kHeadBytes&& * size> m_head.bytes) {
                m_head = ReadHead(m_file.get(), kHeadBytes);
            }
            return;
        }
        const std::string cut = m_path + " was cut short (rotated by copy-truncate)";
        const CReadMark here{m_identity, m_head, m_offset, m_nLine};
        if (const auto copy = FindRest(m_path, here)) {
            if (auto opened = OpenSteady(*copy)) {
                // The copy goes on where this file was read to, the unended line too;
                // its lines so far are those the parser took.
                m_file = std::move(opened->first);
                m_identity = opened->second;
                m_name = *copy;
                Note(cut + ": what followed line " + std::to_string(m_nLine) + " is read from " +
                     *copy + ", then " + m_path + " from its start");
                return;
            }
        }
        DropUnended(errors);
        Note(cut + ": it is read from its start" +
             (m_offset > 0
                  ? "; no copy of it beside it held what followed line " + std::to_string(m_nLine)
                  : std::string()));
        m_head = ReadHead(m_file.get(), kHeadBytes);
        BeginAt(0, 0);
        PassLine(Here());
    }

    // The line being written when the file was rotated away never gets its end.
    void DropUnended(std::vector<std::string>& errors) {
        if (!FrameFile::IsBlank(m_pending)) {
            errors.push_back("line " + std::to_string(m_nLine + 1) +
                             ": the file was rotated before this line was ended; it is dropped");
        }
        m_pending.clear();
    }

    // Reads on from where the last read ended, at most kReadLimit bytes; true when it
    // got any. m_bAtEnd tells whether the file's end was reached.
    bool ReadOn(std::vector<CDataFrame>& frames, std::vector<std::string>& errors) {
        uint64_t total = 0;
        if (SeekTo(m_file.get(), m_offset)) {
            char buffer[65536];
            for (size_t got; total < kReadLimit &&
                             (got = std::fread(buffer, 1, sizeof buffer, m_file.get())) > 0;) {
                m_pending.append(buffer, got);
                total += got;
            }
            std::clearerr(m_file.get());  // at the end for now: what is appended comes next
        }
        m_bAtEnd = total < kReadLimit;
        m_offset += total;
        TakeLines(frames, errors);
        return total > 0;
    }

    void TakeLines(std::vector<CDataFrame>& frames, std::vector<std::string>& errors) {
        const size_t used =
            FrameFile::ForEachLine(m_pending, [&](const std::string& line, size_t end) {
                ++m_nLine;
                const CReadMark mark{m_identity, m_head, m_pendingStart + end, m_nLine};
                LineOutcome outcome = m_parser->Take(line, m_nLine);
                const std::string place = "line " + std::to_string(m_nLine);
                if (!outcome.error.empty()) errors.push_back(place + ": " + outcome.error);
                if (outcome.frame) {
                    frames.push_back(std::move(*outcome.frame));
                    m_lastPlaces.push_back(place);
                    m_unsettled.push_back({mark, true});
                } else {
                    PassLine(mark);
                }
            });
        m_pending.erase(0, used);
        m_pendingStart += used;
        TakeParserNotes();
    }

    void TakeParserNotes() {
        for (std::string& note : m_parser->TakeNotes()) m_notes.push_back(std::move(note));
    }

    // The start of the file read now, or the end of its last complete line.
    CReadMark Here() const { return {m_identity, m_head, m_pendingStart, m_nLine}; }

    // A place without a frame (a blank or bad line, a file's start): passed once the
    // frames before it are settled. Of several in a row only the last counts.
    void PassLine(const CReadMark& mark) {
        if (!m_unsettled.empty() && !m_unsettled.back().frame) {
            m_unsettled.back().mark = mark;
        } else {
            m_unsettled.push_back({mark, false});
        }
        SettleLines();
    }

    // Lines without a frame are passed once every frame before them is settled.
    void SettleLines() {
        while (!m_unsettled.empty() && !m_unsettled.front().frame) {
            m_settled = m_unsettled.front().mark;
            m_bSettled = true;
            m_unsettled.pop_front();
        }
    }

    // At most once a second while frames flow, but at once when the position moved to
    // another file: a second rotation before the next start would leave the file between
    // them unknown to it.
    void KeepIfDue() {
        if ((!m_bKeepFailed && !(m_settled.file == m_kept.file)) ||
            std::chrono::steady_clock::now() - m_lastKeep >= kKeepInterval) {
            Keep();
        }
    }

    void Keep() {
        if (m_registry.empty() || !m_bSettled || m_settled == m_kept) return;
        m_lastKeep = std::chrono::steady_clock::now();
        std::string error;
        if (FollowPosition::Save(m_registry, m_path, m_settled, error)) {
            m_kept = m_settled;
            if (m_bKeepFailed) Note("the position is kept in " + m_registry + " again");
            m_bKeepFailed = false;
        } else if (!m_bKeepFailed) {
            m_bKeepFailed = true;
            Note("cannot keep the position in " + m_registry + " (" + error +
                 "): a restart would hand frames over again");
        }
    }

    const std::string m_path;                     // as followed; the file it names may change
    const std::string m_registry;                 // empty: no position kept
    const std::unique_ptr<CLineParser> m_parser;  // what each line gives
    FilePtr m_file;                               // the file read now
    System::FileIdentity m_identity;
    std::string m_name;  // the open file's name: m_path, or the file it was rotated to
    CFileHead m_head;
    uint64_t m_offset = 0;        // read up to here
    uint64_t m_pendingStart = 0;  // the offset of m_pending's first byte
    long m_nLine = 0;             // complete lines read
    std::string m_pending;        // read, not yet a complete line
    bool m_bAtEnd = true;
    std::vector<std::string> m_lastPlaces;
    std::deque<Unsettled> m_unsettled;
    CReadMark m_settled;  // every frame before it settled
    bool m_bSettled = false;
    CReadMark m_kept;  // what the registry holds
    bool m_bKeepFailed = false;
    std::chrono::steady_clock::time_point m_lastKeep;
    std::vector<std::string> m_notes;
};

// Frames in JSON Lines; a blank line gives nothing.
class CFrameLines : public CLineParser {
public:
    LineOutcome Take(const std::string& line, long) override {
        LineOutcome outcome;
        if (!FrameFile::IsBlank(line)) outcome.frame = FrameFile::ParseLine(line, outcome.error);
        return outcome;
    }
};

// Standard input, taken as it comes; its last line counts without a line end.
class CFollowedInput : public CLiveSource {
public:
    bool Poll(std::vector<CDataFrame>& frames, std::vector<std::string>& errors,
              int waitMs) override {
        Read(waitMs);
        m_lastPlaces.clear();
        const size_t used = FrameFile::ForEachLine(m_pending, [&](const std::string& line, size_t) {
            FrameFile::TakeLine(line, "line " + std::to_string(++m_nLine), frames, m_lastPlaces,
                                errors);
        });
        m_pending.erase(0, used);
        return !m_bEnded;
    }

    std::vector<std::string> LastPlaces() const override { return m_lastPlaces; }

private:
    void Read(int waitMs) {
        char buffer[65536];
        for (int wait = waitMs;; wait = 0) {
            const long got = m_input.Read(buffer, sizeof buffer, wait);
            if (got < 0) return;
            if (got == 0) {
                m_bEnded = true;
                if (!m_pending.empty()) m_pending += '\n';  // the last line, unended
                return;
            }
            m_pending.append(buffer, static_cast<size_t>(got));
        }
    }

    CStandardInput m_input;
    bool m_bEnded = false;
    std::string m_pending;
    long m_nLine = 0;
    std::vector<std::string> m_lastPlaces;
};

}  // namespace

std::unique_ptr<CLiveSource> FollowLines(const std::string& path, const std::string& positionFile,
                                         std::unique_ptr<CLineParser> parser, std::string& error) {
    auto opened = OpenSteady(path);
    if (!opened) {
        error = "cannot open " + path;
        return nullptr;
    }
    auto source = std::make_unique<CFollowedFile>(path, positionFile, std::move(parser),
                                                  std::move(opened->first), opened->second);
    source->TakeUpPosition();
    return source;
}

std::unique_ptr<CLiveSource> FollowFrames(const std::string& path, const std::string& positionFile,
                                          std::string& error) {
    if (path == "-") return std::make_unique<CFollowedInput>();
    auto source = FollowLines(path, positionFile, std::make_unique<CFrameLines>(), error);
    if (!source) error = "--follow: " + error;
    return source;
}
