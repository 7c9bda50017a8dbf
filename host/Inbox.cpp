// Frames files dropped into a folder, each taken whole.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <thread>
#include <utility>

#include "host/FrameFile.h"
#include "host/LiveSource.h"
#include "platform/System.h"

namespace {

namespace fs = std::filesystem;

// A file a feeder is still writing carries a name the inbox leaves alone.
bool IsLeftAlone(const std::string& name) {
    return name.empty() || name.front() == '.' ||
           (name.size() >= 4 && name.compare(name.size() - 4, 4, ".tmp") == 0);
}

bool ReadWhole(const std::string& path, std::string& text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream content;
    content << in.rdbuf();
    text = content.str();
    return !in.bad();
}

// `name` in `folder`, or NAME.1, NAME.2 ... when a file (or its .why) is there already:
// a file fed twice keeps both.
std::string FreeName(const std::string& folder, const std::string& name) {
    std::error_code ec;
    std::string candidate = name;
    for (int n = 1; fs::exists(folder + "/" + candidate, ec) ||
                    fs::exists(folder + "/" + candidate + ".why", ec);
         ++n) {
        candidate = name + "." + std::to_string(n);
    }
    return candidate;
}

// The file being handed over: its frames' lines and what of it was not taken.
struct CTakenFile {
    std::string name;
    std::vector<std::string> places;    // "line N" of each frame
    std::vector<std::string> notTaken;  // "line N: reason"
    size_t settled = 0;
    size_t accepted = 0;
};

// Takes the files of a folder whole, one at a time in name order, and moves each away
// once all of its frames are settled: to done/ when all were accepted, to rejected/
// with NAME.why otherwise.
class CInbox : public CLiveSource {
public:
    explicit CInbox(std::string dir) : m_dir(std::move(dir)) {}

    bool Poll(std::vector<CDataFrame>& frames, std::vector<std::string>& errors,
              int waitMs) override {
        m_lastPlaces.clear();
        if (!m_taken) TakeNextFile(frames, errors);
        if (frames.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(waitMs));
        return true;
    }

    std::vector<std::string> LastPlaces() const override { return m_lastPlaces; }

    void Acknowledge(const FrameOutcome& outcome) override {
        if (!m_taken || m_taken->settled >= m_taken->places.size()) return;
        CTakenFile& taken = *m_taken;
        if (outcome.fate == FrameFate::Accepted) {
            ++taken.accepted;
        } else {
            taken.notTaken.push_back(taken.places[taken.settled] + ": " + outcome.why);
        }
        if (++taken.settled == taken.places.size()) Finish();
    }

    std::vector<std::string> TakeNotes() override { return std::exchange(m_notes, {}); }

private:
    // The names to take, in order.
    std::vector<std::string> Candidates() const {
        std::vector<std::string> names;
        std::error_code ec;
        for (fs::directory_iterator it(m_dir, ec); !ec && it != fs::directory_iterator();
             it.increment(ec)) {
            std::error_code typeError;
            const std::string name = it->path().filename().string();
            if (it->is_regular_file(typeError) && !IsLeftAlone(name) && !m_stuck.count(name)) {
                names.push_back(name);
            }
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    // Takes the first file that is complete and has frames; one without frames is
    // moved away on the way.
    void TakeNextFile(std::vector<CDataFrame>& frames, std::vector<std::string>& errors) {
        for (const std::string& name : Candidates()) {
            std::string text;
            if (!ReadWhole(m_dir + "/" + name, text)) {
                NoteOnce(name, name + ": cannot be read (" + std::strerror(errno) + "); it waits");
                continue;
            }
            if (!text.empty() && text.back() != '\n') {
                NoteOnce(name, name + ": its last line has no end yet; it waits for it");
                continue;
            }
            m_noted.erase(name);
            CTakenFile taken{name, {}, {}, 0, 0};
            long number = 0;
            FrameFile::ForEachLine(text, [&](const std::string& line, size_t) {
                FrameFile::TakeLine(line, "line " + std::to_string(++number), frames, taken.places,
                                    taken.notTaken);
            });
            for (const std::string& bad : taken.notTaken) errors.push_back(name + " " + bad);
            m_taken = std::move(taken);
            if (m_taken->places.empty()) {
                Finish();
                continue;
            }
            for (const std::string& place : m_taken->places) {
                m_lastPlaces.push_back(name + " " + place);
            }
            return;
        }
    }

    // Moves the file whose frames are all settled away, with the reasons beside it when
    // any of it was not taken.
    void Finish() {
        const CTakenFile taken = std::move(*m_taken);
        m_taken.reset();
        const bool whole = taken.notTaken.empty();
        const std::string folder = m_dir + (whole ? "/done" : "/rejected");
        const std::string moved = FreeName(folder, taken.name);
        std::string failure;
        if (!whole) {
            std::string why = taken.name + ": " + std::to_string(taken.notTaken.size()) +
                              " lines were not taken (the other " + std::to_string(taken.accepted) +
                              " frames were):\n";
            for (const std::string& line : taken.notTaken) why += line + "\n";
            if (!System::WriteFileWhole(folder + "/" + moved + ".why", why)) {
                failure = "cannot write " + moved + ".why: " + std::strerror(errno);
            }
        }
        if (failure.empty() && !System::MoveOver(m_dir + "/" + taken.name, folder + "/" + moved)) {
            failure = std::string("cannot move it: ") + std::strerror(errno);
        }
        if (!failure.empty()) {
            m_stuck.insert(taken.name);
            m_notes.push_back(taken.name + ": " + failure + "; it is left alone until a restart");
            return;
        }
        // Its new name survives a power loss: it is not taken again.
        System::SyncDirectory(folder);
        System::SyncDirectory(m_dir);
        if (whole) {
            m_notes.push_back(taken.name + ": " + std::to_string(taken.accepted) +
                              " frames accepted, moved to done/" + moved);
        } else {
            m_notes.push_back(taken.name + ": " + std::to_string(taken.notTaken.size()) +
                              " lines not taken, moved to rejected/" + moved + " with " + moved +
                              ".why");
        }
    }

    void NoteOnce(const std::string& name, const std::string& text) {
        if (m_noted.insert(name).second) m_notes.push_back(text);
    }

    const std::string m_dir;
    std::optional<CTakenFile> m_taken;
    std::vector<std::string> m_lastPlaces;
    std::set<std::string> m_noted;  // files waiting, told of once
    std::set<std::string> m_stuck;  // files that could not be moved away
    std::vector<std::string> m_notes;
};

}  // namespace

std::unique_ptr<CLiveSource> FollowInbox(const std::string& dir, std::string& error) {
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) {
        error = "--inbox: " + dir + " is not a folder";
        return nullptr;
    }
    for (const char* sub : {"done", "rejected"}) {
        fs::create_directories(dir + "/" + sub, ec);
        if (ec) {
            error = "--inbox: cannot make " + dir + "/" + sub + ": " + ec.message();
            return nullptr;
        }
    }
    return std::make_unique<CInbox>(dir);
}
