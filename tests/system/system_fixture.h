#pragma once

// What the system tests that drive a window share: the test's output folder,
// a private desktop, the umockdev testbed with one emulated keypad, and the
// program under test with a screenshot and its accessible tree on failure.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "desktop_session.h"
#include "hidraw_keypad.h"
#include "orvex_app.h"

namespace orvex::systest {

// build/tests/system/output/<suite>.<test>: screenshots and program output.
inline std::string TestOutputDir() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    return std::string(ORVEX_SYSTEM_OUTPUT) + "/" + info->test_suite_name() + "." + info->name();
}

inline bool EndsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

class WindowSystemTest : public ::testing::Test {
protected:
    // Skips where umockdev cannot work; otherwise a fresh output folder, the
    // desktop (with a window manager when asked) and one keypad, not plugged.
    void SetUpDesktop(bool windowManager = false);
    void TearDown() override;

    // The program run inside the testbed, writing to the output folder.
    OrvexApp::Options programOptions(const char* program = ORVEX_CONFIG_PROGRAM) const;

    DesktopSession desktop;
    std::unique_ptr<Testbed> bed;
    std::unique_ptr<HidrawKeypad> keypad;
    std::unique_ptr<OrvexApp> app;
};

} // namespace orvex::systest
