// The self-test window against the virtual keypad, headless and in virtual
// time: its worker's waits cost nothing, and every display change it hands to
// the window waits until the test loop processes events.

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPalette>
#include <QPointer>
#include <QPushButton>
#include <QStyle>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <cmath>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "device/device_commands.h"
#include "device/hid_link.h"
#include "platform/qt_prompter.h"
#include "test_env.h"
#include "ui/main/main_window.h"
#include "ui/selftest/self_test_window.h"

using namespace orvex;

namespace {

using Sent = std::pair<uint8_t, std::vector<uint8_t>>;

const QColor kGrey(128, 128, 128);
const QColor kLightGreen(144, 238, 144);
const QColor kBlue(0, 0, 255);
const QColor kWhite(255, 255, 255);
const QColor kRed(255, 0, 0);

// Virtual time like VirtualClock, plus a record of the worker's waits and a
// hook called on every sleep (with whether it is the GUI thread sleeping).
class HookClock final : public Clock {
public:
    std::function<void(uint32_t ms, bool gui)> hook;
    // Real time each 10 ms poll of an exchange also takes, so that exchanges
    // of two threads get the chance to overlap.
    std::atomic<int> realPollMicroseconds{0};

    void sleep_ms(uint32_t ms) override {
        now_ += ms;
        const bool gui = std::this_thread::get_id() == gui_;
        {
            std::lock_guard lock(m_);
            auto& list = gui ? guiSleeps_ : workerSleeps_;
            if (list.size() < 200)
                list.push_back(ms);
        }
        if (hook)
            hook(ms, gui);
        if (ms == POLL_INTERVAL_MS && realPollMicroseconds > 0)
            std::this_thread::sleep_for(std::chrono::microseconds(realPollMicroseconds.load()));
        else
            std::this_thread::yield();
    }
    uint64_t tick_ms() override { return now_.load(); }

    std::vector<uint32_t> workerSleeps() const {
        std::lock_guard lock(m_);
        return workerSleeps_;
    }
    std::vector<uint32_t> guiSleeps() const {
        std::lock_guard lock(m_);
        return guiSleeps_;
    }

private:
    std::thread::id gui_ = std::this_thread::get_id();
    std::atomic<uint64_t> now_{1000};
    mutable std::mutex m_;
    std::vector<uint32_t> workerSleeps_;
    std::vector<uint32_t> guiSleeps_;
};

// Runs the event loop until `done` holds, for at most about 30 s of real time.
bool waitUntil(const std::function<bool()>& done) {
    for (int i = 0; i < 30000; ++i) {
        if (done())
            return true;
        QCoreApplication::processEvents();
        QThread::msleep(1);
    }
    return done();
}

void press(QWidget* target, int key, quint32 nativeScanCode = 0) {
    QKeyEvent e(QEvent::KeyPress, key, Qt::NoModifier, nativeScanCode, 0, 0);
    QApplication::sendEvent(target, &e);
}

QColor colourOf(const QPushButton* b) {
    return b->palette().color(QPalette::Button);
}

std::vector<Sent> phaseCommands(uint8_t ledBrightness) {
    std::vector<Sent> out;
    for (int i = 0; i < 4; ++i) {
        out.push_back({SetLedBrightness, {0}});
        out.push_back({SetLedBrightness, {8}});
    }
    out.push_back({SetLedBrightness, {0}});
    for (uint8_t level = 0; level <= 9; ++level)
        out.push_back({SetLedBrightness, {level}});
    out.push_back({SetLedBrightness, {0}});
    out.push_back({SetLedBrightness, {ledBrightness}});
    for (uint8_t v = 0; v <= 9; ++v)
        out.push_back({StatusBuzzer, {v}});
    out.push_back({SetKeypadType, {0}});
    return out;
}

class SelfTestTest : public test::KeypadTest {
protected:
    HookClock hookClock;
    std::unique_ptr<SelfTestWindow> window;

    // The keypad's settings at the start of each test.
    static constexpr uint8_t kLed = 6;
    static constexpr uint8_t kPeriod = 4;
    static constexpr uint8_t kType = 1;

    void SetUp() override {
        test::KeypadTest::SetUp();
        setClock(&hookClock);
        auto s = keypad->model.running();
        s.ledBrightness = kLed;
        s.buzzerPeriod = kPeriod;
        s.keypadType = kType;
        keypad->model.setRunning(s);
        keypad->model.clearLog();
    }
    void TearDown() override {
        window.reset();
        SelfTestWindow::setRecorderFactory(nullptr);
        test::KeypadTest::TearDown();
    }

