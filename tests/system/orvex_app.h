#pragma once

// The production program orvex-config, started inside the emulated device
// tree and on a private desktop, and what a user can see and do with it. Its
// controls are found through AT-SPI by role and product text and are named here
// by their object names, e.g. "scanButton" is the push button
// "Scan For Device".

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "atspi.h"
#include "child_process.h"
#include "desktop_session.h"
#include "hidraw_keypad.h"
#include "polling.h"

namespace orvex::systest {

class OrvexApp {
public:
    struct Options {
        std::string program;   // path of orvex-config
        std::string fstatShim; // path of the fstat() fix-up library
        std::string outputDir; // screenshots and the program's output
        // Run without the file-permission override root would have.
        bool withoutFileOverride = false;
        // Added to the program's environment.
        std::map<std::string, std::string> env;
    };

    OrvexApp(DesktopSession& desktop, Testbed& bed, Options options);
    ~OrvexApp();

    bool start(std::string* why);
    // Ends the program (it is killed if it does not quit).
    void stop();
    bool running() { return process_.running(); }

    // Waits for the main window to show; false on time-out.
    bool waitForMainWindow(std::chrono::milliseconds timeout);

    // A control of the main window by its object name.
    std::optional<Accessible> control(const std::string& objectName);
    bool enabled(const std::string& objectName);
    // Text shown by a control: the status panel's lines, the status strip's
    // message, a list's selected entry or the placeholder it shows.
    std::string text(const std::string& objectName);

    // A left click in the middle of the control.
    bool click(const std::string& objectName);
    // Opens a list and clicks the entry with this text, as a user picks it.
    bool pick(const std::string& objectName, const std::string& entry);
    // Opens a menu of the main window's menu bar and clicks one of its items.
    bool chooseMenu(const std::string& menu, const std::string& item);

    // Another top-level window of the program by its title, once it shows.
    std::optional<Accessible> window(const std::string& title, std::chrono::milliseconds timeout);
    // The push button with this text (mnemonic left out) in a window.
    std::optional<Accessible> button(const Accessible& window, const std::string& text);
    bool click(const Accessible& control);
    // Whether a label with this text shows in a window.
    bool showsLabel(const Accessible& window, const std::string& text);
    // The texts of a window's text fields, in tree order.
    std::vector<std::string> texts(const Accessible& window);
    // Answers the open-file dialog the program shows with a path, as a user
    // typing it and pressing "Open".
    bool chooseFile(const std::string& path, std::chrono::milliseconds timeout);

    // A message box the program shows (caption and text), if one is up.
    struct Message {
        std::string caption;
        std::string text;
    };
    std::optional<Message> waitForMessage(std::chrono::milliseconds timeout);
    // Clicks the message box's button with this text.
    bool answerMessage(const std::string& button = "OK");

    // Screenshot of the main window into the output folder; returns its path.
    std::string screenshot(const std::string& label);
    AtSpi& atspi() { return atspi_; }
    std::optional<Accessible> mainWindowAccessible() { return mainWindow(); }
    std::optional<Accessible> applicationAccessible() { return application(); }

    // The accessible tree and the program's output, for failure messages.
    std::string describe();
    std::string output() const;
    std::string configFolder() const;

private:
    std::optional<Accessible> application();
    std::optional<Accessible> mainWindow();
    std::optional<Accessible> messageBox();
    void dump(const Accessible& a, int depth, std::string& out);

    DesktopSession& desktop_;
    Testbed& bed_;
    Options options_;
    AtSpi atspi_;
    ChildProcess process_;
    std::optional<Accessible> app_;
    std::optional<Accessible> window_;
};

} // namespace orvex::systest
