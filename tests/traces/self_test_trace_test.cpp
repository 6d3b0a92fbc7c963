// The self-test run: recorded from the virtual keypad by this program and
// replayed by it without the keypad. ORVEX_RECORD_TRACES=1 records
// self_test_run.jsonl again instead of replaying it.

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QCoreApplication>
#include <QPushButton>
#include <QThread>

#include <cstdlib>
#include <functional>

#include "device/hid_link.h"
#include "test_env.h"
#include "trace/hid_trace.h"
#include "trace_replay.h"
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