    // A 16-key status only fits one report with a version of at most three
    // characters.
    void useSixteenKeys() {
        keypad->model.setVersion("2.1");
        ASSERT_EQ(SendDeviceCommandByte(SetKeypadType, 7), LINK_OK);
    }
    void open() {
        window = std::make_unique<SelfTestWindow>();
        window->show();
    }
    bool closed() const { return !window->isVisible() && !window->testRunning(); }
    // With real dialogs: opens the window, answers No to the microphone question
    // (a modal box on this thread) and waits for the key phase's message.
    QPointer<QMessageBox> openUntilKeyPhaseMessage() {
        QTimer::singleShot(0, [] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()))
                box->button(QMessageBox::No)->click();
        });
        open();
        QPointer<QMessageBox> box;
        const bool shown = waitUntil([&] {
            box = window->findChild<QMessageBox*>("keyPhaseMessage");
            return box && box->isVisible();
        });
        return shown ? box : nullptr;
    }

    std::vector<Sent> sent() const {
        std::vector<Sent> out;
        for (const auto& c : keypad->model.log())
            out.push_back({c.command, c.payload});
        return out;
    }
    std::vector<Sent> restore() const {
        return {{SetKeypadType, {kType}}, {SetBuzzerPeriod, {kPeriod}}, {SetLedBrightness, {kLed}}};
    }
    // The commands of a run that stopped after the phase command `last`
    // (index into phaseCommands), then the restore.
    std::vector<Sent> stoppedAfter(size_t last) const {
        std::vector<Sent> out{{GetStatus, {}}};
        const auto phases = phaseCommands(kLed);
        out.insert(out.end(), phases.begin(), phases.begin() + static_cast<long>(last) + 1);
        const auto r = restore();
        out.insert(out.end(), r.begin(), r.end());
        return out;
    }
    std::vector<bool> ticks() const {
        return {window->ledCheckBox->isChecked(), window->brightnessCheckBox->isChecked(),
                window->buzzerCheckBox->isChecked()};
    }
    std::vector<int> visibleIndicators() const {
        std::vector<int> out;
        for (size_t i = 0; i < window->keyButtons.size(); ++i)
            if (window->keyButtons[i]->isVisible())
                out.push_back(static_cast<int>(i) + 1);
        return out;
    }
    // Calls `action` once on the GUI thread, during the 80 ms hold that
    // follows `label` showing `text`: the worker is waiting on that hand-off.
    void onHold(QLabel* label, const QString& text, std::function<void()> action) {
        auto fired = std::make_shared<bool>(false);
        hookClock.hook = [label, text, action, fired](uint32_t ms, bool gui) {
            if (gui && ms == 80 && !*fired && label->text() == text) {
                *fired = true;
                action();
            }
        };
    }
};

} // namespace

TEST_F(SelfTestTest, WholeRunSendsEachPhaseTicksAndRestores) {
    prompts.answerNo();
    open();
    EXPECT_EQ(window->windowTitle(), "Self Test");
    EXPECT_EQ(window->size(), QSize(735, 481));
    EXPECT_EQ(window->brightnessLabel->text(), "6");
    EXPECT_EQ(window->buzzerLabel->text(), "4");
    EXPECT_TRUE(window->recordButton->isHidden());
    ASSERT_TRUE(waitUntil([&] { return sent().size() >= 33; }));

    // Key phase: everything before it ticked, each row lit.
    EXPECT_EQ(ticks(), (std::vector<bool>{true, true, true}));
    EXPECT_EQ(window->brightnessLabel->text(), "9");
    EXPECT_EQ(window->buzzerLabel->text(), "9");
    for (QLabel* l : {window->ledTestLabel, window->brightnessLabel, window->buzzerLabel})
        EXPECT_EQ(l->palette().color(QPalette::Window), kLightGreen);
    EXPECT_FALSE(window->ledTestLabel->isEnabled());
    const auto messages = prompts.messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].text, "Does Orvex have microphone support?\n");
    EXPECT_EQ(messages[0].caption, "HaldenOrvexUtility");
    EXPECT_EQ(messages[0].buttons, MsgButtons::YesNo);
    EXPECT_EQ(messages[0].icon, MsgIcon::Warning);
    EXPECT_EQ(messages[1].text, "Press each key  on Orvex\u2122... \n");
    EXPECT_EQ(messages[1].caption, "Orvex\u2122 Keypad");
    EXPECT_EQ(messages[1].icon, MsgIcon::Warning);
    EXPECT_EQ(keypad->model.running().keypadType, 0);

    press(window.get(), Qt::Key_F17);
    EXPECT_EQ(colourOf(window->keyButtons[1]), kBlue);

    window->closeButton->click();
    EXPECT_FALSE(window->closeButton->isEnabled());
    ASSERT_TRUE(waitUntil([&] { return closed(); }));

    std::vector<Sent> expected{{GetStatus, {}}};
    for (const auto& c : phaseCommands(kLed))
        expected.push_back(c);
    for (const auto& c : restore())
        expected.push_back(c);
    EXPECT_EQ(sent(), expected);
    const auto held = keypad->model.running();
    EXPECT_EQ(held.keypadType, kType);
    EXPECT_EQ(held.buzzerPeriod, kPeriod);
    EXPECT_EQ(held.ledBrightness, kLed);
    EXPECT_EQ(prompts.messages().size(), 2u);

    // The worker's waits: 500 ms after each LED command, pauses growing by
    // 150 ms in the buzzer phase (6750 ms in all), then 100 ms steps.
    std::vector<uint32_t> waits(18, 500);
    uint32_t buzzerTotal = 0;
    for (uint32_t p = 0; p <= 1350; p += 150) {
        waits.push_back(p);
        buzzerTotal += p;
    }
    EXPECT_EQ(buzzerTotal, 6750u);
    const auto slept = hookClock.workerSleeps();
    ASSERT_GT(slept.size(), waits.size());
    EXPECT_EQ(std::vector<uint32_t>(slept.begin(), slept.begin() + 28), waits);
    for (size_t i = 28; i < slept.size(); ++i)
        EXPECT_EQ(slept[i], 100u) << i;
    // One 80 ms hold per value shown and per tick, on the window's thread.
    const auto held80 = hookClock.guiSleeps();
    EXPECT_EQ(std::count(held80.begin(), held80.end(), 80u), 23);
}

