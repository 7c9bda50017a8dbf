#include "host/WritableFiles.h"

#include <filesystem>

#include "host/DirectoryLock.h"
#include "host/FollowPosition.h"
#include "hostlib/StationFiles.h"
#include "platform/ErrorLog.h"
#include "platform/System.h"

namespace fs = std::filesystem;

namespace WritableFiles {

namespace {

// The host's own files at the top of the directory, with the journals SQLite keeps
// beside a database.
const char* const kTopFiles[] = {
    "VKTCOMM.MDB",     "VKTCOMM.MDB-journal", "VKTCOMM.MDB-wal",
    "VKTCOMM.MDB-shm", "VKTCOMM(BAK).MDB",    DirectoryLock::kFileName,
    "WPDB.ini",        "VKTError.log",        FollowPosition::kFileName,
    "backend.db",      "backend.db-journal",  "backend.db-wal",
    "backend.db-shm",
};
// Folders whose every entry the host writes, at any depth.
const char* const kFolders[] = {StationFiles::kFolder, "odbc"};
constexpr size_t kNamedAtMost = 5;

void NoteIfUnwritable(const fs::path& path, std::vector<std::string>& found) {
    const std::string name = path.string();
    if (System::CanWrite(name)) return;
    const std::string owner = System::OwnerOf(name);
    found.push_back(owner.empty() ? name : name + " (owner " + owner + ")");
}

}  // namespace

std::vector<std::string> Unwritable(const std::string& dir) {
    std::vector<std::string> found;
    std::error_code ec;
    NoteIfUnwritable(dir, found);
    std::vector<std::string> names(std::begin(kTopFiles), std::end(kTopFiles));
    for (int n = 1; n <= ErrorLog::kGenerations; ++n) {
        names.push_back(std::string(ErrorLog::FileName()) + "." + std::to_string(n));
    }
    for (const std::string& name : names) {
        const fs::path path = fs::path(dir) / name;
        if (fs::exists(fs::symlink_status(path, ec))) NoteIfUnwritable(path, found);
    }
    for (const char* folder : kFolders) {
        const fs::path top = fs::path(dir) / folder;
        if (!fs::is_directory(top, ec)) continue;
        NoteIfUnwritable(top, found);
        for (auto it = fs::recursive_directory_iterator(top, ec);
             !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
            NoteIfUnwritable(it->path(), found);
        }
    }
    return found;
}

bool Check(const std::string& dir, std::string& error) {
    const std::vector<std::string> found = Unwritable(dir);
    if (found.empty()) return true;
    std::string named;
    for (size_t i = 0; i < found.size() && i < kNamedAtMost; ++i) {
        named += (i == 0 ? "" : ", ") + found[i];
    }
    if (found.size() > kNamedAtMost) {
        named += " and " + std::to_string(found.size() - kNamedAtMost) + " more";
    }
    const std::string user = System::CurrentUser();
    error = user + " cannot write " + std::to_string(found.size()) +
            " of the files and folders of the host directory " + dir + ": " + named +
            "; as root, give them back: chown -R " + user + ": " + dir;
    return false;
}

bool CheckNotForeignSuperuser(const std::string& dir, std::string& error) {
    if (!System::IsSuperuser()) return true;
    const std::string owner = System::OwnerOf(dir);
    if (owner.empty() || owner == System::CurrentUser()) return true;
    error = "the host directory " + dir + " belongs to " + owner + ", and files " +
            System::CurrentUser() + " made in it would stop " + owner +
            "'s host: run the command as " + owner + " (runuser -u " + owner + " -- vkthost …)";
    return false;
}

}  // namespace WritableFiles
