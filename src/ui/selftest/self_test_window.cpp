#include "ui/selftest/self_test_window.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QThread>

#include <cmath>

#include "bsl/bsl430.h"
#include "bsl/device_notifier.h"
#include "device/hid_link.h"
#include "platform/clock.h"
#include "platform/prompter.h"
#include "platform/qt_prompter.h"
#include "ui/common/form_layout.h"
#include "ui/common/ui_style.h"

namespace orvex {

namespace {

const char* const kLinkCaption = "Halden USB Encoder";
const char* const kUtilityCaption = "HaldenOrvexUtility";
const char* const kAudioCaption = "Halden AudioOrvex";
const char* const kKeypadCaption = "Orvex\u2122 Keypad";
const char* const kNoRecord = "This device doesn't record.";

const QColor kLightGreen(144, 238, 144);
const QColor kGrey(128, 128, 128);
// Greyed row text that still reads at 4.5:1 on light green and on the window.
const QColor kGreyedText(88, 88, 88);

// What a phase's check box tells a screen reader besides its tick.
const char* const kWaiting = "Waiting";
const char* const kRunning = "Running";
const char* const kPassed = "Passed";
const char* const kFailed = "Failed";
const char* const kStopped = "Stopped";

constexpr uint32_t kHoldMs = 80;
constexpr uint32_t kLedWaitMs = 500;
constexpr uint32_t kBuzzerPauseStepMs = 150;
constexpr uint32_t kKeyPollMs = 100;

// Linux input codes of F15 and F24; X11 and Wayland key codes are 8 higher.
constexpr quint32 kEvdevF15 = 185;
constexpr quint32 kEvdevF24 = 194;
constexpr quint32 kNativeOffset = 8;

// F15..F24 in order: the indicator each colours.
constexpr int kIndicatorOfF[10] = {9, 10, 2, 6, 7, 8, 4, 5, 1, 3};

RecorderFactory& recorderFactory() {
    static RecorderFactory f;
    return f;
}

QLabel* makeLabel(QWidget* parent, const char* name, const QString& text, QRect geometry,
                  double points = 12) {
    auto* l = new QLabel(text, parent);
    l->setObjectName(name);
    l->setGeometry(geometry);
    l->setFont(ui::font(points));
    return l;
}

QCheckBox* makeCheckBox(QWidget* parent, const char* name, const char* spoken, QPoint at) {
    auto* c = new QCheckBox(parent);
    c->setObjectName(name);
    c->setAccessibleName(spoken);
    c->setAccessibleDescription(kWaiting);
    c->setGeometry(at.x(), at.y(), 20, 20);
    // Ticked by the test only.
    c->setAttribute(Qt::WA_TransparentForMouseEvents);
    c->setFocusPolicy(Qt::NoFocus);
    return c;
}

void setBackground(QWidget* w, QPalette::ColorRole role, const QColor& colour) {
    QPalette p = w->palette();
    p.setColor(role, colour);
    w->setPalette(p);
}

double relativeLuminance(const QColor& c) {
    auto channel = [](int v) {
        const double s = v / 255.0;
        return s <= 0.04045 ? s / 12.92 : std::pow((s + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * channel(c.red()) + 0.7152 * channel(c.green()) + 0.0722 * channel(c.blue());
}

// Indicators show their colour flat: styles shade a button's palette colour.
void setIndicatorColour(QPushButton* b, const QColor& colour) {
    setBackground(b, QPalette::Button, colour);
    // Black or white, whichever contrasts more with the face.
    const double l = relativeLuminance(colour);
    const QColor text = (l + 0.05) / 0.05 >= 1.05 / (l + 0.05) ? Qt::black : Qt::white;
    b->setStyleSheet(QStringLiteral("QPushButton { background-color: %1; color: %2; "
                                    "border: 1px solid rgb(100, 100, 100); border-radius: 2px; }")
                         .arg(colour.name(), text.name()));
}

} // namespace

void SelfTestWindow::setRecorderFactory(RecorderFactory factory) {
    recorderFactory() = std::move(factory);
}

int SelfTestWindow::ledBrightness(uint8_t level) {
    return SendDeviceCommandByte(SetLedBrightness, level);
}

int SelfTestWindow::buzzerPeriod(uint8_t period) {
    const int rc = SendDeviceCommandByte(SetBuzzerPeriod, period);
    if (rc != LINK_OK)
        showWarning("Unable to set Buzzer Period..", kLinkCaption);
    return rc;
}

int SelfTestWindow::setKeyboardTable(uint8_t keypadType) {
    return SendDeviceCommandByte(SetKeypadType, keypadType);
}

int SelfTestWindow::statusBuzzer(uint8_t value) {
    return SendDeviceCommandByte(StatusBuzzer, value);
}

int SelfTestWindow::IndicatorForKey(int qtKey, quint32 nativeScanCode) {
    if (qtKey >= Qt::Key_F15 && qtKey <= Qt::Key_F24)
        return kIndicatorOfF[qtKey - Qt::Key_F15];
#ifndef Q_OS_WIN
    // Desktops often map these keys to XF86 keysyms (XF86Tools, XF86Launch5..)
    // that Qt does not report as F15..F24; the key code still says which key.
    if (nativeScanCode >= kEvdevF15 + kNativeOffset && nativeScanCode <= kEvdevF24 + kNativeOffset)
        return kIndicatorOfF[nativeScanCode - kNativeOffset - kEvdevF15];
#else
    (void)nativeScanCode;
#endif
    return 0;
}

QColor SelfTestWindow::IndicatorColour(int indicator) {
    switch (indicator) {
    case 9:
        return QColor(32, 178, 170); // light sea green
    case 10:
        return QColor(255, 165, 0); // orange
    case 2:
        return QColor(0, 0, 255); // blue
    case 6:
    case 7:
        return QColor(255, 255, 0); // yellow
    case 8:
        return QColor(0, 128, 0); // green
    case 4:
    case 5:
        return QColor(255, 255, 255); // white
    case 1:
        return QColor(0, 0, 139); // dark blue
    case 3:
        return QColor(255, 0, 0); // red
    default:
        return {};
    }
}

SelfTestWindow::SelfTestWindow(QWidget* parent) : QWidget(parent, Qt::Window) {
    setObjectName("SelfTestWindow");
    setWindowTitle("Self Test");

    headingLabel = makeLabel(this, "headingLabel", "SELF TEST", {0, 16, 735, 37}, 20);
    headingLabel->setFont(ui::font(20, true));
    headingLabel->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);

    ledTestLabel = makeLabel(this, "ledTestLabel", "Testing Led", {106, 76, 260, 30});
    ledLabel = makeLabel(this, "ledLabel", "LED", {400, 76, 60, 30});
    ledCheckBox = makeCheckBox(this, "ledCheckBox", "LED test", {500, 81});
    brightnessTestLabel =
        makeLabel(this, "brightnessTestLabel", "Testing Led Brightness ", {106, 121, 260, 30});
    brightnessLabel = makeLabel(this, "brightnessLabel", "2", {400, 121, 60, 30});
    brightnessCheckBox =
        makeCheckBox(this, "brightnessCheckBox", "LED brightness test", {500, 126});
    buzzerTestLabel =
        makeLabel(this, "buzzerTestLabel", "Testing Buzzer Period", {106, 166, 260, 30});
    buzzerLabel = makeLabel(this, "buzzerLabel", "1", {400, 166, 60, 30});
    buzzerCheckBox = makeCheckBox(this, "buzzerCheckBox", "Buzzer test", {500, 171});
    audioTestLabel = makeLabel(this, "audioTestLabel", "Test Audio", {106, 211, 260, 30});

    recordButton = new QPushButton("Record", this);
    recordButton->setObjectName("recordButton");
    recordButton->setGeometry(400, 209, 130, 34);
    recordButton->setFont(ui::font(12));
    recordButton->hide();

    for (QLabel* l : {ledTestLabel, ledLabel, brightnessTestLabel, brightnessLabel, buzzerTestLabel,
                      buzzerLabel, audioTestLabel}) {
        l->setEnabled(false);
        l->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        // Greyed as the desktop's grey text, dark enough to read on light green.
        QPalette p = l->palette();
        p.setColor(QPalette::Disabled, QPalette::WindowText, kGreyedText);
        l->setPalette(p);
    }
    for (QLabel* l : {ledLabel, brightnessLabel, buzzerLabel})
        l->setAlignment(Qt::AlignCenter);

    // Indicators: the small keypad's shape, then the six small ones at the right.
    const QRect places[16] = {
        {106, 282, 82, 30}, {219, 311, 82, 30}, {329, 282, 82, 30}, {106, 340, 82, 30},
        {329, 340, 82, 30}, {219, 363, 82, 30}, {219, 421, 82, 30}, {329, 421, 82, 30},
        {106, 389, 82, 30}, {106, 425, 82, 30}, {479, 290, 56, 19}, {479, 313, 56, 19},
        {479, 336, 56, 19}, {479, 359, 56, 19}, {479, 382, 56, 19}, {470, 405, 56, 19},
    };
    for (size_t i = 0; i < keyButtons.size(); ++i) {
        auto* b = new QPushButton(this);
        b->setObjectName(QStringLiteral("indicator%1").arg(i + 1));
        b->setGeometry(places[i]);
        b->setFont(ui::font(i < 10 ? 10 : 8));
        // Display only: checked once its key arrived.
        b->setCheckable(true);
        b->setFocusPolicy(Qt::NoFocus);
        b->setAttribute(Qt::WA_TransparentForMouseEvents);
        b->hide();
        keyButtons[i] = b;
    }

    closeButton = new QPushButton("Close", this);
    closeButton->setObjectName("closeButton");
    closeButton->setGeometry(600, 415, 110, 45);
    closeButton->setFont(ui::font(12));

    connect(closeButton, &QPushButton::clicked, this, &SelfTestWindow::closeWindow);
    connect(recordButton, &QPushButton::clicked, this, &SelfTestWindow::recordAudio);
    // Every key press meant for this window or any of its controls comes here
    // first.
    qApp->installEventFilter(this);
    // The application may end with the test still running (Exit in the main
    // window): let the worker go before the process tears down.
    connect(qApp, &QCoreApplication::aboutToQuit, this, &SelfTestWindow::AbandonWorker);

    ui::finishForm(this, {735, 481},
                   {.kind = ui::WindowKind::Dialog,
                    .onEscape = [this] { closeWindow(); },
                    .tabOrder = {recordButton, closeButton}});

    readInitialState();
}

SelfTestWindow::~SelfTestWindow() {
    AbandonWorker();
    ReleaseKeypad();
    // Before the hand-off state goes: the box would otherwise outlive it.
    delete keyMessage_.data();
}

void SelfTestWindow::readInitialState() {
    closeRequested = 0;
    normalColour = keyButtons[0]->palette().color(QPalette::Button);
    for (QLabel* l : {ledTestLabel, ledLabel, brightnessTestLabel, brightnessLabel, buzzerTestLabel,
                      buzzerLabel}) {
        l->setAutoFillBackground(true);
        setBackground(l, QPalette::Window, normalColour);
    }
    for (QCheckBox* c : {ledCheckBox, brightnessCheckBox, buzzerCheckBox}) {
        c->setChecked(false);
        c->setAccessibleDescription(kWaiting);
    }
    closeButton->setEnabled(true);

    OwnKeypad();
    if (ReadDeviceStatus(initial_) != 0) {
        WarnCommandFailed("Device status message error..", kLinkCaption);
        ReleaseKeypad();
        return;
    }
    brightnessLabel->setText(QString::number(initial_.ledBrightness));
    buzzerLabel->setText(QString::number(initial_.buzzerPeriod));
    SetUpIndicators(initial_.keypadType, initial_.options);

    if (prompter().message("Does Orvex have microphone support?\n", kUtilityCaption,
                           MsgButtons::YesNo, MsgIcon::Warning) == MsgAnswer::Yes) {
        recordButton->show();
        showWarning("Please make sure <USB Advanced Audio device> in Sound panel->Recording tab "
                    "is set as Default Device",
                    kUtilityCaption);
    }

    worker_ = std::thread(&SelfTestWindow::runPhases, this);
}

void SelfTestWindow::OwnKeypad() {
    keypadHold_ = std::make_unique<KeypadSequence>();
    keypadNotifier_ = bsl::makeDeviceNotifier();
    const bool watching = keypadNotifier_ &&
                          keypadNotifier_->start(
                              static_cast<uint16_t>(DEVICE_VENDOR_ID),
                              static_cast<uint16_t>(DEVICE_PRODUCT_ID), [this](uint32_t event) {
                                  // Only the keypad under test leaving ends it.
                                  if (event != BSL_DEVICE_REMOVE_COMPLETE || OpenedKeypadAttached())
                                      return;
                                  keypadLeft = true;
                                  QMetaObject::invokeMethod(
                                      this, [this] { keypadRemoved(); }, Qt::QueuedConnection);
                              });
    // Without it, a keypad that leaves is noticed at the next command.
    if (!watching)
        keypadNotifier_.reset();
}

void SelfTestWindow::ReleaseKeypad() {
    if (keypadNotifier_) {
        keypadNotifier_->stop();
        keypadNotifier_.reset();
    }
    keypadHold_.reset();
}

void SelfTestWindow::keypadRemoved() {
    // The key phase waits on its message: the test has nothing left to ask.
    if (keyMessage_)
        keyMessage_->close();
}

void SelfTestWindow::SetUpIndicators(int keypadType, int options) {
    auto show = [this](int indicator, const QString& text, const QColor& colour) {
        QPushButton* b = keyButtons[static_cast<size_t>(indicator - 1)];
        b->setText(text);
        b->setAccessibleName(text.startsWith("jack") ? "J" + text.mid(1) : "Key " + text);
        b->setAccessibleDescription("Not pressed yet");
        setIndicatorColour(b, colour);
        b->show();
    };
    if (keypadType >= 0 && keypadType <= 2) {
        for (int i = 1; i <= 8; ++i)
            show(i, QString::number(i), kGrey);
        show(9, "jack in", kGrey);
        show(10, "jack out", kGrey);
        // The whole options byte decides: 0 is the five-key and 1 the six-key
        // keypad.
        if (options == 0) {
            for (int i : {1, 3, 5})
                keyButtons[static_cast<size_t>(i - 1)]->hide();
        } else if (options == 1) {
            for (int i : {1, 3})
                keyButtons[static_cast<size_t>(i - 1)]->hide();
        }
    } else if (keypadType >= 3 && keypadType <= 5) {
        int n = 1;
        for (int i : {1, 2, 3, 5, 6, 7, 9, 10, 11, 13, 14, 15})
            show(i, QString::number(n++), normalColour);
    } else if (keypadType >= 6 && keypadType <= 8) {
        for (int i = 1; i <= 16; ++i)
            show(i, QString::number(i), normalColour);
    }
}

bool SelfTestWindow::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress && watched->isWidgetType()) {
        auto* w = static_cast<QWidget*>(watched);
        if (w == this || isAncestorOf(w)) {
            const auto* key = static_cast<QKeyEvent*>(event);
            keyPressed(IndicatorForKey(key->key(), key->nativeScanCode()));
            // The keys that operate the window still do; every other key is
            // the keypad's and goes no further.
            switch (key->key()) {
            case Qt::Key_Tab:
            case Qt::Key_Backtab:
            case Qt::Key_Space:
            case Qt::Key_Return:
            case Qt::Key_Enter:
            case Qt::Key_Escape:
                return false;
            default:
                return true;
            }
        }
    }
    return QWidget::eventFilter(watched, event);
}

void SelfTestWindow::keyPressed(int indicator) {
    if (indicator < 1 || indicator > 16)
        return;
    QPushButton* b = keyButtons[static_cast<size_t>(indicator - 1)];
    setIndicatorColour(b, IndicatorColour(indicator));
    b->setChecked(true);
    b->setAccessibleDescription("Pressed");
}

void SelfTestWindow::closeWindow() {
    if (!testRunning()) {
        // Nothing to stop (the status read failed at set-up).
        close();
        return;
    }
    closeButton->setEnabled(false);
    closeRequested = 1;
    // The key phase has nothing left to ask: its message goes with the test,
    // so the worker can see the request and end.
    if (keyMessage_)
        keyMessage_->close();
}

void SelfTestWindow::closeEvent(QCloseEvent* event) {
    if (testRunning()) {
        // The end step restores the keypad and closes the window.
        event->ignore();
        closeWindow();
        return;
    }
    event->accept();
}

void SelfTestWindow::ShowRecordFailure() {
    showWarning(kNoRecord, kAudioCaption);
}

void SelfTestWindow::recordAudio() {
    const QString state = recordButton->text();
    if (state == "Record") {
        recorder_.reset();
        const RecorderFactory& factory = recorderFactory();
        recorder_ = factory ? factory() : makeQtAudioRecorder();
        if (recorder_ && recorder_->canRecord())
            recordButton->setText("Start Record");
        else
            ShowRecordFailure();
        keyButtons[0]->setFocus();
    } else if (state == "Start Record") {
        // A recording that cannot start is reported like a device that cannot
        // record, rather than showing "Stop Record" for nothing.
        if (recorder_ && recorder_->canRecord() && recorder_->record()) {
            recordButton->setText("Stop Record");
        } else {
            ShowRecordFailure();
            recordButton->setText("Record");
        }
    } else {
        if (!recorder_ || !recorder_->stop())
            ShowRecordFailure();
        else if (recorder_->canSave())
            recorder_->play();
        recordButton->setText("Record");
    }
}

// --- worker ---

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
        setBackground(a, QPalette::Window, colour);
        setBackground(b, QPalette::Window, colour);
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
    // A phase that ended without being asked to ended on a failed command.
    if (!Stopping())
        commandFailed_ = true;
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
    if (keypadLeft || (commandFailed_ && KeypadWasUnplugged())) {
        // Nothing to restore on a keypad that has gone; one message says why
        // the test ended.
        showWarning(kKeypadUnpluggedText, kLinkCaption);
    } else {
        // Each regardless of the others.
        setKeyboardTable(initial_.keypadType);
        buzzerPeriod(initial_.buzzerPeriod);
        ledBrightness(initial_.ledBrightness);
    }
    ReleaseKeypad();
    close();
}

} // namespace orvex