TEST_F(SelfTestTest, CloseDuringBrightnessPhaseStopsAfterThatLevel) {
    open();
    onHold(window->brightnessLabel, "3", [this] { window->closeButton->click(); });
    ASSERT_TRUE(waitUntil([&] { return closed(); }));
    // LED phase (9 commands), then levels 0 to 3, then the restore in order.
    EXPECT_EQ(sent(), stoppedAfter(9 + 3));
    EXPECT_EQ(ticks(), (std::vector<bool>{true, false, false}));
    EXPECT_EQ(window->buzzerLabel->text(), "4");
    EXPECT_EQ(keypad->model.running().ledBrightness, kLed);
    // The wait after level 3 was still served.
    EXPECT_EQ(hookClock.workerSleeps().size(), 8u + 4u);
}

TEST_F(SelfTestTest, FrameCloseDuringAPhaseEndsLikeClose) {
    open();
    bool stillShown = false;
    onHold(window->buzzerLabel, "5", [&] {
        window->close();
        stillShown = window->isVisible();
    });
    ASSERT_TRUE(waitUntil([&] { return closed(); }));
    EXPECT_TRUE(stillShown);
    EXPECT_EQ(sent(), stoppedAfter(21 + 5));
    EXPECT_EQ(ticks(), (std::vector<bool>{true, true, false}));
    EXPECT_EQ(keypad->model.running().keypadType, kType);
}

TEST_F(SelfTestTest, RefusedCommandEndsTheTestInEachPhase) {
    // Index into phaseCommands of the command the keypad refuses, and the
    // boxes ticked afterwards.
    const struct {
        size_t failing;
        std::vector<bool> ticked;
    } cases[] = {
        {1, {false, false, false}},    // LED 8 in the first flash
        {8, {false, false, false}},    // LED 0 closing the LED phase
        {9 + 4, {true, false, false}}, // brightness level 4
        {21 + 7, {true, true, false}}, // buzzer value 7
        {31, {true, true, true}},      // keypad type 0 for the key phase
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.failing);
        keypad->model.clearLog();
        // Refuse the command once the ones before it have arrived: there is
        // always a wait between two commands of the worker.
        const size_t before = c.failing + 1; // GetStatus comes first
        auto injected = std::make_shared<std::atomic<bool>>(false);
        hookClock.hook = [this, before, injected](uint32_t, bool) {
            bool no = false;
            if (!*injected && keypad->model.log().size() == before &&
                injected->compare_exchange_strong(no, true))
                keypad->model.injectFault({sim::Fault::Refuse});
        };
        open();
        ASSERT_TRUE(waitUntil([&] { return closed(); }));
        hookClock.hook = nullptr;
        EXPECT_TRUE(*injected);
        EXPECT_EQ(sent(), stoppedAfter(c.failing));
        EXPECT_EQ(ticks(), c.ticked);
        window.reset();
    }
}

