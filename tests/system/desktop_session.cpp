#include "desktop_session.h"

// Qt before Xlib, whose macros (Status, None, ...) break Qt's headers.
#include <QImage>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <fcntl.h>
#include <gio/gio.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <thread>

namespace orvex::systest {

namespace {

// What the accessibility bus launcher offers on the session bus: the address
// of the accessibility bus, and whether assistive technology is running.
const char kA11yBusXml[] = R"(<node>
  <interface name="org.a11y.Bus">
    <method name="GetAddress"><arg type="s" direction="out"/></method>
  </interface>
  <interface name="org.a11y.Status">
    <property name="IsEnabled" type="b" access="readwrite"/>
    <property name="ScreenReaderEnabled" type="b" access="readwrite"/>
  </interface>
</node>)";

void onMethod(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* method,
              GVariant*, GDBusMethodInvocation* invocation, gpointer address) {
    if (g_strcmp0(method, "GetAddress") == 0)
        g_dbus_method_invocation_return_value(
            invocation, g_variant_new("(s)", static_cast<const char*>(address)));
    else
        g_dbus_method_invocation_return_dbus_error(
            invocation, "org.freedesktop.DBus.Error.UnknownMethod", method);
}

GVariant* onGetProperty(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                        GError**, gpointer) {
    return g_variant_new_boolean(TRUE);
}

gboolean onSetProperty(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                       GVariant*, GError**, gpointer) {
    return TRUE;
}

const GDBusInterfaceVTable kVTable = {onMethod, onGetProperty, onSetProperty, {}};

bool readLine(int fd, std::string& line, int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    line.clear();
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              end - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0)
            return false;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) <= 0)
            continue;
        char c;
        const ssize_t n = read(fd, &c, 1);
        if (n <= 0)
            return false;
        if (c == '\n')
            return true;
        line += c;
    }
}

} // namespace

DesktopSession::~DesktopSession() {
    stop();
}

bool DesktopSession::start(const std::string& parent, std::string* why) {
    namespace fs = std::filesystem;
    std::string tmpl = parent + "/desktop.XXXXXX";
    if (!mkdtemp(tmpl.data())) {
        *why = "cannot create a folder in " + parent;
        return false;
    }
    dir_ = tmpl;
    for (const char* sub : {"home", "run", "data", "config", "cache", "state"})
        fs::create_directories(dir_ + "/" + sub);
    fs::permissions(dir_ + "/run", fs::perms::owner_all, fs::perm_options::replace);

    // Xvfb picks a free display and writes its number to the pipe.
    int displayPipe[2];
    if (pipe2(displayPipe, O_CLOEXEC) != 0) {
        *why = "pipe failed";
        return false;
    }
    ChildProcess::Options x;
    x.argv = {"/usr/bin/Xvfb",
              "-displayfd",
              std::to_string(displayPipe[1]),
              "-nolisten",
              "tcp",
              "-screen",
              "0",
              "1280x1024x24"};
    x.logFile = dir_ + "/xvfb.log";
    x.inheritFd = displayPipe[1];
    const bool xStarted = xvfb_.start(x, why);
    close(displayPipe[1]);
    std::string number;
    const bool gotNumber = xStarted && readLine(displayPipe[0], number, 15000);
    close(displayPipe[0]);
    if (!gotNumber || number.empty()) {
        if (why->empty())
            *why = "Xvfb did not report a display (see " + x.logFile + ")";
        return false;
    }
    display_ = ":" + number;
    x_ = XOpenDisplay(display_.c_str());
    int ev, er, major, minor;
    if (!x_ || !XTestQueryExtension(x_, &ev, &er, &major, &minor)) {
        *why = "cannot open display " + display_ + " with the XTEST extension";
        return false;
    }

    // The session bus, which is also the accessibility bus.
    const std::string socket = dir_ + "/bus";
    busAddress_ = "unix:path=" + socket;
    ChildProcess::Options d;
    d.argv = {"/usr/bin/dbus-daemon", "--session", "--nofork", "--nopidfile",
              "--address=" + busAddress_};
    d.logFile = dir_ + "/dbus.log";
    if (!dbus_.start(d, why))
        return false;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!bus_ && std::chrono::steady_clock::now() < end) {
        if (fs::exists(socket)) {
            GError* error = nullptr;
            bus_ = g_dbus_connection_new_for_address_sync(
                busAddress_.c_str(),
                static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                                  G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
                nullptr, nullptr, &error);
            g_clear_error(&error);
        }
        if (!bus_)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (!bus_) {
        *why = "cannot connect to the private D-Bus daemon (see " + d.logFile + ")";
        return false;
    }
    return startBusService(why);
}

