#include "ui/common/form_layout.h"

#include <QEvent>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QImage>
#include <QScreen>
#include <QScrollArea>
#include <QStyle>
#include <QWidget>

#include <algorithm>
#include <cmath>

#include "ui/common/accessibility.h"
#include "ui/common/keyboard.h"
#include "ui/common/ui_style.h"

namespace orvex::ui {

namespace {

// Room a window manager's frame takes before a window has one: the title bar
// above, a thin border elsewhere.
constexpr QMargins kFrameAllowance{6, 32, 6, 6};

// Design geometry was drawn at 96 dpi.
constexpr int kDesignDotsPerMetre = 3780;

QScreen* screenFor(const QWidget* window, QPoint at) {
    if (QScreen* s = QGuiApplication::screenAt(at))
        return s;
    if (window && window->screen())
        return window->screen();
    return QGuiApplication::primaryScreen();
}

// The frame the window manager gave the window; the allowance above while it
// has none yet (`known` false).
QMargins frameMargins(const QWidget* window, bool* known = nullptr) {
    if (known)
        *known = false;
    if (window->isVisible()) {
        const QRect outer = window->frameGeometry();
        const QRect inner = window->geometry();
        const QMargins m(inner.left() - outer.left(), inner.top() - outer.top(),
                         outer.right() - inner.right(), outer.bottom() - inner.bottom());
        if (m.top() > 0) {
            if (known)
                *known = true;
            return m;
        }
    }
    return kFrameAllowance;
}

// Our controls carry object names; the parts Qt builds inside its own widgets
// (viewports, scroll bars, popups) do not, or start with "qt_", and lay
// themselves out.
bool isDesignedControl(const QWidget* w) {
    const QString name = w->objectName();
    return !w->isWindow() && !name.isEmpty() && !name.startsWith(QLatin1String("qt_"));
}

void scaleControls(QWidget* parent, double scale) {
    for (QObject* child : parent->children()) {
        auto* w = qobject_cast<QWidget*>(child);
        if (!w || !isDesignedControl(w))
            continue;
        if (!parent->layout())
            w->setGeometry(scaled(w->geometry(), scale));
        scaleControls(w, scale);
    }
}

// Moves the window's controls into a scroll area the size of what the screen
// allows; the pinned bars stay at the top and bottom edges.
QSize scrollInside(QWidget* window, QSize full, QSize room, QWidget* top, QWidget* bottom) {
    const int topHeight = top ? top->height() : 0;
    const int bottomHeight = bottom ? bottom->height() : 0;
    auto* content = new QWidget;
    content->setObjectName("formContent");
    const auto children = window->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
    for (QWidget* w : children) {
        if (w == top || w == bottom || w->isWindow())
            continue;
        const QRect place = w->geometry().translated(0, -topHeight);
        const bool hidden = w->testAttribute(Qt::WA_WState_Hidden) &&
                            w->testAttribute(Qt::WA_WState_ExplicitShowHide);
        w->setParent(content);
        w->setGeometry(place);
        w->setVisible(!hidden);
    }
    content->setFixedSize(full.width(), full.height() - topHeight - bottomHeight);

    // A scroll bar for one direction takes room from the other: the window
    // grows by it where the screen allows, so a window only a little too
    // tall gets one bar, not a second one that cuts its buttons.
    const int bar = window->style()->pixelMetric(QStyle::PM_ScrollBarExtent);
    bool across = full.width() > room.width();
    bool down = full.height() > room.height();
    down = down || (across && full.height() + bar > room.height());
    across = across || (down && full.width() + bar > room.width());
    const QSize size(std::min(full.width() + (down ? bar : 0), room.width()),
                     std::min(full.height() + (across ? bar : 0), room.height()));
    auto* area = new QScrollArea(window);
    area->setObjectName("formScrollArea");
    area->setFrameShape(QFrame::NoFrame);
    area->setWidget(content);
    area->setGeometry(0, topHeight, size.width(), size.height() - topHeight - bottomHeight);
    if (top)
        top->setGeometry(0, 0, size.width(), topHeight);
    if (bottom)
        bottom->setGeometry(0, size.height() - bottomHeight, size.width(), bottomHeight);
    return size;
}

// Keeps a window's title bar and frame on screen each time it is shown.
class KeepOnScreen : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Show && watched == parent()) {
            auto* window = static_cast<QWidget*>(watched);
            placeOnScreen(window, window->pos());
            // A window that scrolls opens on its focused control.
            auto* area =
                window->findChild<QScrollArea*>("formScrollArea", Qt::FindDirectChildrenOnly);
            if (QWidget* focus = window->focusWidget(); area && focus && area->isAncestorOf(focus))
                area->ensureWidgetVisible(focus);
        }
        return QObject::eventFilter(watched, event);
    }
};

} // namespace