TEST_F(SelfTestTest, StatusFailureAtSetUpRunsNothingAndCloseCloses) {
    keypad->model.injectFault({sim::Fault::Refuse});
    open();
    EXPECT_FALSE(window->testRunning());
    const auto messages = prompts.messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, "Device status message error..\n");
    EXPECT_EQ(messages[0].caption, "Halden USB Encoder");
    EXPECT_TRUE(visibleIndicators().empty());
    EXPECT_EQ(window->brightnessLabel->text(), "2");
    EXPECT_EQ(window->buzzerLabel->text(), "1");
    for (int i = 0; i < 50; ++i)
        QCoreApplication::processEvents();
    window->closeButton->click();
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(sent().size(), 1u);
}

TEST_F(SelfTestTest, RestoringABadPeriodWarnsAndStillCloses) {
    auto s = keypad->model.running();
    s.buzzerPeriod = 0; // the keypad stores 0 but accepts only 1-9
    keypad->model.setRunning(s);
    open();
    window->closeButton->click();
    ASSERT_TRUE(waitUntil([&] { return closed(); }));
    const auto log = sent();
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(log[log.size() - 3], (Sent{SetKeypadType, {kType}}));
    EXPECT_EQ(log[log.size() - 2], (Sent{SetBuzzerPeriod, {0}}));
    EXPECT_EQ(log[log.size() - 1], (Sent{SetLedBrightness, {kLed}}));
    const auto texts = prompts.texts();
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(texts.back(), "Unable to set Buzzer Period..\n");
    EXPECT_EQ(prompts.messages().back().caption, "Halden USB Encoder");
}

