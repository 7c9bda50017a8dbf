#pragma once

#include <string>
#include <vector>

// What a host must be able to write in its host directory: the directory itself,
// WPData/ with the frame spool and the station files, odbc/ with its data source files,
// the lock, the host catalogue and its copy, WPDB.ini, the error log, the follow
// position and an SQLite backend with their journals. A file another user left there
// (a command run as root) stops a host half way, so it is found before anything opens.
namespace WritableFiles {

// Those of them present under `dir` that this process cannot write, each as
// "PATH (owner NAME)" where the system keeps owners.
std::vector<std::string> Unwritable(const std::string& dir);

// False, with `error` naming the first of them, their count, and the command that
// mends them, when any cannot be written.
bool Check(const std::string& dir, std::string& error);

// The superuser working on a host directory that belongs to another user would leave
// files that user cannot write: false with `error` naming the owner and how to run the
// command as that user instead.
bool CheckNotForeignSuperuser(const std::string& dir, std::string& error);

}  // namespace WritableFiles
