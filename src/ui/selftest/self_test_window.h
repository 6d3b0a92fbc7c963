#pragma once

#include <QColor>
#include <QPointer>
#include <QWidget>

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "bsl/device_notifier.h"

#include "device/device_commands.h"
#include "device/keypad_presence.h"
#include "ui/selftest/audio_recorder.h"

class QCheckBox;
class QLabel;
class QMessageBox;
class QPushButton;

namespace orvex {

// The self-test window: flashes the key LEDs, sweeps the brightness and the
// buzzer on a background worker, then colours an on-screen key for each key
// code the keypad sends. Closing it puts the keypad type, buzzer period and
// LED brightness back as they were read when it opened.
class SelfTestWindow : public QWidget {
    Q_OBJECT
public:
    explicit SelfTestWindow(QWidget* parent = nullptr);
    ~SelfTestWindow() override;

    // The recorder "Record" creates; null restores the platform recorder.
    static void setRecorderFactory(RecorderFactory factory);

    // One command each, one-byte payload; the exchange result.
    static int ledBrightness(uint8_t level);
    // Warns "Unable to set Buzzer Period.." when the keypad refuses.
    static int buzzerPeriod(uint8_t period);
    static int setKeyboardTable(uint8_t keypadType);
    static int statusBuzzer(uint8_t value);

    // Display changes from the worker: carried out on the window's thread,
    // which then holds 80 ms so each step can be seen. The caller waits.
    void AddTextToObject(QLabel* label, const QString& text);
    void AmendCheckBox(QCheckBox* box, bool ticked);

    // The indicator (1-16) a key colours, or 0. Matches Qt's F15-F24 and the
    // Linux input codes KEY_F15-KEY_F24 (185-194), which X11 and Wayland report
    // as native scan codes offset by 8 whatever keysym the desktop maps them to.
    static int IndicatorForKey(int qtKey, quint32 nativeScanCode);
    static QColor IndicatorColour(int indicator);

    // The phases are running or their end step has not run yet.
    bool testRunning() const { return worker_.joinable(); }

    // 0 while the test may run, 1 once the user asked to close.
    std::atomic<int> closeRequested{0};
    // The keypad left while the test owned it: the test ends at once, as
    // after a failed command.
    std::atomic<bool> keypadLeft{false};
    // The colour of indicator 1 as built: the row labels' background.
    QColor normalColour;

    // --- controls ---
    QLabel* headingLabel; // heading
    QLabel* ledTestLabel;
    QLabel* ledLabel;
    QCheckBox* ledCheckBox;
    QLabel* brightnessTestLabel;
    QLabel* brightnessLabel;
    QCheckBox* brightnessCheckBox;
    QLabel* buzzerTestLabel;
    QLabel* buzzerLabel;
    QCheckBox* buzzerCheckBox;
    QLabel* audioTestLabel;
    QPushButton* recordButton;
    std::array<QPushButton*, 16> keyButtons; // indicators 1-16
    QPushButton* closeButton;

public slots:
    void closeWindow();
    void recordAudio();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void readInitialState();
    void SetUpIndicators(int keypadType, int options);
    void keyPressed(int indicator);
    void ShowRecordFailure();
    void SetRecordText(const QString& text);

    // Worker side.
    void runPhases();
    void phasesEnded();
    bool LedPhase();
    bool BrightnessPhase();
    bool BuzzerPhase();
    void KeyPhase();
    void SetRowColour(QLabel* a, QLabel* b, const QColor& colour);
    bool Stopping() const {
        return closeRequested.load() == 1 || abandoned_.load() || keypadLeft.load();
    }
    // The test owns the keypad from its status read to its end step, and
    // hears of the keypad leaving.
    void OwnKeypad();
    void ReleaseKeypad();
    void keypadRemoved();

    // Runs `step` on the window's thread and waits until it calls the given
    // completion. Returns false when the window gave up on the worker instead.
    bool OnWindowThread(std::function<void(std::function<void()> done)> step);
    // Releases a worker waiting on the window and joins it; no restore.
    void AbandonWorker();

    DeviceStatus initial_;
    std::unique_ptr<KeypadSequence> keypadHold_;
    std::unique_ptr<bsl::DeviceNotifier> keypadNotifier_;
    std::thread worker_;
    std::mutex handoffMutex_;
    std::condition_variable handoffCv_;
    std::atomic<bool> abandoned_{false};
    std::unique_ptr<AudioRecorder> recorder_;
    // The key-phase message while it is open.
    QPointer<QMessageBox> keyMessage_;
};

} // namespace orvex
