#include "platform/ui/Display.h"

#include <dlfcn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace platform::ui {
namespace {

std::string Env(const char* name) {
    const char* v = std::getenv(name);
    return v == nullptr ? std::string() : std::string(v);
}

// Qt's platform names in the order it tries them ("xcb", "wayland", ...),
// each without its ":options".
std::vector<std::string> QtPlatforms() {
    const std::string named = Env("QT_QPA_PLATFORM");
    if (named.empty()) {
        if (Env("XDG_SESSION_TYPE") == "wayland") return {"wayland", "xcb"};
        return {"xcb"};
    }
    std::vector<std::string> out;
    std::size_t at = 0;
    while (at <= named.size()) {
        std::size_t end = named.find(';', at);
        if (end == std::string::npos) end = named.size();
        std::string item = named.substr(at, end - at);
        item = item.substr(0, item.find(':'));
        if (!item.empty()) out.push_back(item);
        at = end + 1;
    }
    return out;
}

// What Qt's X platform does first: connect with libxcb to the display
// DISPLAY names. The library is opened for the check only, so the program
// itself links nothing of X.
bool XReachable(std::string& why) {
    const std::string display = Env("DISPLAY");
    if (display.empty()) {
        why = "DISPLAY is not set";
        return false;
    }
    void* xcb = ::dlopen("libxcb.so.1", RTLD_NOW | RTLD_LOCAL);
    if (xcb == nullptr) {
        why = "the X client library libxcb.so.1 cannot be loaded";
        return false;
    }
    using Connect = void* (*)(const char*, int*);
    using HasError = int (*)(void*);
    using Disconnect = void (*)(void*);
    const auto connect = reinterpret_cast<Connect>(::dlsym(xcb, "xcb_connect"));
    const auto hasError = reinterpret_cast<HasError>(::dlsym(xcb, "xcb_connection_has_error"));
    const auto disconnect = reinterpret_cast<Disconnect>(::dlsym(xcb, "xcb_disconnect"));
    bool reached = false;
    if (connect == nullptr || hasError == nullptr || disconnect == nullptr) {
        why = "libxcb.so.1 lacks the functions to connect";
    } else {
        void* connection = connect(nullptr, nullptr);
        const int error = connection == nullptr ? 1 : hasError(connection);
        if (connection != nullptr) disconnect(connection);
        reached = error == 0;
        // The codes of xcb_connection_has_error that a bad setting gives.
        if (error == 5)
            why = "DISPLAY=" + display + " is not a display name";
        else if (error == 6)
            why = "the X display " + display + " has no such screen";
        else if (error != 0)
            why = "the X display " + display + " cannot be connected to";
    }
    ::dlclose(xcb);
    return reached;
}

// What Qt's Wayland platform does first: connect to the compositor's socket
// (WAYLAND_DISPLAY, default wayland-0, under XDG_RUNTIME_DIR unless it is a
// path), or take the one handed over in WAYLAND_SOCKET.
bool WaylandReachable(std::string& why) {
    if (!Env("WAYLAND_SOCKET").empty()) return true;
    std::string name = Env("WAYLAND_DISPLAY");
    if (name.empty()) name = "wayland-0";
    std::string path = name;
    if (name.front() != '/') {
        const std::string runtime = Env("XDG_RUNTIME_DIR");
        if (runtime.empty()) {
            why = "XDG_RUNTIME_DIR is not set, so the Wayland display " + name + " cannot be found";
            return false;
        }
        path = runtime + "/" + name;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        why = "the Wayland socket path " + path + " is too long";
        return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    // Non-blocking: a compositor too busy to accept at once is still there.
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        why = std::string("no socket for Wayland: ") + std::strerror(errno);
        return false;
    }
    int result;
    do {
        result = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } while (result != 0 && errno == EINTR);
    const int error = result == 0 ? 0 : errno;
    ::close(fd);
    if (error == 0 || error == EAGAIN || error == EINPROGRESS) return true;
    why = "the Wayland display " + path + " cannot be connected to (" + std::strerror(error) + ")";
    return false;
}

}  // namespace

DisplayCheck CheckDisplay() {
    DisplayCheck check;
    for (const std::string& platform : QtPlatforms()) {
        std::string why;
        bool reached;
        if (platform == "xcb")
            reached = XReachable(why);
        else if (platform.starts_with("wayland"))
            reached = WaylandReachable(why);
        else
            reached = true;  // offscreen, minimal, vnc ...: no display to reach
        if (reached) return {true, {}};
        check.why += (check.why.empty() ? "" : "; ") + why;
    }
    if (check.why.empty()) check.why = "QT_QPA_PLATFORM names no platform";
    return check;
}

}  // namespace platform::ui
