#include "host/HostDisplay.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QLibraryInfo>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <vector>

namespace HostDisplay {

namespace {

// Platforms that draw without a display server.
constexpr const char* kWithoutServer[] = {"offscreen", "minimal", "minimalegl",  "vnc",
                                          "linuxfb",   "eglfs",   "vkkhrdisplay"};

constexpr const char* kHint =
    "run it in a desktop session, under xvfb-run, or with QT_QPA_PLATFORM=offscreen";

std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

bool CanConnect(const std::string& path, bool abstract) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    const size_t offset = abstract ? 1 : 0;  // an abstract name starts with a zero byte
    if (path.size() + offset >= sizeof address.sun_path) {
        ::close(fd);
        return false;
    }
    std::memcpy(address.sun_path + offset, path.data(), path.size());
    const socklen_t length =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + path.size());
    const bool connected = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0;
    ::close(fd);
    return connected;
}

// An X display on this machine (":N", ":N.S", "unix:N") answers at its socket; a
// display elsewhere is taken as given.
bool XServerAnswers(const std::string& display) {
    std::string rest;
    if (display.rfind(':', 0) == 0) {
        rest = display.substr(1);
    } else if (display.rfind("unix:", 0) == 0) {
        rest = display.substr(5);
    } else {
        return true;
    }
    const std::string number = rest.substr(0, rest.find('.'));
    if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos) return true;
    const std::string socket = "/tmp/.X11-unix/X" + number;
    return CanConnect(socket, true) || CanConnect(socket, false);
}

bool PluginInstalled(const std::string& name) {
    std::vector<std::string> folders;
    std::istringstream extra(Environment("QT_PLUGIN_PATH"));
    for (std::string folder; std::getline(extra, folder, ':');) {
        if (!folder.empty()) folders.push_back(folder);
    }
    folders.push_back(QLibraryInfo::path(QLibraryInfo::PluginsPath).toStdString());
    std::error_code ec;
    for (const std::string& folder : folders) {
        if (std::filesystem::exists(folder + "/platforms/libq" + name + ".so", ec)) return true;
    }
    return false;
}

// Whether one platform (its name, options after ':' left off) can start; if not, why,
// naming it as `shown`.
bool PlatformStarts(const std::string& platform, const std::string& shown, std::string& why) {
    const std::string name = platform.substr(0, platform.find(':'));
    for (const char* known : kWithoutServer) {
        if (name == known) return true;
    }
    if (name == "xcb") {
        const std::string display = Environment("DISPLAY");
        if (display.empty()) {
            why = shown + " needs DISPLAY, which is not set";
        } else if (!XServerAnswers(display)) {
            why = shown + ": no X server answers at DISPLAY=" + display;
        } else {
            return true;
        }
        return false;
    }
    if (name.rfind("wayland", 0) == 0) {
        if (!Environment("WAYLAND_DISPLAY").empty()) return true;
        why = shown + " needs WAYLAND_DISPLAY, which is not set";
        return false;
    }
    if (PluginInstalled(name)) return true;
    why = shown + ": Qt has no such platform";
    return false;
}

}  // namespace

bool Usable(const std::string& defaultPlatform, std::string& error) {
    std::string platforms = Environment("QT_QPA_PLATFORM");
    const bool named = !platforms.empty();
    if (!named) platforms = defaultPlatform;
    if (platforms.empty()) {
        // What Qt picks by itself: the session's Wayland or X display.
        if (!Environment("WAYLAND_DISPLAY").empty()) platforms = "wayland;";
        if (!Environment("DISPLAY").empty()) platforms += "xcb";
        if (platforms.empty()) {
            error = std::string("no display: neither DISPLAY nor WAYLAND_DISPLAY is set; ") + kHint;
            return false;
        }
    }
    std::string reasons;
    std::istringstream list(platforms);
    for (std::string platform; std::getline(list, platform, ';');) {
        if (platform.empty()) continue;
        std::string why;
        const std::string shown =
            named ? "QT_QPA_PLATFORM=" + platforms : "Qt's platform " + platform;
        if (PlatformStarts(platform, shown, why)) return true;
        reasons += (reasons.empty() ? "" : "; ") + why;
    }
    error = "no display: " + reasons + "; " + kHint;
    return false;
}

}  // namespace HostDisplay
