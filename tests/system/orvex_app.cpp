#include "orvex_app.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace orvex::systest {

namespace {

constexpr const char* kMainTitle = "Halden Orvex\u2122 Illuminated Configuration Utility";

// How each control of the main window shows itself to assistive technology:
// its role and its text (a list: the text its entries start with).
struct ControlSpec {
    const char* objectName;
    const char* role;
    const char* text;
};

const ControlSpec kControls[] = {
    {"scanButton", "push button", "Scan For Device"},
    {"saveChangesButton", "push button", "Save Changes"},
    {"factoryResetButton", "push button", "Reset To Factory Default"},
    {"exitButton", "push button", "Exit"},
    {"codeTableButton", "push button", "Customise Code Table"},
    {"selfTestButton", "push button", "Test Orvex\u2122"},
    {"restoreFromFileButton", "push button", "Reset From Configuration File"},
    {"firmwareButton", "push button", "Update Orvex\u2122 Keypad Firmware"},
    {"statusPanel", "text", nullptr},
    {"statusBar", "status bar", nullptr},
    {"keypadTypeList", "combo box", "Default      Table"},
    {"ledBrightnessList", "combo box", "LED Brightness - "},
    {"ledColourList", "combo box", "JACK LED Brightness - "},
    {"buzzerList", "combo box", "Buzzer - "},
    {"buzzerPeriodList", "combo box", "Buzzer Period -"},
};

const ControlSpec* controlOf(const std::string& objectName) {
    for (const ControlSpec& s : kControls)
        if (objectName == s.objectName)
            return &s;
    return nullptr;
}

bool startsWith(const std::string& s, const char* prefix) {
    return s.rfind(prefix, 0) == 0;
}

} // namespace

OrvexApp::OrvexApp(DesktopSession& desktop, Testbed& bed, Options options)
    : desktop_(desktop), bed_(bed), options_(std::move(options)), atspi_(desktop.bus()) {}

OrvexApp::~OrvexApp() {
    stop();
}

bool OrvexApp::start(std::string* why) {
    std::filesystem::create_directories(options_.outputDir);
    ChildProcess::Options o;
    o.argv = {options_.program};
    o.env = bed_.programEnv(options_.fstatShim);
    for (const auto& [k, v] : desktop_.programEnv())
        o.env[k] = v;
    for (const auto& [k, v] : options_.env)
        o.env[k] = v;
    o.logFile = options_.outputDir + "/orvex-config.log";
    std::filesystem::remove(o.logFile);
    o.withoutFileOverride = options_.withoutFileOverride;
    app_.reset();
    window_.reset();
    return process_.start(o, why);
}

void OrvexApp::stop() {
    process_.stop(2000);
}

std::optional<Accessible> OrvexApp::application() {
    if (!app_)
        app_ = atspi_.findApplication(20000);
    return app_;
}

std::optional<Accessible> OrvexApp::mainWindow() {
    if (window_ && atspi_.showing(*window_))
        return window_;
    auto app = application();
    if (!app)
        return std::nullopt;
    for (const Accessible& top : atspi_.children(*app)) {
        if (atspi_.name(top) == kMainTitle && atspi_.showing(top)) {
            window_ = top;
            return window_;
        }
    }
    return std::nullopt;
}

bool OrvexApp::waitForMainWindow(std::chrono::milliseconds timeout) {
    // Shown, and the splash window gone so clicks land on the main window.
    auto ready = [&] {
        auto window = mainWindow();
        if (!window)
            return false;
        for (const Accessible& top : atspi_.children(*app_))
            if (top.path != window->path && atspi_.showing(top))
                return false;
        return true;
    };
    return waitUntil([&] { return ready() || !running(); }, timeout) && ready();
}

std::optional<Accessible> OrvexApp::control(const std::string& objectName) {
    const ControlSpec* control = controlOf(objectName);
    auto window = mainWindow();
    if (!control || !window)
        return std::nullopt;
    for (const Accessible& c : atspi_.children(*window)) {
        if (atspi_.roleName(c) != control->role)
            continue;
        if (!control->text)
            return c;
        if (std::strcmp(control->role, "combo box") != 0) {
            if (atspi_.name(c) == control->text)
                return c;
            continue;
        }
        // A list is known by its entries: combo box > list > items.
        for (const Accessible& list : atspi_.children(c)) {
            const auto items = atspi_.children(list);
            if (!items.empty() && startsWith(atspi_.name(items.front()), control->text))
                return c;
        }
    }
    return std::nullopt;
}

