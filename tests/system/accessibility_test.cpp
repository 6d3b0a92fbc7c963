// The production program as a screen reader and a keyboard-only user meet it:
// every window read through AT-SPI (names, roles, states), and a walk through
// the windows with the keyboard alone.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>

#include "desktop_session.h"
#include "hidraw_keypad.h"
#include "orvex_app.h"
#include "polling.h"
#include "system_fixture.h"

using namespace orvex::systest;
using namespace std::chrono_literals;
using orvex::sim::KeypadModel;

namespace {

// Roles of the controls a user acts on; each must be named.
const std::set<std::string> kActionable = {"push button", "toggle button", "check box", "combo box",
                                           "menu item",   "radio button",  "text",      "link"};

class Accessibility : public WindowSystemTest {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(SetUpDesktop(true));
        if (IsSkipped())
            return;
        // The 16-key layout on its customised table, so that "Customise Code
        // Table" opens the grid editor.
        auto s = KeypadModel::factorySettings();
        s.keypadType = 8;
        keypad->model.setPowerUp(s);
        keypad->model.setRunning(s);
        keypad->model.setOptions(7);
        keypad->model.setVersion("2.1");
        keypad->plug();
        app = std::make_unique<OrvexApp>(desktop, *bed, programOptions());
        std::string why;
        ASSERT_TRUE(app->start(&why)) << why;
    }

    AtSpi& a() { return app->atspi(); }

    Accessible mainWindow() {
        EXPECT_TRUE(app->waitForMainWindow(25s));
        EXPECT_TRUE(waitUntil([&] { return app->enabled("codeTableButton"); }, 10s));
        return app->mainWindowAccessible().value_or(Accessible{});
    }

    // Every showing control a user acts on below `root` has a name of its own.
    void expectEveryControlNamed(const Accessible& root) {
        a().find(root, [&](const Accessible& c) {
            const std::string role = a().roleName(c);
            if (kActionable.count(role) && a().showing(c)) {
                EXPECT_FALSE(a().name(c).empty()) << role << " without a name\n" << app->describe();
            }
            return role == "list"; // a list's entries are named by their texts
        });
    }

    std::optional<Accessible> named(const Accessible& root, const std::string& role,
                                    const std::string& name) {
        return a().findByRole(root, role, name);
    }

    std::optional<Accessible> topLevel(const std::string& name) {
        std::optional<Accessible> found;
        if (auto application = app->applicationAccessible())
            for (const Accessible& top : a().children(*application))
                if (a().showing(top) && (name.empty() || a().name(top) == name))
                    found = top;
        return found;
    }

    std::vector<uint8_t> commands() const {
        std::vector<uint8_t> out;
        for (const auto& c : keypad->model.log())
            out.push_back(c.command);
        return out;
    }
};

TEST_F(Accessibility, SplashAndMainWindowNameEveryControlWhateverItShows) {
    // The splash first: a frame with a name.
    ASSERT_TRUE(waitUntil([&] { return topLevel("").has_value(); }, 20s));
    const Accessible splash = *topLevel("");
    EXPECT_EQ(a().roleName(splash), "frame");
    EXPECT_FALSE(a().name(splash).empty());

    const Accessible window = mainWindow();
    EXPECT_EQ(a().roleName(window), "frame");
    expectEveryControlNamed(window);
    const auto list = named(window, "combo box", "LED brightness");
    ASSERT_TRUE(list.has_value());
    EXPECT_EQ(app->text("ledBrightnessList"), "LED Brightness - 5");
    ASSERT_TRUE(app->pick("ledBrightnessList", "LED Brightness - 7"));
    EXPECT_TRUE(
        waitUntil([&] { return app->text("ledBrightnessList") == "LED Brightness - 7"; }, 5s));
    EXPECT_EQ(a().name(*list), "LED brightness");
    for (const char* name : {"Code table", "Jack LED brightness", "Buzzer", "Buzzer period"})
        EXPECT_TRUE(named(window, "combo box", name).has_value()) << name;
    const auto panel = named(window, "text", "Keypad status");
    ASSERT_TRUE(panel.has_value());
    EXPECT_EQ(a().text(*panel).rfind("Device Connected", 0), 0u);
    EXPECT_TRUE(named(window, "status bar", "Status strip").has_value());
}

