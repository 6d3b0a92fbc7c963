// MainWindow follows the keypad: a keypad that arrives while the window shows
// "None" is opened and read as Scan For Device does (without its warning); a
// removal closes the handle at once and shows the not-connected form. While a
// sequence owns the keypad it deals with the keypad leaving and coming back,
// and the window reads the keypad again once the sequence has ended.

#include "ui/main/main_window.h"

#include <QMetaObject>
#include <QStatusBar>

#include "bsl/bsl430.h"
#include "bsl/device_notifier.h"
#include "device/hid_link.h"
#include "device/keypad_presence.h"

namespace orvex {

namespace {

constexpr uint32_t kArrival = BSL_DEVICE_ARRIVAL;
constexpr uint32_t kRemoval = BSL_DEVICE_REMOVE_COMPLETE;

} // namespace

QString MainWindow::KeypadPluggedInText() {
    return QStringLiteral("The keypad was plugged in.");
}

QString MainWindow::KeypadSilentText() {
    return QStringLiteral("A keypad was plugged in but does not answer. Try Scan For Device.");
}

MainWindow::~MainWindow() {
    StopFollowingKeypad();
}

bool MainWindow::FollowKeypad() {
    StopFollowingKeypad();
    releasedListener_ = AddKeypadReleasedListener([this](bool reread,
                                                         const KeypadIdentity& keypad) {
        // Runs where the sequence ended; the read waits for this window's turn.
        if (keypadChangedDuringSequence_.exchange(false) || reread)
            QMetaObject::invokeMethod(
                this, [this, keypad] { followKeypadAfterSequence(keypad); }, Qt::QueuedConnection);
    });
    // A command that failed shows its own text; the strip says why.
    unpluggedListener_ = AddKeypadUnpluggedListener([this] {
        QMetaObject::invokeMethod(this, [this] {
            if (!exited_)
                statusBar->showMessage(UnpluggedText());
        });
    });
    keypadNotifier_ = bsl::makeDeviceNotifier();
    const bool watching =
        keypadNotifier_ &&
        keypadNotifier_->start(static_cast<uint16_t>(DEVICE_VENDOR_ID),
                               static_cast<uint16_t>(DEVICE_PRODUCT_ID), [this](uint32_t event) {
                                   if (event != kArrival && event != kRemoval)
                                       return;
                                   // Whether a sequence owned the keypad is decided now, not when
                                   // the window gets to the event: by then the sequence may have
                                   // ended and read the keypad itself.
                                   const bool owned = KeypadOwnedBySequence();
                                   // Another keypad leaving is not ours leaving.
                                   if (event == kRemoval && OpenedKeypadAttached())
                                       return;
                                   if (owned)
                                       keypadChangedDuringSequence_ = true;
                                   QMetaObject::invokeMethod(
                                       this,
                                       [this, event, owned] {
                                           if (event == kArrival)
                                               keypadArrived(owned);
                                           else
                                               keypadRemoved(owned);
                                       },
                                       Qt::QueuedConnection);
                               });
    if (!watching)
        keypadNotifier_.reset();
    return watching;
}

void MainWindow::StopFollowingKeypad() {
    // The notifier waits for a callback in progress; events it queued for
    // this window go with it.
    if (keypadNotifier_) {
        keypadNotifier_->stop();
        keypadNotifier_.reset();
    }
    if (releasedListener_) {
        RemoveKeypadReleasedListener(releasedListener_);
        releasedListener_ = 0;
    }
    if (unpluggedListener_) {
        RemoveKeypadUnpluggedListener(unpluggedListener_);
        unpluggedListener_ = 0;
    }
}

void MainWindow::keypadArrived(bool duringSequence) {
    if (exited_ || duringSequence)
        return; // the sequence, and the read after it, take care of it
    if (KeypadOwnedBySequence()) {
        keypadChangedDuringSequence_ = true;
        return;
    }
    // Already open: Scan For Device or a sequence got there first, or this is
    // the keypad's second interface arriving.
    if (hid_handle)
        return;
    if (!RescanQuietly()) {
        UpdatePermissionHint();
        return;
    }
    statusBar->showMessage(RefreshFromDevice() ? KeypadPluggedInText() : KeypadSilentText());
}

QString MainWindow::UnpluggedText() const {
    // A keypad sent to its loader by the upgrade has left on purpose.
    return keypadInLoader_ ? KeypadInLoaderText() : QString::fromUtf8(kKeypadUnpluggedText);
}

void MainWindow::keypadRemoved(bool duringSequence) {
    if (exited_)
        return;
    if (duringSequence || KeypadOwnedBySequence()) {
        // The handle is the sequence's. Still running (an upgrade, the self
        // test): show that the keypad has gone. Already over: it has read the
        // keypad again itself.
        if (KeypadOwnedBySequence()) {
            if (!duringSequence)
                keypadChangedDuringSequence_ = true;
            ShowNotConnectedForm();
        }
        return;
    }
    CloseUnpluggedKeypad();
    // Back already, or another keypad is still attached: open it as on arrival.
    if (KeypadAttached()) {
        keypadArrived(false);
        return;
    }
    ShowNotConnectedForm();
    statusBar->showMessage(UnpluggedText());
}

void MainWindow::followKeypadAfterSequence(const KeypadIdentity& keypad) {
    if (exited_)
        return;
    if (KeypadOwnedBySequence()) {
        keypadChangedDuringSequence_ = true; // the next one to end reads it
        return;
    }
    // Only the sequence's own keypad is taken up again quietly; when it is
    // not back, another keypad attached is announced as any arrival is.
    const auto notBack = [this] {
        UpdatePermissionHint();
        ShowNotConnectedForm();
        if (KeypadAttached())
            keypadArrived(false);
    };
    if (!hid_handle && !RescanForKeypad(keypad, false)) {
        notBack();
        return;
    }
    if (RefreshFromDevice())
        return;
    // The handle the sequence left may be dead while the keypad is back.
    if (KeypadAttached()) {
        if (RescanForKeypad(keypad, false))
            RefreshFromDevice();
        else
            notBack();
    } else {
        // Gone while the sequence owned it: said as any removal is.
        CloseUnpluggedKeypad();
        statusBar->showMessage(UnpluggedText());
    }
}

} // namespace orvex
