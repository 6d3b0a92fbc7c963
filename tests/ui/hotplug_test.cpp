// The main window following the keypad on the virtual bus: arrivals and
// removals without Scan For Device, sequences that own the keypad, and the
// wheel over the setting lists.

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QPointer>
#include <QPushButton>
#include <QStatusBar>
#include <QTest>
#include <QTextEdit>
#include <QThread>
#include <QWheelEvent>

#include <functional>
#include <utility>

#include "device/device_commands.h"
#include "device/hid_link.h"
#include "device/keypad_identity.h"
#include "test_env.h"
#include "ui/main/main_window.h"
#include "ui/selftest/self_test_window.h"

using namespace orvex;

namespace {

const std::string kNotConnected = "Halden Orvex\u2122 not connected..\n";
const QString kUnpluggedLine = "The keypad was unplugged.";

QString panelLine(const MainWindow& f, int n) {
    return f.statusPanel->toPlainText().split('\n').value(n);
}

void pick(QComboBox* box, int index) {
    box->setCurrentIndex(index);
    emit box->activated(index);
}

// Lets the window handle what the bus told it.
bool waitUntil(const std::function<bool()>& done) {
    for (int i = 0; i < 20000; ++i) {
        QCoreApplication::processEvents();
        if (done())
            return true;
        QThread::usleep(200);
    }
    return done();
}

void settle() {
    for (int i = 0; i < 5; ++i)
        QCoreApplication::processEvents();
}

class HotplugTest : public test::VirtualEnvTest {
protected:
    std::shared_ptr<sim::VirtualKeypad> keypad = sim::makeKeypad();
    std::unique_ptr<MainWindow> form;
    sim::VirtualBus& bus = sim::VirtualBus::instance();

    void TearDown() override {
        form.reset();
        test::VirtualEnvTest::TearDown();
    }
    void startWithKeypad(uint8_t options) {
        keypad->model.setOptions(options);
        bus.plug(keypad);
        form = std::make_unique<MainWindow>();
        form->startUp();
        keypad->model.clearLog();
    }
    bool connected() const { return panelLine(*form, 2).endsWith("OVX000123456"); }
    bool showsNone() const { return panelLine(*form, 2).endsWith("None"); }
    std::vector<uint8_t> commands() const {
        std::vector<uint8_t> out;
        for (const auto& c : keypad->model.log())
            out.push_back(c.command);
        return out;
    }
};

} // namespace

// Start without a keypad, plug one in, pull it out, plug it back: the window
// follows each step by itself and never shows a box for it; a pick while the
// keypad is out says why it failed, and one after its return reaches it.
TEST_F(HotplugTest, KeypadComingAndGoingIsFollowedWithoutScan) {
    keypad->model.setOptions(0); // the four setting lists stay enabled without a keypad
    form = std::make_unique<MainWindow>();
    form->startUp();
    EXPECT_EQ(prompts.texts(), std::vector<std::string>{kNotConnected}); // the start-up's own
    prompts.clear();

    bus.plug(keypad);
    ASSERT_TRUE(waitUntil([&] { return connected(); })) << panelLine(*form, 0).toStdString();
    EXPECT_EQ(commands(), std::vector<uint8_t>{GetStatus});
    EXPECT_EQ(form->statusBar->currentMessage(), MainWindow::KeypadPluggedInText());
    EXPECT_TRUE(form->saveChangesButton->isEnabled());
    EXPECT_EQ(form->ledBrightnessList->currentIndex(), 5);

    bus.unplug(keypad);
    ASSERT_TRUE(waitUntil([&] { return showsNone(); }));
    EXPECT_EQ(hid_handle, nullptr) << "the dead handle was kept";
    EXPECT_EQ(bus.openHandles(), 0);
    EXPECT_EQ(form->statusBar->currentMessage(), "The keypad was unplugged.");
    EXPECT_EQ(form->ledBrightnessList->placeholderText(), "LED Brightness");
    for (QWidget* w :
         std::initializer_list<QWidget*>{form->saveChangesButton, form->factoryResetButton,
                                         form->selfTestButton, form->keypadTypeList})
        EXPECT_FALSE(w->isEnabled()) << w->objectName().toStdString();
    EXPECT_TRUE(prompts.messages().empty());

    // The pick's own message; the strip says why.
    form->statusBar->clearMessage();
    pick(form->ledBrightnessList, 7);
    EXPECT_EQ(prompts.texts(), std::vector<std::string>{"Unable to set the LED Brightness..\n"});
    EXPECT_EQ(form->statusBar->currentMessage(), kUnpluggedLine);

    prompts.clear();
    keypad->model.clearLog();
    bus.plug(keypad);
    ASSERT_TRUE(waitUntil([&] { return connected(); }));
    pick(form->ledBrightnessList, 7);
    EXPECT_EQ(commands(), (std::vector<uint8_t>{GetStatus, SetLedBrightness}));
    EXPECT_EQ(keypad->model.running().ledBrightness, 7);
    EXPECT_TRUE(prompts.messages().empty());
    EXPECT_EQ(bus.openHandles(), 1);
}