TEST_F(SelfTestTest, SmallKeypadIndicatorsFollowTheOptionsByte) {
    keypad->model.setOptions(0);
    open();
    EXPECT_EQ(visibleIndicators(), (std::vector<int>{2, 4, 6, 7, 8, 9, 10}));
    EXPECT_EQ(window->keyButtons[8]->text(), "jack in");
    EXPECT_EQ(window->keyButtons[9]->text(), "jack out");
    EXPECT_EQ(window->keyButtons[3]->text(), "4");
    for (int i : visibleIndicators())
        EXPECT_EQ(colourOf(window->keyButtons[static_cast<size_t>(i - 1)]), kGrey) << i;
    press(window.get(), Qt::Key_F24); // indicator 3: hidden
    for (int i : visibleIndicators())
        EXPECT_EQ(colourOf(window->keyButtons[static_cast<size_t>(i - 1)]), kGrey) << i;
    press(window->closeButton, Qt::Key_F17); // seen first by the window
    EXPECT_EQ(colourOf(window->keyButtons[1]), kBlue);
    window.reset();

    keypad->model.setOptions(1);
    open();
    EXPECT_EQ(visibleIndicators(), (std::vector<int>{2, 4, 5, 6, 7, 8, 9, 10}));
    window.reset();
    keypad->model.setOptions(2);
    open();
    EXPECT_EQ(visibleIndicators(), (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
}

TEST_F(SelfTestTest, TwelveKeyIndicatorsAreNumberedInOrder) {
    ASSERT_EQ(SendDeviceCommandByte(SetKeypadType, 4), LINK_OK);
    open();
    const std::vector<int> shown{1, 2, 3, 5, 6, 7, 9, 10, 11, 13, 14, 15};
    EXPECT_EQ(visibleIndicators(), shown);
    for (size_t n = 0; n < shown.size(); ++n)
        EXPECT_EQ(window->keyButtons[static_cast<size_t>(shown[n] - 1)]->text(),
                  QString::number(n + 1));
    EXPECT_EQ(colourOf(window->keyButtons[0]), window->normalColour);
    press(window.get(), Qt::Key_F22);
    EXPECT_EQ(colourOf(window->keyButtons[4]), kWhite);
    EXPECT_EQ(window->keyButtons[4]->text(), "4");
    press(window.get(), Qt::Key_F21); // indicator 4: hidden
    for (int i : shown) {
        const QColor expected = i == 5 ? kWhite : window->normalColour;
        EXPECT_EQ(colourOf(window->keyButtons[static_cast<size_t>(i - 1)]), expected) << i;
    }
}

TEST_F(SelfTestTest, SixteenKeyIndicatorsAndKeyColours) {
    useSixteenKeys();
    open();
    std::vector<int> all;
    for (int i = 1; i <= 16; ++i)
        all.push_back(i);
    EXPECT_EQ(visibleIndicators(), all);
    EXPECT_EQ(window->keyButtons[15]->text(), "16");
    EXPECT_EQ(window->keyButtons[15]->geometry(), QRect(470, 405, 56, 19));
    EXPECT_EQ(window->keyButtons[0]->geometry(), QRect(106, 282, 82, 30));

    // Other keys change nothing and never reach the focused control.
    press(window->closeButton, Qt::Key_F13);
    press(window.get(), Qt::Key_F14);
    press(window.get(), Qt::Key_A, 38);
    EXPECT_EQ(window->closeRequested.load(), 0);
    for (auto* b : window->keyButtons)
        EXPECT_EQ(colourOf(b), window->normalColour);

    // As Qt names them.
    press(window.get(), Qt::Key_F17);
    press(window.get(), Qt::Key_F22);
    press(window.get(), Qt::Key_F24);
    EXPECT_EQ(colourOf(window->keyButtons[1]), kBlue);
    EXPECT_EQ(colourOf(window->keyButtons[4]), kWhite);
    EXPECT_EQ(colourOf(window->keyButtons[2]), kRed);
}

TEST(SelfTestKeys, LinuxKeyCodesMatchWhateverKeysymTheDesktopGives) {
    // X11/Wayland key code = Linux input code + 8; F17 = 187, F22 = 192, F24 = 194.
    EXPECT_EQ(SelfTestWindow::IndicatorForKey(Qt::Key_Launch8, 187 + 8), 2);
    EXPECT_EQ(SelfTestWindow::IndicatorForKey(Qt::Key_unknown, 192 + 8), 5);
    EXPECT_EQ(SelfTestWindow::IndicatorForKey(0, 194 + 8), 3);
    EXPECT_EQ(SelfTestWindow::IndicatorForKey(Qt::Key_Tools, 185 + 8), 9);
    EXPECT_EQ(SelfTestWindow::IndicatorForKey(Qt::Key_F23, 0), 1);
    // Neighbours: F14 (XF86Launch5) and the key after F24.
    EXPECT_EQ(SelfTestWindow::IndicatorForKey(Qt::Key_Launch5, 184 + 8), 0);
    EXPECT_EQ(SelfTestWindow::IndicatorForKey(Qt::Key_unknown, 195 + 8), 0);
    EXPECT_EQ(SelfTestWindow::IndicatorForKey(Qt::Key_F14, 0), 0);
    EXPECT_EQ(SelfTestWindow::IndicatorForKey(Qt::Key_unknown, 187), 0);
}

TEST_F(SelfTestTest, KeysArrivingAsXf86KeysymsColourTheirIndicators) {
    useSixteenKeys();
    open();
    // As an X server with the usual keymap delivers them to Qt.
    press(window->closeButton, Qt::Key_Launch8, 187 + 8); // F17
    press(window.get(), Qt::Key_TouchpadOn, 192 + 8);     // F22
    press(window.get(), 0, 194 + 8);                      // F24: no keysym
    EXPECT_EQ(colourOf(window->keyButtons[1]), kBlue);
    EXPECT_EQ(colourOf(window->keyButtons[4]), kWhite);
    EXPECT_EQ(colourOf(window->keyButtons[2]), kRed);
    EXPECT_EQ(colourOf(window->keyButtons[0]), window->normalColour);
}

namespace {

struct FakeRecorder : AudioRecorder {
    struct Script {
        bool canRecord = true;
        bool recordOk = true;
        bool stopOk = true;
        bool canSave = true;
        int records = 0;
        int plays = 0;
        int alive = 0;
    };
    explicit FakeRecorder(Script& s) : s(s) { ++s.alive; }
    ~FakeRecorder() override { --s.alive; }
    bool canRecord() override { return s.canRecord; }
    bool record() override {
        ++s.records;
        return s.recordOk;
    }
    bool stop() override { return s.stopOk; }
    bool canSave() override { return s.canSave; }
    void play() override { ++s.plays; }
    Script& s;
};

const std::string kNoRecord = "This device doesn't record.\n";

} // namespace

// Until the key phase the keypad types its own table, which may send Return,
// Escape, Space or Tab: they reach the window as the user's keys would, and
// operate nothing. Alt+C is the keyboard's way to "Close".
TEST_F(SelfTestTest, KeysTypedDuringThePhasesOperateNothingAndAltCCloses) {
    prompts.answerYes();
    open();
    QApplication::setActiveWindow(window.get());
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    ASSERT_TRUE(waitUntil(
        [&] { return window->ledTestLabel->palette().color(QPalette::Window) == kLightGreen; }));
    // The worker waits for this thread at the end of the LED phase.
    window->closeButton->setFocus();
    for (int key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Space, Qt::Key_Escape, Qt::Key_Tab})
        QTest::keyClick(QApplication::focusWidget(), static_cast<Qt::Key>(key));
    EXPECT_EQ(QApplication::focusWidget(), window->closeButton);
    window->recordButton->setFocus();
    for (int key : {Qt::Key_Return, Qt::Key_Space, Qt::Key_Escape})
        QTest::keyClick(QApplication::focusWidget(), static_cast<Qt::Key>(key));
    QTest::keyClick(window.get(), Qt::Key_Escape);
    EXPECT_EQ(window->closeRequested.load(), 0);
    EXPECT_TRUE(window->closeButton->isEnabled());
    EXPECT_EQ(window->recordButton->text(), "Record");
    ASSERT_TRUE(waitUntil([&] { return window->brightnessCheckBox->isChecked(); }));
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(window->testRunning());

    // The texts stay as they are; the keys are shortcuts, named to a screen
    // reader.
    EXPECT_EQ(window->closeButton->text(), "Close");
    EXPECT_EQ(window->closeButton->shortcut(), QKeySequence(Qt::ALT | Qt::Key_C));
    QTest::keyClick(window.get(), Qt::Key_C, Qt::AltModifier);
    // The button shows itself pressed before it acts.
    EXPECT_TRUE(waitUntil([&] { return window->closeRequested.load() == 1; }));
    ASSERT_TRUE(waitUntil([&] { return closed(); }));
    const auto log = sent();
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(std::vector<Sent>(log.end() - 3, log.end()), restore());
}

namespace {

double luminance(QRgb c) {
    auto channel = [](int v) {
        const double s = v / 255.0;
        return s <= 0.04045 ? s / 12.92 : std::pow((s + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * channel(qRed(c)) + 0.7152 * channel(qGreen(c)) + 0.0722 * channel(qBlue(c));
}

double contrast(QRgb a, QRgb b) {
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

struct Drawn {
    QRgb background;     // the colour most of the area has
    double textContrast; // of the text pixel that stands out most from it
};

Drawn drawnIn(const QImage& image, const QRect& area) {
    std::map<QRgb, int> counts;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            ++counts[image.pixel(x, y) | 0xff000000u];
    QRgb background = 0;
    int most = 0;
    for (const auto& [colour, n] : counts)
        if (n > most) {
            most = n;
            background = colour;
        }
    double best = 1.0;
    for (const auto& [colour, n] : counts)
        best = std::max(best, contrast(colour, background));
    return {background, best};
}

// Roughly as a GTK dark theme gives it.
QPalette darkPalette() {
    QPalette p;
    const QColor window(53, 53, 53), text(238, 238, 236), greyed(145, 145, 145);
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        const bool off = group == QPalette::Disabled;
        p.setColor(group, QPalette::Window, window);
        p.setColor(group, QPalette::Button, window);
        p.setColor(group, QPalette::Base, QColor(45, 45, 45));
        p.setColor(group, QPalette::AlternateBase, QColor(60, 60, 60));
        p.setColor(group, QPalette::WindowText, off ? greyed : text);
        p.setColor(group, QPalette::ButtonText, off ? greyed : text);
        p.setColor(group, QPalette::Text, off ? greyed : text);
        p.setColor(group, QPalette::Light, QColor(80, 80, 80));
        p.setColor(group, QPalette::Midlight, QColor(66, 66, 66));
        p.setColor(group, QPalette::Mid, QColor(40, 40, 40));
        p.setColor(group, QPalette::Dark, QColor(30, 30, 30));
        p.setColor(group, QPalette::Shadow, QColor(10, 10, 10));
        p.setColor(group, QPalette::Highlight, QColor(53, 132, 228));
        p.setColor(group, QPalette::HighlightedText, Qt::white);
    }
    return p;
}

} // namespace

// Every text of the window reads at 4.5:1 against what is behind it, on a
// light and on a dark palette: a row lit light green and rows still waiting.
// On the light palette the colours stay the window's own.
TEST_F(SelfTestTest, TextsReadOnLightAndDarkPalettes) {
    const QPalette before = QApplication::palette();
    for (const bool dark : {false, true}) {
        SCOPED_TRACE(dark ? "dark" : "light");
        QApplication::setPalette(dark ? darkPalette() : QApplication::style()->standardPalette());
        prompts.answerNo();
        open();
        // The worker then waits for this thread at the end of the LED phase.
        ASSERT_TRUE(waitUntil([&] {
            return window->ledTestLabel->palette().color(QPalette::Window) == kLightGreen;
        }));
        const QImage image = window->grab().toImage();
        std::vector<QWidget*> texts{
            window->headingLabel,        window->ledTestLabel,    window->ledLabel,
            window->brightnessTestLabel, window->brightnessLabel, window->buzzerTestLabel,
            window->buzzerLabel,         window->audioTestLabel,  window->closeButton};
        for (QPushButton* b : window->keyButtons)
            if (b->isVisible())
                texts.push_back(b);
        for (QWidget* w : texts) {
            const Drawn d = drawnIn(image, w->geometry().adjusted(2, 2, -2, -2));
            EXPECT_GE(d.textContrast, 4.5) << w->objectName().toStdString();
        }
        EXPECT_EQ(drawnIn(image, window->ledTestLabel->geometry()).background, kLightGreen.rgb());
        EXPECT_EQ(
            drawnIn(image, window->keyButtons[1]->geometry().adjusted(2, 2, -2, -2)).background,
            kGrey.rgb());
        if (!dark) {
            const QColor normal = window->normalColour;
            EXPECT_EQ(drawnIn(image, window->buzzerTestLabel->geometry()).background, normal.rgb());
        }
        window->closeButton->click();
        ASSERT_TRUE(waitUntil([&] { return closed(); }));
        window.reset();
    }
    QApplication::setPalette(before);
}

TEST_F(SelfTestTest, MicrophoneYesShowsRecordAndTheNote) {
    prompts.answerYes();
    open();
    EXPECT_FALSE(window->recordButton->isHidden());
    EXPECT_EQ(window->recordButton->text(), "Record");
    const auto messages = prompts.messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[1].text, "Please make sure <USB Advanced Audio device> in Sound "
                                "panel->Recording tab is set as Default Device\n");
    EXPECT_EQ(messages[1].caption, "HaldenOrvexUtility");
    EXPECT_EQ(messages[1].buttons, MsgButtons::Ok);
}

TEST_F(SelfTestTest, RecordButtonWalksItsThreeStates) {
    FakeRecorder::Script script;
    SelfTestWindow::setRecorderFactory([&] { return std::make_unique<FakeRecorder>(script); });
    prompts.answerYes();
    open();
    prompts.clear();
    QPushButton* record = window->recordButton;

    record->click();
    EXPECT_EQ(record->text(), "Start Record");
    EXPECT_EQ(record->shortcut(), QKeySequence(Qt::ALT | Qt::Key_R));
    record->click();
    EXPECT_EQ(record->text(), "Stop Record");
    EXPECT_EQ(script.records, 1);
    record->click();
    EXPECT_EQ(record->text(), "Record");
    EXPECT_EQ(script.plays, 1);
    EXPECT_TRUE(prompts.messages().empty());

    // A stop that fails: the message, no playback.
    record->click();
    EXPECT_EQ(script.alive, 1); // the new recorder replaced the old one
    record->click();
    script.stopOk = false;
    record->click();
    EXPECT_EQ(record->text(), "Record");
    EXPECT_EQ(script.plays, 1);
    ASSERT_EQ(prompts.messages().size(), 1u);
    EXPECT_EQ(prompts.messages()[0].text, kNoRecord);
    EXPECT_EQ(prompts.messages()[0].caption, "Halden AudioOrvex");

    // A device that cannot record: the message, and "Record" stays.
    prompts.clear();
    script.canRecord = false;
    record->click();
    EXPECT_EQ(record->text(), "Record");
    EXPECT_EQ(prompts.texts(), std::vector<std::string>{kNoRecord});

    // A recording that fails to start goes back to "Record".
    prompts.clear();
    script.canRecord = true;
    script.recordOk = false;
    record->click();
    record->click();
    EXPECT_EQ(record->text(), "Record");
    EXPECT_EQ(prompts.texts(), std::vector<std::string>{kNoRecord});
}

bool libraryMapped(const std::string& name) {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line))
        if (line.find(name) != std::string::npos)
            return true;
    return false;
}

// The platform recorder lives in the audio plugin: Qt Multimedia is mapped only
// once the first recorder is made.
TEST_F(SelfTestTest, PlatformRecorderLoadsQtMultimediaOnFirstUse) {
    EXPECT_FALSE(libraryMapped("libQt6Multimedia"));
    const auto recorder = makeQtAudioRecorder();
    ASSERT_TRUE(recorder) << "no audio plugin in " << audioPluginFolders().join(", ").toStdString();
    EXPECT_TRUE(libraryMapped("libQt6Multimedia"));
}

TEST_F(SelfTestTest, PlatformRecorderWithoutInputSaysSo) {
    const auto platformRecorder = makeQtAudioRecorder();
    ASSERT_TRUE(platformRecorder);
    if (platformRecorder->canRecord())
        GTEST_SKIP() << "this machine has an audio input";
    prompts.answerYes();
    open();
    prompts.clear();
    window->recordButton->click();
    EXPECT_EQ(window->recordButton->text(), "Record");
    EXPECT_EQ(prompts.texts(), std::vector<std::string>{kNoRecord});
}

TEST_F(SelfTestTest, KeyPhaseMessageBlocksOnlyTheSelfTestWindow) {
    QtPrompter qtPrompter;
    setPrompter(&qtPrompter);
    const QPointer<QMessageBox> box = openUntilKeyPhaseMessage();
    ASSERT_TRUE(box);
    EXPECT_FALSE(box->isModal());
    EXPECT_TRUE(window->closeButton->isEnabled());
    EXPECT_EQ(box->text(), QString::fromUtf8("Press each key  on Orvex™... \n"));
    EXPECT_EQ(box->windowTitle(), QString::fromUtf8("Orvex™ Keypad"));
    // The worker waits for the answer before switching the code table.
    for (int i = 0; i < 20; ++i) {
        QCoreApplication::processEvents();
        QThread::msleep(1);
    }
    EXPECT_EQ(sent().size(), 32u);
    box->button(QMessageBox::Ok)->click();
    ASSERT_TRUE(waitUntil([&] { return sent().size() == 33u; }));
    EXPECT_EQ(sent().back(), (Sent{SetKeypadType, {0}}));
    window->closeButton->click();
    ASSERT_TRUE(waitUntil([&] { return closed(); }));
    setPrompter(&prompts);
}

TEST_F(SelfTestTest, CloseWhileTheKeyPhaseMessageShowsEndsTheTest) {
    QtPrompter qtPrompter;
    setPrompter(&qtPrompter);
    const QPointer<QMessageBox> box = openUntilKeyPhaseMessage();
    ASSERT_TRUE(box);
    window->closeButton->click();
    ASSERT_TRUE(waitUntil([&] { return closed(); }));
    EXPECT_FALSE(box);
    // The end step put the settings read at set-up back.
    const auto log = sent();
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(std::vector<Sent>(log.end() - 3, log.end()), restore());
    setPrompter(&prompts);
}

TEST_F(SelfTestTest, MainWindowPicksDuringTheTestNeverInterleave) {
    keypad->model.setOptions(7);
    MainWindow form;
    form.startUp();
    form.move(30, 50);
    form.show();
    // Answers that arrive late keep each exchange open across many polls.
    keypad->model.injectFault({sim::Fault::Late, 0, 0, 30}, 2000);
    hookClock.realPollMicroseconds = 500;
    form.selfTestButton->click();
    QPointer<SelfTestWindow> test;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* t = qobject_cast<SelfTestWindow*>(w))
            test = t;
    ASSERT_TRUE(test);
    EXPECT_TRUE(test->isVisible());
    EXPECT_FALSE(test->isModal());
    EXPECT_EQ(test->pos(), form.pos());

    int picks = 0;
    ASSERT_TRUE(waitUntil([&] {
        // What a user picking in the main window does, between the worker's
        // exchanges.
        emit form.ledColourList->activated(picks++ % 10);
        return keypad->model.running().keypadType == 0 || picks > 3000;
    }));
    EXPECT_EQ(keypad->model.running().keypadType, 0);
    // The picks really went out while the phases ran.
    const auto log = sent();
    const auto firstPhase = std::find(log.begin(), log.end(), Sent{SetLedBrightness, {0}});
    const auto keyPhase = std::find(log.begin(), log.end(), Sent{SetKeypadType, {0}});
    EXPECT_GT(std::count_if(firstPhase, keyPhase,
                            [](const Sent& c) { return c.first == SetJackLedBrightness; }),
              10);
    test->closeButton->click();
    ASSERT_TRUE(waitUntil([&] { return test.isNull(); }));
    EXPECT_EQ(keypad->model.overlappedRequests(), 0);
    EXPECT_GT(picks, 20);
    for (const auto& t : prompts.texts())
        EXPECT_EQ(t.find("Unable"), std::string::npos) << t;
    EXPECT_EQ(keypad->model.running().keypadType, kType);
}

// The keypad leaves while the key phase waits for keys (nothing is sent then):
// the test hears of it and ends; its restore reaches no keypad, and the
// period's own message is the one shown.
TEST_F(SelfTestTest, KeypadLeavingDuringTheKeyPhaseEndsTheTestWithOneMessage) {
    prompts.answerNo();
    open();
    ASSERT_TRUE(waitUntil([&] { return sent().size() == 33u; }));
    sim::VirtualBus::instance().unplug(keypad);
    ASSERT_TRUE(waitUntil([&] { return closed(); }));
    const auto messages = prompts.messages();
    ASSERT_EQ(messages.size(), 3u); // microphone, key phase, and why it ended
    EXPECT_EQ(messages[2].text, "Unable to set Buzzer Period..\n");
    EXPECT_EQ(messages[2].caption, "Halden USB Encoder");
    EXPECT_EQ(sent().size(), 33u) << "the restore went to a keypad that had gone";
}
