#include "ui/common/keyboard.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QFocusFrame>
#include <QKeyEvent>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QPointer>
#include <QProxyStyle>
#include <QPushButton>

namespace orvex::ui {

namespace {

// The ring lies outside the control: 1 px light, then 2 px dark next to it,
// so it shows on light and dark backgrounds and on any key colour.
constexpr int kRingWidth = 3;

class FocusRingStyle : public QProxyStyle {
public:
    int pixelMetric(PixelMetric metric, const QStyleOption* option,
                    const QWidget* widget) const override {
        if (metric == PM_FocusFrameHMargin || metric == PM_FocusFrameVMargin)
            return kRingWidth;
        return QProxyStyle::pixelMetric(metric, option, widget);
    }
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* data) const override {
        if (hint == SH_FocusFrame_AboveWidget)
            return 1;
        if (hint == SH_FocusFrame_Mask)
            return 0;
        return QProxyStyle::styleHint(hint, option, widget, data);
    }
};

class FocusRing : public QFocusFrame {
public:
    FocusRing() { setObjectName("qt_focus_ring"); }

protected:
    // Placed when the focus moves, the ring hides itself if its control lies
    // outside the view then; a scroll area brings the control into view only
    // afterwards (Tab), or later (wheel, scroll bar). It comes back with it.
    bool eventFilter(QObject* watched, QEvent* event) override {
        const bool taken = QFocusFrame::eventFilter(watched, event);
        if (event->type() == QEvent::Move || event->type() == QEvent::Resize)
            showWhereControlShows();
        return taken;
    }

    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        const QRect outer = rect();
        const QRegion light = QRegion(outer) - QRegion(outer.adjusted(1, 1, -1, -1));
        const QRegion dark =
            QRegion(outer.adjusted(1, 1, -1, -1)) -
            QRegion(outer.adjusted(kRingWidth, kRingWidth, -kRingWidth, -kRingWidth));
        p.setClipRegion(light);
        p.fillRect(outer, Qt::white);
        p.setClipRegion(dark);
        p.fillRect(outer, Qt::black);
    }

private:
    void showWhereControlShows() {
        const QWidget* control = widget();
        if (!control || !isHidden() || !parentWidget() || !control->isVisible())
            return;
        if (parentWidget()->rect().intersects(geometry())) {
            raise();
            show();
        }
    }
};

bool wantsRing(const QWidget* w) {
    if (!w || w->isWindow() || !w->parentWidget())
        return false;
    if (qobject_cast<const QMenuBar*>(w) || qobject_cast<const QMenu*>(w))
        return false;
    // Open pick lists and menus mark their current entry themselves.
    return w->window()->windowType() != Qt::Popup;
}

class FocusMark : public QObject {
public:
    explicit FocusMark(QObject* parent) : QObject(parent) {
        style_ = new FocusRingStyle;
        style_->setParent(this);
        connect(qApp, &QApplication::focusChanged, this,
                [this](QWidget*, QWidget* now) { follow(now); });
        follow(QApplication::focusWidget());
    }

private:
    void follow(QWidget* now) {
        if (!wantsRing(now)) {
            if (ring_)
                ring_->setWidget(nullptr);
            return;
        }
        // The ring lives beside the control it marks and goes with its parent.
        if (!ring_) {
            ring_ = new FocusRing;
            ring_->setStyle(style_);
        }
        ring_->setWidget(now);
    }

    QProxyStyle* style_;
    QPointer<FocusRing> ring_;
};

// Enter on a closed list, typed characters, arrows and the wheel would pick
// an entry at once; here they open the list, and nothing is picked until the
// user chooses in it.
class ExplicitChoiceGuard : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        auto* list = static_cast<QComboBox*>(watched);
        if (list->view()->isVisible())
            return false;
        if (event->type() == QEvent::Wheel)
            return true;
        if (event->type() != QEvent::KeyPress)
            return false;
        const auto* key = static_cast<QKeyEvent*>(event);
        switch (key->key()) {
        case Qt::Key_Up:
        case Qt::Key_Down:
        case Qt::Key_PageUp:
        case Qt::Key_PageDown:
        case Qt::Key_Home:
        case Qt::Key_End:
        case Qt::Key_Enter:
        case Qt::Key_Return:
            list->showPopup();
            return true;
        default:
            break;
        }
        const QString text = key->text();
        if (!text.isEmpty() && text.at(0).isPrint() && !(key->modifiers() & Qt::ControlModifier)) {
            list->showPopup();
            return true;
        }
        return false;
    }
};

// Escape that no control took (an open list closes itself first) reaches the
// window and closes it.
class EscapeCloses : public QObject {
public:
    EscapeCloses(QWidget* window, std::function<void()> close)
        : QObject(window), close_(std::move(close)) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched != parent() || event->type() != QEvent::KeyPress)
            return false;
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() != Qt::Key_Escape || key->modifiers() != Qt::NoModifier)
            return false;
        close_();
        return true;
    }

private:
    std::function<void()> close_;
};

} // namespace

void installFocusMark() {
    if (!qApp || qApp->findChild<QObject*>("focusMark", Qt::FindDirectChildrenOnly))
        return;
    auto* mark = new FocusMark(qApp);
    mark->setObjectName("focusMark");
}

void pressButtonsOnEnter(QWidget* window) {
    // A push button that is its own default presses itself on Enter, in any
    // window and not only in dialogs.
    for (QPushButton* b : window->findChildren<QPushButton*>())
        b->setAutoDefault(true);
}

void closeOnEscape(QWidget* window, std::function<void()> close) {
    window->installEventFilter(new EscapeCloses(window, std::move(close)));
}

void setTabChain(const std::vector<QWidget*>& order) {
    QWidget* previous = nullptr;
    for (QWidget* w : order) {
        if (!w)
            continue;
        if (previous)
            QWidget::setTabOrder(previous, w);
        previous = w;
    }
}

void commitOnlyOnExplicitChoice(QComboBox* list) {
    list->installEventFilter(new ExplicitChoiceGuard(list));
}

} // namespace orvex::ui