bool DesktopSession::startBusService(std::string* why) {
    context_ = g_main_context_new();
    loop_ = g_main_loop_new(context_, FALSE);
    std::promise<std::string> ready;
    auto registered = ready.get_future();
    serviceThread_ = std::thread([this, &ready] {
        g_main_context_push_thread_default(context_);
        GError* error = nullptr;
        GDBusNodeInfo* info = g_dbus_node_info_new_for_xml(kA11yBusXml, &error);
        std::string failure;
        if (info) {
            for (GDBusInterfaceInfo** i = info->interfaces; *i && failure.empty(); ++i) {
                const unsigned id = g_dbus_connection_register_object(
                    bus_, "/org/a11y/bus", *i, &kVTable, busAddress_.data(), nullptr, &error);
                if (!id)
                    failure = error ? error->message : "register_object failed";
                else if (!objectId_)
                    objectId_ = id;
            }
            g_dbus_node_info_unref(info);
        } else {
            failure = error ? error->message : "bad interface description";
        }
        g_clear_error(&error);
        if (failure.empty()) {
            GVariant* reply = g_dbus_connection_call_sync(
                bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                "RequestName", g_variant_new("(su)", "org.a11y.Bus", 4u), G_VARIANT_TYPE("(u)"),
                G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &error);
            guint32 result = 0;
            if (reply) {
                g_variant_get(reply, "(u)", &result);
                g_variant_unref(reply);
            }
            if (result != 1)
                failure = "cannot own org.a11y.Bus";
            g_clear_error(&error);
        }
        ready.set_value(failure);
        if (failure.empty())
            g_main_loop_run(loop_);
        g_main_context_pop_thread_default(context_);
    });
    const std::string failure = registered.get();
    if (!failure.empty()) {
        *why = failure;
        return false;
    }
    return true;
}

void DesktopSession::stop() {
    if (loop_) {
        g_main_loop_quit(loop_);
        if (serviceThread_.joinable())
            serviceThread_.join();
        g_main_loop_unref(loop_);
        loop_ = nullptr;
    }
    if (context_) {
        g_main_context_unref(context_);
        context_ = nullptr;
    }
    if (bus_) {
        g_dbus_connection_close_sync(bus_, nullptr, nullptr);
        g_object_unref(bus_);
        bus_ = nullptr;
    }
    if (x_) {
        XCloseDisplay(x_);
        x_ = nullptr;
    }
    windowManager_.stop(1000);
    dbus_.stop(1000);
    xvfb_.stop(1000);
    if (!dir_.empty() && !std::getenv("ORVEX_SYSTEM_KEEP")) {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    dir_.clear();
}

std::map<std::string, std::string> DesktopSession::programEnv() const {
    std::map<std::string, std::string> env = {
        {"DISPLAY", display_},
        {"DBUS_SESSION_BUS_ADDRESS", busAddress_},
        {"QT_QPA_PLATFORM", "xcb"},
        {"HOME", dir_ + "/home"},
        {"XDG_RUNTIME_DIR", dir_ + "/run"},
        {"XDG_DATA_HOME", dir_ + "/data"},
        {"XDG_CONFIG_HOME", dir_ + "/config"},
        {"XDG_CACHE_HOME", dir_ + "/cache"},
        // The upgrade journal and lock of this desktop alone too. The
        // system's search folders (XDG_DATA_DIRS, XDG_CONFIG_DIRS) stay: the
        // desktop's own files are found through them (without them the
        // windows never reached the accessibility bus).
        {"XDG_STATE_HOME", dir_ + "/state"},
    };
    return env;
}

void DesktopSession::click(int x, int y) {
    if (!x_)
        return;
    XTestFakeMotionEvent(x_, -1, x, y, CurrentTime);
    XSync(x_, False);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    XTestFakeButtonEvent(x_, 1, True, CurrentTime);
    XSync(x_, False);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    XTestFakeButtonEvent(x_, 1, False, CurrentTime);
    XSync(x_, False);
}

bool DesktopSession::startWindowManager(std::string* why) {
    if (!x_) {
        *why = "no display";
        return false;
    }
    ChildProcess::Options o;
    o.argv = {"/usr/bin/openbox", "--sm-disable"};
    o.env = programEnv();
    o.logFile = dir_ + "/openbox.log";
    if (!windowManager_.start(o, why))
        return false;
    // Ready once it holds the window manager selection of screen 0.
    const Atom selection = XInternAtom(x_, "WM_S0", False);
    for (int i = 0; i < 500; ++i) {
        if (XGetSelectionOwner(x_, selection) != 0)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    *why = "openbox did not start (see " + o.logFile + ")";
    return false;
}

void DesktopSession::key(const std::string& keysym, const std::vector<std::string>& held) {
    if (!x_)
        return;
    auto code = [this](const std::string& name) {
        return XKeysymToKeycode(x_, XStringToKeysym(name.c_str()));
    };
    for (const std::string& h : held)
        XTestFakeKeyEvent(x_, code(h), True, CurrentTime);
    XTestFakeKeyEvent(x_, code(keysym), True, CurrentTime);
    XSync(x_, False);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    XTestFakeKeyEvent(x_, code(keysym), False, CurrentTime);
    for (auto h = held.rbegin(); h != held.rend(); ++h)
        XTestFakeKeyEvent(x_, code(*h), False, CurrentTime);
    XSync(x_, False);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
}

bool DesktopSession::screenshot(const std::string& file, int x, int y, int w, int h) {
    if (!x_ || w <= 0 || h <= 0)
        return false;
    XImage* img = XGetImage(x_, DefaultRootWindow(x_), x, y, static_cast<unsigned>(w),
                            static_cast<unsigned>(h), AllPlanes, ZPixmap);
    if (!img)
        return false;
    QImage out(w, h, QImage::Format_RGB32);
    for (int row = 0; row < h; ++row)
        for (int col = 0; col < w; ++col)
            out.setPixel(col, row, static_cast<QRgb>(XGetPixel(img, col, row)) | 0xFF000000u);
    XDestroyImage(img);
    return out.save(QString::fromStdString(file), "PNG");
}

} // namespace orvex::systest
