#include "ui/common/busy_guard.h"

#include <QApplication>
#include <QCursor>
#include <QEvent>
#include <QPointer>
#include <QStatusBar>
#include <QWidget>

#include <vector>

namespace orvex::ui {

namespace {

bool isUserInput(QEvent::Type type) {
    switch (type) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::Wheel:
    case QEvent::Shortcut:
    case QEvent::ContextMenu:
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TouchEnd:
        return true;
    default:
        return false;
    }
}

// Drops input while a guard is held, and gives a box shown meanwhile the
// normal cursor and its own clicks and keys.
class InputDropper : public QObject {
public:
    using QObject::QObject;
    int holders = 0;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        const QEvent::Type type = event->type();
        if ((type == QEvent::Show || type == QEvent::Hide) && watched->isWidgetType())
            followBox(static_cast<QWidget*>(watched), type == QEvent::Show);
        if (!isUserInput(type))
            return false;
        QWidget* box = QApplication::activeModalWidget();
        if (!box)
            return true;
        if (type == QEvent::Shortcut)
            return false;
        // Window-system objects pass input on to their widgets, seen here next.
        if (!watched->isWidgetType())
            return false;
        auto* w = static_cast<QWidget*>(watched);
        return !(w == box || box->isAncestorOf(w));
    }

private:
    void followBox(QWidget* w, bool shown) {
        if (!w->isWindow() || !w->isModal())
            return;
        if (shown) {
            QApplication::setOverrideCursor(Qt::ArrowCursor);
            boxes_.push_back(w);
            return;
        }
        for (auto it = boxes_.begin(); it != boxes_.end(); ++it) {
            if (*it == w) {
                boxes_.erase(it);
                QApplication::restoreOverrideCursor();
                return;
            }
        }
    }

    std::vector<QPointer<QWidget>> boxes_;
};

InputDropper* dropper() {
    static QPointer<InputDropper> d;
    if (!d)
        d = new InputDropper(qApp);
    return d;
}

} // namespace

BusyGuard::BusyGuard(QStatusBar* strip, const QString& waitText)
    : strip_(strip), waitText_(waitText) {
    InputDropper* d = dropper();
    if (d->holders++ == 0)
        qApp->installEventFilter(d);
    QApplication::setOverrideCursor(Qt::WaitCursor);
    if (strip_) {
        strip_->showMessage(waitText_);
        // The window does not paint again until the wait is over.
        strip_->repaint();
    }
}

BusyGuard::~BusyGuard() {
    InputDropper* d = dropper();
    // What was clicked or typed during the wait arrives now, and is dropped.
    QCoreApplication::processEvents();
    if (--d->holders == 0)
        qApp->removeEventFilter(d);
    QApplication::restoreOverrideCursor();
    if (strip_ && strip_->currentMessage() == waitText_)
        strip_->clearMessage();
}

} // namespace orvex::ui
