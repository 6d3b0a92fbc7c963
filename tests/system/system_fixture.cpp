#include "system_fixture.h"

#include <filesystem>
#include <iostream>

namespace orvex::systest {

void WindowSystemTest::SetUpDesktop(bool windowManager) {
    std::string why;
    if (!UmockdevWorks(ORVEX_FSTAT_SHIM, &why)) {
        GTEST_SKIP() << "umockdev cannot run here: " << why;
    }
    std::filesystem::remove_all(TestOutputDir());
    std::filesystem::create_directories(TestOutputDir());
    // Socket paths must stay short: the desktop lives in the temporary folder.
    ASSERT_TRUE(desktop.start(std::filesystem::temp_directory_path().string(), &why)) << why;
    if (windowManager) {
        ASSERT_TRUE(desktop.startWindowManager(&why)) << why;
    }
    bed = std::make_unique<Testbed>();
    keypad = std::make_unique<HidrawKeypad>(*bed);
}

void WindowSystemTest::TearDown() {
    if (HasFailure() && app) {
        app->screenshot("failure");
        std::cerr << app->describe();
    }
    app.reset();
    keypad.reset();
    bed.reset();
    desktop.stop();
}

OrvexApp::Options WindowSystemTest::programOptions(const char* program) const {
    OrvexApp::Options o;
    o.program = program;
    o.fstatShim = ORVEX_FSTAT_SHIM;
    o.outputDir = TestOutputDir();
    return o;
}

} // namespace orvex::systest
