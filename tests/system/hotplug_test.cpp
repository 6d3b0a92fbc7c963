// The window follows the keypad as the desktop does: the production program on
// the real hidapi and libudev against the emulated keypad plugged in and out,
// the virtual program through its "Virtual keypad" menu, and one window per
// user. Also times the arrival of a keypad to its values in the panel.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

#include "child_process.h"
#include "desktop_session.h"
#include "hidraw_keypad.h"
#include "orvex_app.h"
#include "polling.h"
#include "system_fixture.h"

using namespace orvex::systest;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

const std::string kNotConnected = "Halden Orvex\u2122 not connected..\n";
const std::string kUnpluggedLine = "The keypad was unplugged.";
const std::string kPanelEnd = "Serial Number          -    OVX000123456";
const std::string kNonePanelEnd = "Serial Number          -    None";

class HotplugSystem : public WindowSystemTest {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(SetUpDesktop());
        if (!IsSkipped())
            keypad->model.setOptions(7); // every device control follows the connection
    }
    // Starts a program with no keypad attached: its start-up warns once.
    void launchWithoutKeypad(OrvexApp::Options o) {
        app = std::make_unique<OrvexApp>(desktop, *bed, std::move(o));
        std::string why;
        ASSERT_TRUE(app->start(&why)) << why;
        const auto warning = app->waitForMessage(25s);
        ASSERT_TRUE(warning.has_value());
        EXPECT_EQ(warning->text, kNotConnected);
        ASSERT_TRUE(app->answerMessage("OK"));
        ASSERT_TRUE(app->waitForMainWindow(10s));
        EXPECT_TRUE(EndsWith(app->text("statusPanel"), kNonePanelEnd));
    }
    bool showsKeypad() { return EndsWith(app->text("statusPanel"), kPanelEnd); }
    bool showsNone() { return EndsWith(app->text("statusPanel"), kNonePanelEnd); }
    // The keypad comes back or leaves, and the window has followed it.
    void expectFollowedOut() {
        ASSERT_TRUE(waitUntil([&] { return showsNone(); }, 5s)) << app->text("statusPanel");
        EXPECT_TRUE(waitUntil([&] { return app->text("statusBar") == kUnpluggedLine; }, 2s))
            << app->text("statusBar");
        for (const char* name : {"keypadTypeList", "ledBrightnessList", "saveChangesButton",
                                 "factoryResetButton", "selfTestButton"})
            EXPECT_FALSE(app->enabled(name)) << name;
        EXPECT_FALSE(app->waitForMessage(0ms).has_value()) << "a box for an unplug";
    }

    // Plugs the keypad in and returns the milliseconds until the keypad has
    // been asked for its status (seen by the emulated keypad itself) and until
    // the panel shows its values (seen through the accessibility bus, whose
    // round trips add their own few milliseconds).
    std::pair<double, double> timeArrival() {
        keypad->model.clearLog();
        const auto start = Clock::now();
        const auto since = [&] {
            return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        };
        keypad->plug();
        lastPlugMs = since();
        double read = 1e9;
        while (Clock::now() - start < 5s) {
            if (!keypad->model.log().empty()) {
                read = since();
                break;
            }
            std::this_thread::sleep_for(1ms);
        }
        double shown = 1e9;
        while (Clock::now() - start < 5s) {
            if (showsKeypad()) {
                shown = since();
                break;
            }
            std::this_thread::sleep_for(2ms);
        }
        return {read, shown};
    }

    // How long the emulation itself took to plug the keypad in (nodes, sysfs
    // entries, uevents) at the last timeArrival.
    double lastPlugMs = 0;
};

