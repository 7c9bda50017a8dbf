// The host's user-interface commands in a build without a user-interface toolkit (the
// Windows build): each says so and fails.
#include "host/HostDialogs.h"
#include "host/gui/HostGui.h"

namespace {

int Unavailable(std::string& error) {
    error = "this build of the host has no user interface";
    return 1;
}

}  // namespace

namespace HostDialogs {

int OpenDialog(const std::string&, const std::string&, const std::string&, std::string& error) {
    return Unavailable(error);
}

int Screenshots(const std::string&, const std::string&, const std::string&, std::string& error) {
    return Unavailable(error);
}

}  // namespace HostDialogs

namespace HostGui {

int Run(const Options&, std::string& error) {
    return Unavailable(error);
}

}  // namespace HostGui