TEST_F(Accessibility, EditorKeysTellTheirNumberCodeAndMark) {
    mainWindow();
    ASSERT_TRUE(app->click("codeTableButton"));
    const auto editor = app->window("Customise 16 Way Keypad Table", 10s);
    ASSERT_TRUE(editor.has_value());
    EXPECT_EQ(a().roleName(*editor), "dialog");
    auto key3 = named(*editor, "check box", "Key 3: 0x06, None");
    ASSERT_TRUE(key3.has_value()) << app->describe();
    EXPECT_FALSE(a().checked(*key3));
    ASSERT_TRUE(app->click(*key3));
    ASSERT_TRUE(waitUntil([&] { return a().name(*key3) == "Key 3: 0x06, None, marked"; }, 5s))
        << a().name(*key3);
    EXPECT_TRUE(a().checked(*key3));
    EXPECT_TRUE(named(*editor, "check box", "Key 3 modifier: None").has_value());
    const auto codes = named(*editor, "combo box", "Key code");
    ASSERT_TRUE(codes.has_value());
    EXPECT_TRUE(a().showing(*codes));
    EXPECT_EQ(a().description(*codes), "Select Code"); // its placeholder
    expectEveryControlNamed(*editor);
}

TEST_F(Accessibility, SelfTestTellsEachPhaseAndKeyAsTextAndState) {
    mainWindow();
    ASSERT_TRUE(app->click("selfTestButton"));
    ASSERT_TRUE(app->waitForMessage(10s).has_value()); // the microphone question
    ASSERT_TRUE(app->answerMessage("No"));
    const auto test = app->window("Self Test", 10s);
    ASSERT_TRUE(test.has_value());
    EXPECT_EQ(a().roleName(*test), "dialog");
    const auto led = named(*test, "check box", "LED test");
    const auto buzzer = named(*test, "check box", "Buzzer test");
    ASSERT_TRUE(led && buzzer);
    EXPECT_EQ(a().description(*buzzer), "Waiting");
    // The LED phase takes four seconds of flashing.
    ASSERT_TRUE(waitUntil([&] { return a().checked(*led); }, 15s));
    EXPECT_EQ(a().description(*led), "Passed");
    expectEveryControlNamed(*test);
    const auto key2 = named(*test, "check box", "Key 2");
    ASSERT_TRUE(key2.has_value());
    EXPECT_FALSE(a().checked(*key2));
    EXPECT_EQ(a().description(*key2), "Not pressed yet");
}

TEST_F(Accessibility, AboutTextIsReadOnlyAndNamed) {
    mainWindow();
    desktop.key("h", {"Alt_L"});
    desktop.key("a");
    const auto about = app->window("About Orvex\u2122 Illuminated  Configuration Utility", 10s);
    ASSERT_TRUE(about.has_value());
    EXPECT_EQ(a().roleName(*about), "dialog");
    expectEveryControlNamed(*about);
    // Read-only text: a label to assistive technology, its links reachable.
    const auto text = named(*about, "label", "About this utility");
    ASSERT_TRUE(text.has_value());
    EXPECT_NE(a().text(*text).find("support@"), std::string::npos);
    a().setText(*text, "changed");
    EXPECT_TRUE(
        waitUntil([&] { return a().text(*text).find("support@") != std::string::npos; }, 5s))
        << "the about text changed";
}