// Start with no keypad and plug one in: the panel leaves "None" by itself,
// within a second. Unplugged: the not-connected form and its status-strip
// line, no box. Plugged back: a pick reaches the keypad. The plug-ins are
// timed for BENCHMARKS.md, from the start of the emulated plug-in (its nodes,
// sysfs entries and, last, the "add" uevents) and from its end.
TEST_F(HotplugSystem, RealProgramFollowsTheKeypadInAndOut) {
    launchWithoutKeypad(programOptions(ORVEX_CONFIG_PROGRAM));
    constexpr int kRuns = 7;
    std::vector<double> plugs, panels, readsAfterAdd, panelsAfterAdd;
    for (int i = 0; i < kRuns; ++i) {
        const auto [read, shown] = timeArrival();
        plugs.push_back(lastPlugMs);
        panels.push_back(shown);
        readsAfterAdd.push_back(read - lastPlugMs);
        panelsAfterAdd.push_back(shown - lastPlugMs);
        EXPECT_LT(shown, 1000.0) << "arrival to panel values";
        EXPECT_EQ(keypad->opens(1), i + 1);
        EXPECT_EQ(keypad->model.log().size(), 1u) << "one status read";
        EXPECT_TRUE(app->enabled("factoryResetButton"));
        EXPECT_FALSE(app->waitForMessage(0ms).has_value());
        if (i == 0)
            app->screenshot("plugged-in");
        keypad->unplug();
        ASSERT_NO_FATAL_FAILURE(expectFollowedOut());
        if (i == 0)
            app->screenshot("unplugged");
    }
    const auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    const auto max = [](const std::vector<double>& v) {
        return *std::max_element(v.begin(), v.end());
    };
    std::cout << "over " << kRuns << " plug-ins, median / max in ms:\n"
              << "  start of plug-in to panel values: " << median(panels) << " / " << max(panels)
              << "\n  the emulated plug-in itself:      " << median(plugs) << " / " << max(plugs)
              << "\n  last add to status read:          " << median(readsAfterAdd) << " / "
              << max(readsAfterAdd)
              << "\n  last add to panel values:         " << median(panelsAfterAdd) << " / "
              << max(panelsAfterAdd) << "\n";
    RecordProperty("arrival_to_panel_median_ms", std::to_string(median(panels)));

    keypad->plug();
    ASSERT_TRUE(waitUntil([&] { return showsKeypad(); }, 5s)) << app->text("statusPanel");
    keypad->model.clearLog();
    ASSERT_TRUE(app->pick("ledBrightnessList", "LED Brightness - 8"));
    ASSERT_TRUE(waitUntil([&] { return keypad->model.log().size() == 1; }, 5s));
    EXPECT_EQ(keypad->model.log()[0].command, 2);
    EXPECT_EQ(keypad->model.running().ledBrightness, 8);
    EXPECT_EQ(keypad->opens(0), 0) << "the keyboard interface must not be opened";
}

// The virtual program, started with its keypad unplugged, through its
// "Virtual keypad" menu: the same steps as with a real keypad.
TEST_F(HotplugSystem, VirtualProgramUnplugsAndPlugsItsKeypadFromItsMenu) {
    auto o = programOptions(ORVEX_CONFIG_VIRTUAL_PROGRAM);
    o.env["ORVEX_VIRTUAL_UNPLUGGED"] = "1";
    launchWithoutKeypad(o);

    ASSERT_TRUE(app->chooseMenu("Virtual keypad", "Plug In Keypad"));
    ASSERT_TRUE(waitUntil([&] { return showsKeypad(); }, 5s)) << app->text("statusPanel");
    EXPECT_TRUE(app->enabled("factoryResetButton"));

    ASSERT_TRUE(app->chooseMenu("Virtual keypad", "Unplug Keypad"));
    ASSERT_TRUE(waitUntil([&] { return showsNone(); }, 5s)) << app->text("statusPanel");
    EXPECT_EQ(app->text("statusBar"), kUnpluggedLine);
    EXPECT_FALSE(app->waitForMessage(0ms).has_value());

    ASSERT_TRUE(app->chooseMenu("Virtual keypad", "Plug In Keypad"));
    ASSERT_TRUE(waitUntil([&] { return showsKeypad(); }, 5s));
    ASSERT_TRUE(app->pick("ledBrightnessList", "LED Brightness - 8"));
    // Read back from the keypad: it holds what was picked.
    ASSERT_TRUE(app->click("scanButton"));
    EXPECT_TRUE(
        waitUntil([&] { return app->text("ledBrightnessList") == "LED Brightness - 8"; }, 5s));
    EXPECT_FALSE(app->waitForMessage(0ms).has_value());
}

// A second orvex-config brings the first one's window to the front and ends,
// so two windows never share one keypad.
TEST_F(HotplugSystem, SecondProgramHandsOverToTheFirstAndEnds) {
    keypad->plug();
    app = std::make_unique<OrvexApp>(desktop, *bed, programOptions(ORVEX_CONFIG_PROGRAM));
    std::string why;
    ASSERT_TRUE(app->start(&why)) << why;
    ASSERT_TRUE(app->waitForMainWindow(25s));

    ChildProcess second;
    ChildProcess::Options o;
    o.argv = {ORVEX_CONFIG_PROGRAM};
    o.env = bed->programEnv(ORVEX_FSTAT_SHIM);
    for (const auto& [k, v] : desktop.programEnv())
        o.env[k] = v;
    o.logFile = TestOutputDir() + "/second.log";
    ASSERT_TRUE(second.start(o, &why)) << why;
    EXPECT_EQ(second.waitExit(10000), 0);
    std::ifstream log(o.logFile);
    std::stringstream text;
    text << log.rdbuf();
    EXPECT_NE(text.str().find("already running"), std::string::npos) << text.str();
    EXPECT_EQ(keypad->opens(1), 1) << "the second program opened the keypad";
    EXPECT_TRUE(app->running());
    EXPECT_TRUE(showsKeypad());
}

} // namespace
