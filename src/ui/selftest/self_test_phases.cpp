// The self test's worker: the four phases, the hand-offs of their display
// changes to the window's thread, and the end step.

#include <QCheckBox>
#include <QLabel>
#include <QMessageBox>
#include <QThread>

#include "device/hid_link.h"
#include "platform/clock.h"
#include "platform/prompter.h"
#include "platform/qt_prompter.h"
#include "ui/selftest/self_test_shared.h"
#include "ui/selftest/self_test_window.h"

namespace orvex {

using namespace selftest;

namespace {

constexpr uint32_t kHoldMs = 80;
constexpr uint32_t kLedWaitMs = 500;
constexpr uint32_t kBuzzerPauseStepMs = 150;
constexpr uint32_t kKeyPollMs = 100;

} // namespace

bool SelfTestWindow::OnWindowThread(std::function<void(std::function<void()> done)> step) {
    if (QThread::currentThread() == thread()) {
        step([] {});
        return true;
    }
    auto finished = std::make_shared<bool>(false);
    auto done = [this, finished] {
        {
            std::lock_guard lock(handoffMutex_);
            *finished = true;
        }
        handoffCv_.notify_all();
    };
    QMetaObject::invokeMethod(
        this, [step = std::move(step), done] { step(done); }, Qt::QueuedConnection);
    std::unique_lock lock(handoffMutex_);
    handoffCv_.wait(lock, [&] { return *finished || abandoned_.load(); });
    return *finished;
}

void SelfTestWindow::AbandonWorker() {
    {
        std::lock_guard lock(handoffMutex_);
        abandoned_ = true;
    }
    handoffCv_.notify_all();
    if (worker_.joinable())
        worker_.join();
}

void SelfTestWindow::AddTextToObject(QLabel* label, const QString& text) {
    OnWindowThread([label, text](const std::function<void()>& done) {
        label->setText(text);
        sleep_ms(kHoldMs);
        done();
    });
}

void SelfTestWindow::AmendCheckBox(QCheckBox* box, bool ticked) {
    OnWindowThread([box, ticked](const std::function<void()>& done) {
        box->setChecked(ticked);
        box->setAccessibleDescription(ticked ? kPassed : kWaiting);
        sleep_ms(kHoldMs);
        done();
    });
}

void SelfTestWindow::SetRowColour(QLabel* a, QLabel* b, const QColor& colour) {
    QCheckBox* box = a == ledTestLabel          ? ledCheckBox
                     : a == brightnessTestLabel ? brightnessCheckBox
                     : a == buzzerTestLabel     ? buzzerCheckBox
                                                : nullptr;
    OnWindowThread([a, b, box, colour](const std::function<void()>& done) {
        PaintRow(a, colour);
        PaintRow(b, colour);
        if (box)
            box->setAccessibleDescription(kRunning);
        done();
    });
}

// Every command of a phase must be accepted for its box to be ticked; the
// first refusal ends the test.
bool SelfTestWindow::LedPhase() {
    SetRowColour(ledTestLabel, ledLabel, kLightGreen);
    for (int i = 0; i < 4; ++i) {
        if (ledBrightness(0) != LINK_OK)
            return false;
        sleep_ms(kLedWaitMs);
        const int rc = ledBrightness(8);
        sleep_ms(kLedWaitMs);
        if (rc != LINK_OK || Stopping())
            return false;
    }
    if (ledBrightness(0) != LINK_OK)
        return false;
    AmendCheckBox(ledCheckBox, true);
    return !abandoned_;
}

bool SelfTestWindow::BrightnessPhase() {
    SetRowColour(brightnessTestLabel, brightnessLabel, kLightGreen);
    for (uint8_t level = 0; level <= 9; ++level) {
        AddTextToObject(brightnessLabel, QString::number(level));
        const int rc = ledBrightness(level);
        sleep_ms(kLedWaitMs);
        if (rc != LINK_OK || Stopping())
            return false;
    }
    if (ledBrightness(0) != LINK_OK)
        return false;
    AmendCheckBox(brightnessCheckBox, true);
    return ledBrightness(initial_.ledBrightness) == LINK_OK && !abandoned_;
}

bool SelfTestWindow::BuzzerPhase() {
    SetRowColour(buzzerTestLabel, buzzerLabel, kLightGreen);
    uint32_t pause = 0;
    for (uint8_t value = 0; value <= 9; ++value) {
        AddTextToObject(buzzerLabel, QString::number(value));
        if (statusBuzzer(value) != LINK_OK || Stopping())
            return false;
        sleep_ms(pause);
        pause += kBuzzerPauseStepMs;
    }
    AmendCheckBox(buzzerCheckBox, true);
    return !abandoned_;
}

void SelfTestWindow::KeyPhase() {
    const bool shown = OnWindowThread([this](std::function<void()> done) {
        const std::string text = "Press each key  on Orvex\u2122... \n";
        if (dynamic_cast<QtPrompter*>(&prompter())) {
            // Holds up only the worker: Close and Record stay usable, and so
            // does the main window.
            auto* box = new QMessageBox(QMessageBox::Warning, QString::fromUtf8(kKeypadCaption),
                                        QString::fromStdString(text), QMessageBox::Ok, this);
            box->setObjectName("keyPhaseMessage");
            box->setAttribute(Qt::WA_DeleteOnClose);
            box->setWindowModality(Qt::NonModal);
            connect(box, &QDialog::finished, this, [done] { done(); });
            keyMessage_ = box;
            box->show();
        } else {
            prompter().message(text, kKeypadCaption, MsgButtons::Ok, MsgIcon::Warning);
            done();
        }
    });
    if (!shown)
        return;
    const int rc = setKeyboardTable(0);
    sleep_ms(kKeyPollMs);
    if (rc != LINK_OK)
        return;
    while (!Stopping())
        sleep_ms(kKeyPollMs);
}

void SelfTestWindow::runPhases() {
    if (LedPhase() && BrightnessPhase() && BuzzerPhase())
        KeyPhase();
    if (!abandoned_)
        QMetaObject::invokeMethod(
            this, [this] { phasesEnded(); }, Qt::QueuedConnection);
}

void SelfTestWindow::phasesEnded() {
    if (worker_.joinable())
        worker_.join();
    // A phase cut short says why.
    for (QCheckBox* c : {ledCheckBox, brightnessCheckBox, buzzerCheckBox})
        if (c->accessibleDescription() == kRunning)
            c->setAccessibleDescription(closeRequested.load() == 1 ? kStopped : kFailed);
    // Each regardless of the others. On a keypad that has gone they fail at
    // once (its handle went with it), and the period's message says so.
    setKeyboardTable(initial_.keypadType);
    buzzerPeriod(initial_.buzzerPeriod);
    ledBrightness(initial_.ledBrightness);
    ReleaseKeypad();
    close();
}

} // namespace orvex