// Plugged in while the start-up's "not connected" warning is up (the user
// plugs the keypad in, then presses OK): the window shows it without Scan.
TEST_F(HotplugTest, KeypadPluggedDuringTheStartUpWarningIsRead) {
    test::RecordingPrompter boxes;
    boxes.beforeNextWarning = [&] {
        bus.plug(keypad);
        waitUntil([&] { return hid_handle != nullptr; });
    };
    setPrompter(&boxes);
    form = std::make_unique<MainWindow>();
    form->startUp();
    setPrompter(&prompts);
    EXPECT_EQ(boxes.texts(), std::vector<std::string>{kNotConnected});
    settle();
    EXPECT_TRUE(connected()) << panelLine(*form, 2).toStdString();
    EXPECT_TRUE(form->saveChangesButton->isEnabled());
}

// A factory reset restarts the keypad: the reset sees it leave and come back
// and reads it itself; the window opens nothing more and reads nothing twice.
// A refused save still names the command, the keypad being there.
TEST_F(HotplugTest, FactoryResetOwnsTheKeypadThroughItsRestart) {
    startWithKeypad(7);
    keypad->model.setRestartDelayMs(1500);
    form->resetToFactoryDefault();
    hid_device* const opened = hid_handle;
    ASSERT_NE(opened, nullptr);
    for (int i = 0; i < 20; ++i) {
        settle();
        QThread::msleep(2);
    }
    EXPECT_EQ(hid_handle, opened) << "the keypad was opened twice";
    // Its serial number checked after the restart, then the window's read.
    EXPECT_EQ(commands(), (std::vector<uint8_t>{FactoryReset, GetStatus, GetStatus}));
    EXPECT_TRUE(connected());
    EXPECT_EQ(form->statusBar->currentMessage(), MainWindow::FactoryResetText());
    EXPECT_TRUE(prompts.messages().empty());

    keypad->model.injectFault({sim::Fault::Refuse});
    form->saveChanges();
    EXPECT_EQ(prompts.texts(), std::vector<std::string>{"Unable to Write Default..\n"});
}

// A keypad that comes back only while the factory reset's warnings are up is
// read once the reset has ended, without a box and without Scan; another
// keypad attached meanwhile is not taken in its place.
TEST_F(HotplugTest, KeypadBackLateFromAFactoryResetIsReadWhenTheResetEnds) {
    startWithKeypad(7);
    const auto other = sim::makeKeypad();
    other->model.setSerial("OVX000999888");
    bus.plug(other);
    settle();
    keypad->model.setRestartDelayMs(8000);
    test::RecordingPrompter boxes;
    boxes.beforeNextWarning = [&] {
        clock.advance(8000);
        bus.pump();
    };
    setPrompter(&boxes);
    form->resetToFactoryDefault();
    EXPECT_EQ(boxes.texts(),
              (std::vector<std::string>{kNotConnected, "Please power off/on the Orvex\u2122.\n"}));
    ASSERT_TRUE(waitUntil([&] { return connected(); }));
    EXPECT_EQ(commands(), (std::vector<uint8_t>{FactoryReset, GetStatus, GetStatus}));
    EXPECT_EQ(boxes.messages().size(), 2u);
    EXPECT_TRUE(other->model.log().empty());
    setPrompter(&prompts);

    // Not back at all: the other keypad is shown as one that arrived, and
    // said so.
    keypad->model.setRestartDelayMs(60000);
    prompts.clear();
    form->resetToFactoryDefault();
    ASSERT_TRUE(waitUntil([&] { return panelLine(*form, 2).endsWith("OVX000999888"); }));
    EXPECT_EQ(form->statusBar->currentMessage(), MainWindow::KeypadPluggedInText());

    // A keypad whose USB port cannot be told is not reset while another is
    // attached: it could not be told apart when it comes back.
    clock.advance(60000);
    bus.unplug(other);
    keypad->usbPort.clear();
    ASSERT_TRUE(waitUntil([&] { return connected(); }));
    bus.plug(other);
    settle();
    keypad->model.clearLog();
    prompts.clear();
    form->resetToFactoryDefault();
    EXPECT_EQ(prompts.texts(),
              std::vector<std::string>{std::string(kKeypadNotToldApartText) + "\n"});
    EXPECT_TRUE(keypad->model.log().empty());
    EXPECT_TRUE(connected());
}