bool OrvexApp::enabled(const std::string& objectName) {
    auto c = control(objectName);
    return c && atspi_.enabled(*c);
}

std::string OrvexApp::text(const std::string& objectName) {
    auto c = control(objectName);
    if (!c)
        return "<no " + objectName + ">";
    // The panel and the lists give what they show as their text; the status
    // strip, named for what it is, as its description.
    if (objectName == "statusPanel" || atspi_.roleName(*c) == "combo box")
        return atspi_.text(*c);
    if (objectName == "statusBar")
        return atspi_.description(*c);
    return atspi_.name(*c);
}

bool OrvexApp::click(const std::string& objectName) {
    auto c = control(objectName);
    if (!c)
        return false;
    const Rect r = atspi_.extents(*c);
    if (r.empty())
        return false;
    desktop_.click(r.cx(), r.cy());
    return true;
}

bool OrvexApp::pick(const std::string& objectName, const std::string& entry) {
    auto combo = control(objectName);
    if (!combo)
        return false;
    std::optional<Accessible> list;
    std::optional<Accessible> item;
    for (const Accessible& l : atspi_.children(*combo))
        for (const Accessible& i : atspi_.children(l))
            if (atspi_.name(i) == entry) {
                list = l;
                item = i;
            }
    if (!item)
        return false;
    const Rect r = atspi_.extents(*combo);
    if (r.empty())
        return false;
    desktop_.click(r.cx(), r.cy());
    // The list pops up; click the entry once it is on screen.
    Rect target;
    if (!waitUntil(
            [&] {
                target = atspi_.extents(*item);
                return atspi_.showing(*list) && !target.empty();
            },
            std::chrono::seconds(5)))
        return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    target = atspi_.extents(*item);
    desktop_.click(target.cx(), target.cy());
    return waitUntil([&] { return !atspi_.showing(*list); }, std::chrono::seconds(5));
}

bool OrvexApp::chooseMenu(const std::string& menu, const std::string& item) {
    auto window = mainWindow();
    if (!window)
        return false;
    const auto bar = atspi_.findByRole(*window, "menu bar", "");
    const auto title = bar ? atspi_.findByRole(*bar, "menu item", menu) : std::nullopt;
    if (!title)
        return false;
    const Rect r = atspi_.extents(*title);
    if (r.empty())
        return false;
    desktop_.click(r.cx(), r.cy());
    // The menu pops up; click the item once it is on screen.
    std::optional<Accessible> entry;
    Rect target;
    if (!waitUntil(
            [&] {
                entry = atspi_.findByRole(*title, "menu item", item);
                if (!entry || !atspi_.showing(*entry))
                    return false;
                target = atspi_.extents(*entry);
                return !target.empty();
            },
            std::chrono::seconds(5)))
        return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    target = atspi_.extents(*entry);
    desktop_.click(target.cx(), target.cy());
    return waitUntil([&] { return !atspi_.showing(*entry); }, std::chrono::seconds(5));
}

std::optional<Accessible> OrvexApp::window(const std::string& title,
                                           std::chrono::milliseconds timeout) {
    std::optional<Accessible> found;
    waitUntil(
        [&] {
            if (auto app = application())
                for (const Accessible& top : atspi_.children(*app))
                    if (atspi_.name(top) == title && atspi_.showing(top))
                        found = top;
            return found.has_value();
        },
        timeout);
    return found;
}

std::optional<Accessible> OrvexApp::button(const Accessible& window, const std::string& text) {
    return atspi_.findByRole(window, "push button", text);
}

bool OrvexApp::click(const Accessible& control) {
    const Rect r = atspi_.extents(control);
    if (r.empty() || !atspi_.enabled(control))
        return false;
    desktop_.click(r.cx(), r.cy());
    return true;
}

bool OrvexApp::showsLabel(const Accessible& window, const std::string& text) {
    return atspi_.findByRole(window, "label", text).has_value();
}

std::vector<std::string> OrvexApp::texts(const Accessible& window) {
    std::vector<std::string> out;
    atspi_.find(window, [&](const Accessible& a) {
        if (atspi_.roleName(a) == "text")
            out.push_back(atspi_.text(a));
        return false;
    });
    return out;
}

