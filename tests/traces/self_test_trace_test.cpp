// The self-test run: recorded from the virtual keypad by this program and
// replayed by it without the keypad. ORVEX_RECORD_TRACES=1 records
// self_test_run.jsonl again instead of replaying it.

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QCoreApplication>
#include <QPushButton>
#include <QThread>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>

#include <sys/resource.h>

#include "device/hid_link.h"
#include "test_env.h"
#include "trace/hid_trace.h"
#include "trace_replay.h"
#include "ui/main/recording_warning.h"
#include "ui/selftest/self_test_window.h"

using namespace orvex;

namespace {

bool waitUntil(const std::function<bool()>& done) {
    for (int i = 0; i < 30000 && !done(); ++i) {
        QCoreApplication::processEvents();
        QThread::msleep(1);
    }
    return done();
}

class SelfTestTrace : public test::VirtualEnvTest {};

} // namespace

TEST_F(SelfTestTrace, WholeRunReplays) {
    const std::string file = ORVEX_TRACES_DIR "/self_test_run.jsonl";
    const bool record = std::getenv("ORVEX_RECORD_TRACES") != nullptr;
    std::string error;
    if (record) {
        plugKeypad();
        ASSERT_TRUE(trace::Start(file, false, error)) << error;
    } else {
        ASSERT_TRUE(sim::TraceReplay::start(file, error)) << error;
    }
    ASSERT_TRUE(RescanForDevice());
    prompts.answerNo(); // no microphone
    {
        SelfTestWindow window;
        window.show();
        // Every phase before the keys, then the key phase's message.
        ASSERT_TRUE(waitUntil([&] { return prompts.messages().size() == 2; }));
        EXPECT_TRUE(window.ledCheckBox->isChecked());
        EXPECT_TRUE(window.brightnessCheckBox->isChecked());
        EXPECT_TRUE(window.buzzerCheckBox->isChecked());
        window.closeButton->click();
        ASSERT_TRUE(waitUntil([&] { return !window.isVisible() && !window.testRunning(); }));
    }
    CloseDevice();
    if (record) {
        trace::Stop(0);
        return;
    }
    const sim::TraceReplay* replay = sim::TraceReplay::active();
    EXPECT_FALSE(replay->diverged());
    EXPECT_EQ(replay->summary(), "");
    EXPECT_EQ(prompts.messages().size(), 2u); // nothing failed on the way
    sim::TraceReplay::stop();
}

// A recording that can no longer be written (its file grows past a size
// limit while the self test's worker is sending) is told once, on the
// window's thread; the self test goes on as if nothing happened.
TEST_F(SelfTestTrace, RecordingThatStopsIsToldOnce) {
    plugKeypad();
    const std::string file = ::testing::TempDir() + "orvex-limited-trace.jsonl";
    std::string error;
    ASSERT_TRUE(trace::Start(file, false, error)) << error;
    WarnWhenRecordingFails(QCoreApplication::instance());
    rlimit saved{};
    ::getrlimit(RLIMIT_FSIZE, &saved);
    const auto handler = std::signal(SIGXFSZ, SIG_IGN);
    const rlimit small{static_cast<rlim_t>(std::filesystem::file_size(file)) + 600, saved.rlim_max};
    ::setrlimit(RLIMIT_FSIZE, &small);

    ASSERT_TRUE(RescanForDevice());
    prompts.answerNo(); // no microphone
    const std::string warning =
        "The session recording stopped: cannot write the trace " + file + ": File too large..\n";
    auto warnings = [&] {
        const auto texts = prompts.texts();
        return std::count(texts.begin(), texts.end(), warning);
    };
    {
        SelfTestWindow window;
        window.show();
        ASSERT_TRUE(waitUntil([&] { return prompts.messages().size() == 3; }));
        EXPECT_TRUE(window.ledCheckBox->isChecked());
        EXPECT_TRUE(window.buzzerCheckBox->isChecked());
        window.closeButton->click();
        ASSERT_TRUE(waitUntil([&] { return !window.isVisible() && !window.testRunning(); }));
    }
    CloseDevice();
    trace::Stop(0);
    QCoreApplication::processEvents();
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, handler);
    StopWarningWhenRecordingFails();
    EXPECT_EQ(warnings(), 1);
    EXPECT_EQ(trace::WriteFailure(), "cannot write the trace " + file + ": File too large");
    std::filesystem::remove(file);
}
