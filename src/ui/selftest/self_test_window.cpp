#include "ui/selftest/self_test_window.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QKeySequence>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>

#include "bsl/bsl430.h"
#include "bsl/device_notifier.h"
#include "device/hid_link.h"
#include "platform/clock.h"
#include "platform/prompter.h"
#include "platform/qt_prompter.h"
#include "ui/common/form_layout.h"
#include "ui/common/ui_style.h"
#include "ui/selftest/self_test_shared.h"

namespace orvex {

using namespace selftest;

namespace {

const char* const kUtilityCaption = "HaldenOrvexUtility";
const char* const kAudioCaption = "Halden AudioOrvex";
const char* const kNoRecord = "This device doesn't record.";

// The buttons' keys: every other key belongs to the keypad under test. Set as
// shortcuts, not "&" mnemonics, so the texts read exactly as they are.
const QKeySequence kCloseShortcut(Qt::ALT | Qt::Key_C);
const QKeySequence kRecordShortcut(Qt::ALT | Qt::Key_R);

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

// The tooltip tells the key; a screen reader hears it as the button's shortcut.
void giveShortcut(QPushButton* b, const QKeySequence& keys) {
    b->setShortcut(keys);
    b->setToolTip(keys.toString(QKeySequence::NativeText));
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
        WarnCommandFailed("Unable to set Buzzer Period..", kLinkCaption);
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
    giveShortcut(recordButton, kRecordShortcut);
    recordButton->hide();

    for (QLabel* l : {ledTestLabel, ledLabel, brightnessTestLabel, brightnessLabel, buzzerTestLabel,
                      buzzerLabel, audioTestLabel}) {
        l->setEnabled(false);
        l->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    }
    // On the window itself; the six that fill their row are painted below.
    PaintRow(audioTestLabel, palette().color(QPalette::Window));
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
    giveShortcut(closeButton, kCloseShortcut);

    connect(closeButton, &QPushButton::clicked, this, &SelfTestWindow::closeWindow);
    connect(recordButton, &QPushButton::clicked, this, &SelfTestWindow::recordAudio);
    // Every key press meant for this window or any of its controls comes here
    // first.
    qApp->installEventFilter(this);
    // The application may end with the test still running (Exit in the main
    // window): let the worker go before the process tears down.
    connect(qApp, &QCoreApplication::aboutToQuit, this, &SelfTestWindow::AbandonWorker);

    // Escape does not close this window: it is one of the keys under test.
    ui::finishForm(this, {735, 481},
                   {.kind = ui::WindowKind::Dialog,
                    .onEscape = nullptr,
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
        PaintRow(l, normalColour);
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
        SetIndicatorColour(b, colour);
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
            // Until the key phase the keypad types its own table, which may
            // hold Return, Escape, Tab or Space: every key is the keypad's and
            // goes no further. The buttons answer only their Alt shortcuts.
            const auto* key = static_cast<QKeyEvent*>(event);
            keyPressed(IndicatorForKey(key->key(), key->nativeScanCode()));
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void SelfTestWindow::keyPressed(int indicator) {
    if (indicator < 1 || indicator > 16)
        return;
    QPushButton* b = keyButtons[static_cast<size_t>(indicator - 1)];
    SetIndicatorColour(b, IndicatorColour(indicator));
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

void SelfTestWindow::SetRecordText(const QString& text) {
    recordButton->setText(text);
    // A new text takes the button's shortcut away.
    giveShortcut(recordButton, kRecordShortcut);
}

void SelfTestWindow::recordAudio() {
    const QString state = recordButton->text();
    if (state == "Record") {
        recorder_.reset();
        const RecorderFactory& factory = recorderFactory();
        recorder_ = factory ? factory() : makeQtAudioRecorder();
        if (recorder_ && recorder_->canRecord())
            SetRecordText("Start Record");
        else
            ShowRecordFailure();
        keyButtons[0]->setFocus();
    } else if (state == "Start Record") {
        // A recording that cannot start is reported like a device that cannot
        // record, rather than showing "Stop Record" for nothing.
        if (recorder_ && recorder_->canRecord() && recorder_->record()) {
            SetRecordText("Stop Record");
        } else {
            ShowRecordFailure();
            SetRecordText("Record");
        }
    } else {
        if (!recorder_ || !recorder_->stop())
            ShowRecordFailure();
        else if (recorder_->canSave())
            recorder_->play();
        SetRecordText("Record");
    }
}

} // namespace orvex
