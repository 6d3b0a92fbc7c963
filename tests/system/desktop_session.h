#pragma once

// A private desktop for one program under test: an Xvfb display, a D-Bus
// session bus that also serves as the accessibility bus, and a stand-in for the
// accessibility bus launcher (org.a11y.Bus) that reports a screen reader, so a
// Qt program exports its widgets over AT-SPI exactly as on a desktop with
// accessibility turned on. Input goes through the X test extension, so the
// program receives ordinary mouse events.

#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"

typedef struct _GDBusConnection GDBusConnection;
typedef struct _GMainContext GMainContext;
typedef struct _GMainLoop GMainLoop;
typedef struct _XDisplay Display;

namespace orvex::systest {

class DesktopSession {
public:
    DesktopSession() = default;
    ~DesktopSession();
    DesktopSession(const DesktopSession&) = delete;
    DesktopSession& operator=(const DesktopSession&) = delete;

    // Starts Xvfb and the bus in a fresh folder under `parent`. False, with a
    // reason, when a part cannot start.
    bool start(const std::string& parent, std::string* why);
    void stop();
    // Runs a window manager (openbox) on the display, for focus that moves
    // between windows as on a desktop. False, with a reason, when it cannot.
    bool startWindowManager(std::string* why);

    // Variables a program needs to run on this desktop (display, session bus,
    // a home and XDG folders of its own, Qt on X11).
    std::map<std::string, std::string> programEnv() const;
    std::string folder() const { return dir_; }

    // The harness's own connection to the bus (for AT-SPI calls).
    GDBusConnection* bus() const { return bus_; }

    // Mouse input at screen coordinates.
    void click(int x, int y);
    // A key typed on the keyboard, by X keysym name ("Tab", "Return", "f"),
    // with modifier keys held ("Control_L", "Alt_L", "Shift_L").
    void key(const std::string& keysym, const std::vector<std::string>& held = {});
    // Saves the screen area as PNG; false when it cannot be grabbed.
    bool screenshot(const std::string& file, int x, int y, int w, int h);

private:
    bool startBusService(std::string* why);

    std::string dir_;
    std::string display_;
    std::string busAddress_;
    ChildProcess xvfb_;
    ChildProcess dbus_;
    ChildProcess windowManager_;
    GDBusConnection* bus_ = nullptr;
    GMainContext* context_ = nullptr;
    GMainLoop* loop_ = nullptr;
    std::thread serviceThread_;
    unsigned ownerId_ = 0;
    unsigned objectId_ = 0;
    Display* x_ = nullptr;
};

} // namespace orvex::systest
