#pragma once

// Signs of work for a call that blocks the window for seconds (a keypad
// restart and rescan): a busy cursor, a status-strip message that names the
// wait, and no click or key queued up meanwhile that would run once it ends.

#include <QPointer>
#include <QStatusBar>
#include <QString>

namespace orvex::ui {

// Held around the blocking call, e.g.
//   ui::BusyGuard busy(statusBar, "Restoring the saved settings...");
// The message shows (and is spoken) at once. Input made during the wait is
// dropped when the guard ends, except an answer to a box the call shows,
// which gets the normal cursor while it is up. The message goes with the
// guard unless the call has put its result in its place. Guards nest.
class BusyGuard {
public:
    BusyGuard(QStatusBar* strip, const QString& waitText);
    ~BusyGuard();
    BusyGuard(const BusyGuard&) = delete;
    BusyGuard& operator=(const BusyGuard&) = delete;

private:
    QPointer<QStatusBar> strip_;
    QString waitText_;
};

} // namespace orvex::ui
