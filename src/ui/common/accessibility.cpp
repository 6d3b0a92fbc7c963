#include "ui/common/accessibility.h"

#include <QAbstractItemView>
#include <QAccessible>
#include <QAccessibleWidget>
#include <QCoreApplication>
#include <QPointer>

namespace orvex::ui {

namespace {

const char* const kWindowRole = "orvexWindowRole";

// The program's own windows: a frame or a dialog, as each says; asked each
// time, since the window says so after it was created.
class WindowAccessible : public QAccessibleWidget {
public:
    explicit WindowAccessible(QWidget* window) : QAccessibleWidget(window, QAccessible::Window) {}

    QAccessible::Role role() const override {
        const QVariant role = widget()->property(kWindowRole);
        return role.isValid() ? static_cast<QAccessible::Role>(role.toInt()) : QAccessible::Window;
    }
};

// A list known by what it sets. Its one child is its pop-up list, as with
// Qt's own combo boxes, so the entries stay reachable. The entry it shows is
// its text (AT-SPI's Text interface, read-only), which screen readers read as
// a list's value.
class NamedListAccessible : public QAccessibleWidget, public QAccessibleTextInterface {
public:
    explicit NamedListAccessible(QComboBox* list)
        : QAccessibleWidget(list, QAccessible::ComboBox) {}

    QComboBox* list() const { return static_cast<QComboBox*>(object()); }

    void* interface_cast(QAccessible::InterfaceType t) override {
        if (t == QAccessible::TextInterface)
            return static_cast<QAccessibleTextInterface*>(this);
        return QAccessibleWidget::interface_cast(t);
    }

    // --- QAccessibleTextInterface: the shown entry, nothing selectable ---
    void selection(int, int* start, int* end) const override { *start = *end = 0; }
    int selectionCount() const override { return 0; }
    void addSelection(int, int) override {}
    void removeSelection(int) override {}
    void setSelection(int, int, int) override {}
    int cursorPosition() const override { return 0; }
    void setCursorPosition(int) override {}
    QString text(int start, int end) const override {
        const QString shown = shownText(list());
        // -1: to the end, as AT-SPI asks for the whole text.
        if (end < 0 || end > shown.size())
            end = static_cast<int>(shown.size());
        if (start < 0 || end < start)
            return {};
        return shown.mid(start, end - start);
    }
    int characterCount() const override { return static_cast<int>(shownText(list()).size()); }
    QRect characterRect(int) const override { return {}; }
    int offsetAtPoint(const QPoint&) const override { return -1; }
    void scrollToSubstring(int, int) override {}
    QString attributes(int offset, int* start, int* end) const override {
        *start = offset;
        *end = offset;
        return {};
    }

    QString text(QAccessible::Text t) const override {
        switch (t) {
        case QAccessible::Name:
            return list()->accessibleName();
        case QAccessible::Value:
        case QAccessible::Description:
            return shownText(list());
        default:
            return QAccessibleWidget::text(t);
        }
    }

    int childCount() const override { return 1; }
    QAccessibleInterface* child(int index) const override {
        return index == 0 ? QAccessible::queryAccessibleInterface(list()->view()) : nullptr;
    }
    int indexOfChild(const QAccessibleInterface* child) const override {
        return child && child->object() == list()->view() ? 0 : -1;
    }

    QAccessible::State state() const override {
        QAccessible::State s = QAccessibleWidget::state();
        s.expandable = true;
        s.expanded = list()->view()->isVisible();
        s.collapsed = !s.expanded;
        return s;
    }

    QStringList actionNames() const override {
        return QStringList{showMenuAction(), pressAction()} + QAccessibleWidget::actionNames();
    }
    void doAction(const QString& action) override {
        if (action == showMenuAction() || action == pressAction()) {
            if (list()->view()->isVisible())
                list()->hidePopup();
            else
                list()->showPopup();
            return;
        }
        QAccessibleWidget::doAction(action);
    }
};

// Asked with the most derived class name first, so our classes get these
// whatever other factories exist.
QAccessibleInterface* orvexAccessibleFactory(const QString& className, QObject* object) {
    if (!object || !object->isWidgetType() || !className.startsWith(QLatin1String("orvex::")))
        return nullptr;
    auto* widget = static_cast<QWidget*>(object);
    if (auto* list = qobject_cast<NamedList*>(widget))
        return new NamedListAccessible(list);
    if (qobject_cast<Announcer*>(widget))
        return new QAccessibleWidget(widget, QAccessible::Notification);
    if (widget->isWindow())
        return new WindowAccessible(widget);
    return nullptr;
}

void tellValueChanged(QComboBox* list, const QString& before) {
    if (!QAccessible::isActive())
        return;
    QAccessibleEvent description(list, QAccessible::DescriptionChanged);
    QAccessible::updateAccessibility(&description);
    QAccessibleValueChangeEvent value(list, shownText(list));
    QAccessible::updateAccessibility(&value);
    QAccessibleTextUpdateEvent text(list, 0, before, shownText(list));
    QAccessible::updateAccessibility(&text);
}

} // namespace

void installAccessibility() {
    static bool installed = false;
    if (installed)
        return;
    installed = true;
    QAccessible::installFactory(orvexAccessibleFactory);
}

Q_COREAPP_STARTUP_FUNCTION(installAccessibility)

void setAccessibleWindowRole(QWidget* window, bool dialog) {
    window->setProperty(kWindowRole,
                        static_cast<int>(dialog ? QAccessible::Dialog : QAccessible::Window));
}

QString shownText(const QComboBox* list) {
    return list->currentIndex() >= 0 ? list->currentText() : list->placeholderText();
}

NamedList::NamedList(const QString& name, QWidget* parent) : QComboBox(parent) {
    setAccessibleName(name);
    // After the program's own change of entry and placeholder has settled.
    connect(this, &QComboBox::currentIndexChanged, this, [this] {
        QMetaObject::invokeMethod(
            this,
            [this] {
                const QString before = told_;
                told_ = shownText(this);
                if (told_ != before)
                    tellValueChanged(this, before);
            },
            Qt::QueuedConnection);
    });
}

Announcer::Announcer(QWidget* parent) : QWidget(parent) {
    installAccessibility();
    setObjectName("announcer");
    setFocusPolicy(Qt::NoFocus);
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setGeometry(0, 0, 1, 1);
    hide();
}

void speakMessagesOf(QStatusBar* strip) {
    auto* announcer = new Announcer(strip);
    announcer->setObjectName("stripAnnouncer");
    QObject::connect(strip, &QStatusBar::messageChanged, announcer,
                     [announcer](const QString& message) {
                         if (!message.isEmpty())
                             announcer->announce(message);
                     });
}

void Announcer::announce(const QString& text) {
    text_ = text;
    // Shown anew with its text, as a notification that screen readers speak.
    hide();
    setAccessibleName(text);
    show();
}

} // namespace orvex::ui