// Keyboard only: the menus by their mnemonics, the self test's Close by Alt+C
// (its other keys are the keypad's), Escape closing the about box and an editor, and Down on a
// closed code list changing nothing.
TEST_F(Accessibility, KeyboardAloneReachesEveryWindow) {
    const Accessible window = mainWindow();
    const Rect place = a().extents(window);
    desktop.click(place.x + place.w - 20, place.y + place.h - 40); // the window takes the keyboard

    // File > Import by mnemonics: the file dialog opens; Escape cancels it.
    desktop.key("f", {"Alt_L"});
    desktop.key("i");
    std::optional<Accessible> dialog;
    ASSERT_TRUE(waitUntil(
        [&] {
            dialog = topLevel("");
            return dialog && a().roleName(*dialog) == "dialog";
        },
        10s))
        << app->describe();
    desktop.key("Escape");
    ASSERT_TRUE(waitUntil([&] { return !a().showing(*dialog); }, 5s));

    // Help > About; Escape closes it.
    desktop.key("h", {"Alt_L"});
    desktop.key("a");
    const auto about = app->window("About Orvex\u2122 Illuminated  Configuration Utility", 10s);
    ASSERT_TRUE(about.has_value());
    desktop.key("Escape");
    ASSERT_TRUE(waitUntil([&] { return !a().showing(*about); }, 5s));

    // Tab in reading order to "Test Orvex™" (after the five lists); Enter opens it.
    ASSERT_TRUE(waitUntil([&] { return a().focused(*app->control("scanButton")); }, 5s));
    for (int i = 0; i < 6; ++i)
        desktop.key("Tab");
    ASSERT_TRUE(waitUntil([&] { return a().focused(*app->control("selfTestButton")); }, 5s))
        << app->describe();
    desktop.key("Return");
    ASSERT_TRUE(app->waitForMessage(10s).has_value());
    desktop.key("n"); // No microphone
    const auto test = app->window("Self Test", 10s);
    ASSERT_TRUE(test.has_value());
    const auto close = app->button(*test, "Close");
    ASSERT_TRUE(close.has_value());
    // Every other key is the keypad's: Return, Space and Escape press nothing.
    for (const char* key : {"Tab", "Return", "space", "Escape"})
        desktop.key(key);
    std::this_thread::sleep_for(1s);
    ASSERT_TRUE(a().showing(*test));
    keypad->model.clearLog();
    desktop.key("c", {"Alt_L"});
    ASSERT_TRUE(waitUntil([&] { return !a().showing(*test); }, 15s));
    // Closed with the restore: keypad type, buzzer period, LED brightness.
    const auto sent = commands();
    ASSERT_GE(sent.size(), 3u);
    EXPECT_EQ(std::vector<uint8_t>(sent.end() - 3, sent.end()), (std::vector<uint8_t>{7, 6, 2}));

    // The editor: Space marks key 1, Tab reaches the code list, Down on the
    // closed list only opens it, Escape closes it and then the editor.
    ASSERT_TRUE(app->click("codeTableButton"));
    const auto editor = app->window("Customise 16 Way Keypad Table", 10s);
    ASSERT_TRUE(editor.has_value());
    const auto key1 = named(*editor, "check box", "Key 1: 0x04, None");
    ASSERT_TRUE(key1.has_value());
    desktop.key("Tab"); // from modifier 1 to key 1
    ASSERT_TRUE(waitUntil([&] { return a().focused(*key1); }, 5s)) << app->describe();
    desktop.key("space");
    ASSERT_TRUE(waitUntil([&] { return a().checked(*key1); }, 5s));
    desktop.key("Tab");
    const auto codes = named(*editor, "combo box", "Key code");
    ASSERT_TRUE(codes.has_value());
    ASSERT_TRUE(waitUntil([&] { return a().focused(*codes); }, 5s)) << app->describe();
    keypad->model.clearLog();
    desktop.key("Down");
    const Accessible popup = a().children(*codes).at(0);
    EXPECT_TRUE(waitUntil([&] { return a().showing(popup); }, 5s)) << "Down did not open the list";
    EXPECT_EQ(a().name(*key1), "Key 1: 0x04, None, marked");
    desktop.key("Escape"); // the open list
    EXPECT_TRUE(waitUntil([&] { return !a().showing(popup); }, 5s));
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(a().showing(*editor));
    desktop.key("Escape");
    ASSERT_TRUE(waitUntil([&] { return !a().showing(*editor); }, 5s));
    EXPECT_TRUE(commands().empty()) << "the editor sent something";
}

} // namespace

// At twice the pixel density the main window no longer fits a 1280 x 1024
// screen at its designed size: it scrolls, and its frame, title bar included,
// stays on the screen, so the window manager can still move it.
TEST_F(Accessibility, AtTwiceThePixelDensityTheTitleBarStaysOnScreen) {
    mainWindow();
    app.reset();
    OrvexApp::Options o = programOptions();
    o.env["QT_SCALE_FACTOR"] = "2";
    app = std::make_unique<OrvexApp>(desktop, *bed, o);
    std::string why;
    ASSERT_TRUE(app->start(&why)) << why;
    ASSERT_TRUE(app->waitForMainWindow(25s));
    const auto window = app->mainWindowAccessible();
    ASSERT_TRUE(window.has_value());
    Rect r;
    // Placed, framed and, when it moved, reported again.
    ASSERT_TRUE(waitUntil(
        [&] {
            r = a().extents(*window);
            return !r.empty() && r.y > 0;
        },
        10s))
        << r.x << "," << r.y;
    EXPECT_GE(r.x, 0);
    EXPECT_GE(r.y, 16) << "room for the title bar above the window";
    EXPECT_LE(r.x + r.w, 1280);
    EXPECT_LE(r.y + r.h, 1024);
    app->screenshot("twice-the-density");
}