// The self test owns the keypad while it runs. Pulled out in the middle of the
// test, the keypad ends it with the restore's one message, the strip saying
// why; the main window shows it gone, and once the test has ended follows the
// keypad again.
TEST_F(HotplugTest, SelfTestEndsOnceWhenTheKeypadLeavesAndTheWindowFollowsAfter) {
    startWithKeypad(7);
    form->statusBar->showMessage(MainWindow::KeypadPluggedInText());
    prompts.answerNo(); // no microphone
    form->openSelfTest();
    QPointer<SelfTestWindow> test;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* t = qobject_cast<SelfTestWindow*>(w))
            test = t;
    ASSERT_TRUE(test);
    ASSERT_TRUE(waitUntil([&] { return keypad->model.log().size() >= 12; }));

    QString stripBesideTheBox;
    prompts.beforeNextWarning = [&] { stripBesideTheBox = form->statusBar->currentMessage(); };
    bus.unplug(keypad);
    ASSERT_TRUE(waitUntil([&] { return showsNone(); }));
    EXPECT_EQ(form->statusBar->currentMessage(), "The keypad was unplugged.");
    ASSERT_TRUE(waitUntil([&] { return test.isNull(); }));
    EXPECT_EQ(prompts.texts(), (std::vector<std::string>{"Does Orvex have microphone support?\n",
                                                         "Unable to set Buzzer Period..\n"}));
    EXPECT_EQ(stripBesideTheBox, kUnpluggedLine);
    EXPECT_EQ(form->statusBar->currentMessage(), kUnpluggedLine);
    ASSERT_TRUE(waitUntil([&] { return hid_handle == nullptr; }));
    EXPECT_TRUE(showsNone());
    EXPECT_FALSE(form->selfTestButton->isEnabled());
    // The strip agrees with the panel, during the test and after it.
    EXPECT_EQ(form->statusBar->currentMessage(), "The keypad was unplugged.");

    keypad->model.clearLog();
    bus.plug(keypad);
    ASSERT_TRUE(waitUntil([&] { return connected(); }));
    EXPECT_EQ(commands(), std::vector<uint8_t>{GetStatus});
    EXPECT_EQ(prompts.messages().size(), 2u);
}

// Another keypad leaving is not this one leaving: the self test goes on, the
// window keeps its keypad, and the test ends with its restore as usual. While
// the test runs, the main window's actions that change the keypad wait.
TEST_F(HotplugTest, AnotherKeypadLeavingChangesNothingAndTheTestKeepsTheKeypad) {
    startWithKeypad(7);
    auto other = sim::makeKeypad();
    other->model.setSerial("OVX000999999");
    bus.plug(other);
    settle();
    prompts.answerNo(); // no microphone
    form->openSelfTest();
    QPointer<SelfTestWindow> test;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* t = qobject_cast<SelfTestWindow*>(w))
            test = t;
    ASSERT_TRUE(test);
    ASSERT_TRUE(waitUntil([&] { return keypad->model.log().size() >= 4; }));

    bus.unplug(other);
    const size_t before = keypad->model.log().size();
    ASSERT_TRUE(waitUntil([&] { return keypad->model.log().size() > before + 2; }));
    EXPECT_FALSE(test.isNull()) << "the test ended for another keypad";
    EXPECT_TRUE(connected());
    EXPECT_TRUE(form->statusBar->currentMessage().isEmpty());

    // While the test owns the keypad, what would change it waits: a second
    // test would take this one's temporary settings for the keypad's own.
    form->saveChanges();
    form->openSelfTest();
    const std::string busy = MainWindow::KeypadBusyText().toStdString() + "\n";
    EXPECT_EQ(prompts.texts(),
              (std::vector<std::string>{"Does Orvex have microphone support?\n", busy, busy}));
    prompts.clear();

    test->closeButton->click();
    ASSERT_TRUE(waitUntil([&] { return test.isNull(); }));
    EXPECT_TRUE(prompts.messages().empty());
    for (uint8_t c : commands())
        EXPECT_NE(c, WriteDefaults);
    const auto sent = commands();
    ASSERT_GE(sent.size(), 3u);
    EXPECT_EQ(std::vector<uint8_t>(sent.end() - 3, sent.end()),
              (std::vector<uint8_t>{SetKeypadType, SetBuzzerPeriod, SetLedBrightness}))
        << "the restore";
    EXPECT_EQ(other->model.log().size(), 0u);
}

// One wheel notch over a list the user is not working in must not send
// anything; on the list that has the focus it picks as before.
TEST_F(HotplugTest, WheelPicksOnlyOnTheFocusedList) {
    startWithKeypad(7);
    form->show();
    QApplication::setActiveWindow(form.get());
    ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
    form->scanButton->setFocus();
    QComboBox* list = form->ledBrightnessList;
    const auto notch = [list] {
        const QPointF at(list->width() / 2.0, list->height() / 2.0);
        QWheelEvent wheel(at, list->mapToGlobal(at), QPoint(), QPoint(0, -120), Qt::NoButton,
                          Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(list, &wheel);
    };
    notch();
    EXPECT_TRUE(keypad->model.log().empty());
    EXPECT_EQ(list->currentIndex(), 5);
    EXPECT_FALSE(list->hasFocus()) << "the wheel took the focus";

    list->setFocus();
    notch();
    ASSERT_EQ(keypad->model.log().size(), 1u);
    EXPECT_EQ(keypad->model.log()[0].command, SetLedBrightness);
    EXPECT_EQ(keypad->model.log()[0].payload, std::vector<uint8_t>{6});
    EXPECT_EQ(list->currentIndex(), 6);
}