double fontScale() {
    const QFont reference = font(8.25);
    QImage designDevice(1, 1, QImage::Format_ARGB32);
    designDevice.setDotsPerMeterX(kDesignDotsPerMetre);
    designDevice.setDotsPerMeterY(kDesignDotsPerMetre);
    const double design = QFontMetricsF(reference, &designDevice).height();
    const double now = QFontMetricsF(reference).height();
    if (design <= 0 || now <= 0)
        return 1.0;
    return now / design;
}

QRect scaled(const QRect& design, double scale) {
    const int left = static_cast<int>(std::lround(design.x() * scale));
    const int top = static_cast<int>(std::lround(design.y() * scale));
    const int right = static_cast<int>(std::lround((design.x() + design.width()) * scale));
    const int bottom = static_cast<int>(std::lround((design.y() + design.height()) * scale));
    return {left, top, right - left, bottom - top};
}

QSize usableScreenSize(const QWidget* window) {
    const QScreen* screen = screenFor(window, window->pos());
    if (!screen)
        return {QWIDGETSIZE_MAX, QWIDGETSIZE_MAX};
    const QMargins m = frameMargins(window);
    const QSize available = screen->availableGeometry().size();
    return {std::max(1, available.width() - m.left() - m.right()),
            std::max(1, available.height() - m.top() - m.bottom())};
}

void finishForm(QWidget* window, QSize designSize, const FormOptions& options) {
    installAccessibility();
    installFocusMark();
    setAccessibleWindowRole(window, options.kind == WindowKind::Dialog);
    pressButtonsOnEnter(window);
    if (options.onEscape)
        closeOnEscape(window, options.onEscape);

    const double scale = fontScale();
    QSize size = designSize;
    if (scale != 1.0) {
        scaleControls(window, scale);
        size = scaled(QRect(QPoint(0, 0), designSize), scale).size();
    }
    const QSize room = usableScreenSize(window);
    if (size.width() > room.width() || size.height() > room.height())
        size = scrollInside(window, size, room, options.pinnedTop, options.pinnedBottom);
    window->setFixedSize(size);
    setTabChain(options.tabOrder);
    // Tab order is a ring; the window opens on its start.
    for (QWidget* w : options.tabOrder) {
        const bool hidden = w && w->testAttribute(Qt::WA_WState_Hidden) &&
                            w->testAttribute(Qt::WA_WState_ExplicitShowHide);
        if (w && !hidden && w->isEnabled() && (w->focusPolicy() & Qt::TabFocus)) {
            w->setFocus(Qt::OtherFocusReason);
            break;
        }
    }
    window->installEventFilter(new KeepOnScreen(window));
}

void placeOnScreen(QWidget* window, QPoint topLeft) {
    const QScreen* screen = screenFor(window, topLeft);
    if (!screen)
        return;
    const QRect available = screen->availableGeometry();
    bool frameKnown = false;
    const QMargins m = frameMargins(window, &frameKnown);
    const int outerWidth = window->width() + m.left() + m.right();
    const int outerHeight = window->height() + m.top() + m.bottom();
    const int x = std::clamp(topLeft.x(), available.left(),
                             std::max(available.left(), available.right() + 1 - outerWidth));
    const int y = std::clamp(topLeft.y(), available.top(),
                             std::max(available.top(), available.bottom() + 1 - outerHeight));
    if (!frameKnown && y == available.top()) {
        // Not framed yet (X11 as the window is first shown): the window system
        // would take this corner for the client area's and put the title bar
        // above the screen. Place the client area below the room its frame
        // will take instead.
        const QPoint client(x + m.left(), y + m.top());
        if (client != window->geometry().topLeft())
            window->setGeometry(QRect(client, window->size()));
        return;
    }
    if (QPoint(x, y) != window->pos())
        window->move(x, y);
}

void centreOnScreen(QWidget* window) {
    if (const QScreen* screen = screenFor(window, window->pos()))
        placeOnScreen(window, screen->availableGeometry().center() - window->rect().center());
}

} // namespace orvex::ui