bool OrvexApp::chooseFile(const std::string& path, std::chrono::milliseconds timeout) {
    // The file dialog: a top-level dialog with an "Open" button and the file
    // name field, which takes the whole path.
    std::optional<Accessible> dialog;
    std::optional<Accessible> open;
    if (!waitUntil(
            [&] {
                auto app = application();
                if (!app)
                    return false;
                for (const Accessible& top : atspi_.children(*app))
                    if (atspi_.roleName(top) == "dialog" && atspi_.showing(top))
                        if (auto b = button(top, "Open")) {
                            dialog = top;
                            open = b;
                        }
                return dialog.has_value();
            },
            timeout))
        return false;
    const auto field = atspi_.find(*dialog, [&](const Accessible& a) {
        return atspi_.roleName(a) == "text" && atspi_.name(a).rfind("File name", 0) == 0;
    });
    if (!field || !atspi_.setText(*field, path) ||
        !waitUntil([&] { return atspi_.enabled(*open); }, std::chrono::seconds(5)) || !click(*open))
        return false;
    return waitUntil([&] { return !atspi_.showing(*dialog); }, std::chrono::seconds(5));
}

std::optional<Accessible> OrvexApp::messageBox() {
    auto app = application();
    if (!app)
        return std::nullopt;
    for (const Accessible& top : atspi_.children(*app)) {
        const std::string role = atspi_.roleName(top);
        // Message boxes only; the program's own windows may be dialogs too.
        if ((role == "alert message" || role == "alert") && atspi_.showing(top))
            return top;
    }
    return std::nullopt;
}

std::optional<OrvexApp::Message> OrvexApp::waitForMessage(std::chrono::milliseconds timeout) {
    std::optional<Accessible> box;
    if (!waitUntil([&] { return (box = messageBox()).has_value(); }, timeout))
        return std::nullopt;
    Message m;
    m.caption = atspi_.name(*box);
    for (const Accessible& c : atspi_.children(*box)) {
        if (atspi_.roleName(c) == "label" && !atspi_.name(c).empty()) {
            m.text = atspi_.name(c);
            break;
        }
    }
    return m;
}

bool OrvexApp::answerMessage(const std::string& button) {
    auto box = messageBox();
    if (!box)
        return false;
    auto b = atspi_.find(*box, [&](const Accessible& a) {
        return atspi_.roleName(a) == "push button" && atspi_.name(a) == button;
    });
    if (!b)
        return false;
    const Rect r = atspi_.extents(*b);
    if (r.empty())
        return false;
    desktop_.click(r.cx(), r.cy());
    return waitUntil([&] { return !messageBox().has_value(); }, std::chrono::seconds(5));
}

std::string OrvexApp::screenshot(const std::string& label) {
    Rect r{0, 0, 1280, 1024};
    if (auto w = mainWindow()) {
        const Rect e = atspi_.extents(*w);
        if (!e.empty())
            r = e;
    }
    const std::string file = options_.outputDir + "/" + label + ".png";
    return desktop_.screenshot(file, r.x, r.y, r.w, r.h) ? file : std::string();
}

void OrvexApp::dump(const Accessible& a, int depth, std::string& out) {
    if (depth > 8)
        return;
    const std::string role = atspi_.roleName(a);
    out += std::string(static_cast<size_t>(depth) * 2, ' ') + role + " '" + atspi_.name(a) + "'";
    if (role == "text")
        out += " text='" + atspi_.text(a) + "'";
    out += atspi_.showing(a) ? "" : " (hidden)";
    out += atspi_.focused(a) ? " (focused)" : "";
    out += "\n";
    if (role == "list")
        return; // list entries are many and say little
    for (const Accessible& c : atspi_.children(a))
        dump(c, depth + 1, out);
}

std::string OrvexApp::describe() {
    std::string out = "--- accessible tree ---\n";
    if (auto app = application())
        dump(*app, 0, out);
    else
        out += "(no application on the accessibility bus: " + atspi_.lastError() + ")\n";
    out += "--- program output ---\n" + output();
    return out;
}

std::string OrvexApp::output() const {
    std::ifstream in(options_.outputDir + "/orvex-config.log");
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string OrvexApp::configFolder() const {
    return desktop_.programEnv().at("XDG_DATA_HOME") + "/HaldenInterface";
}

} // namespace orvex::systest
