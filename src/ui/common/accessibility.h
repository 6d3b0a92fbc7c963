#pragma once

// What assistive technology (screen readers over AT-SPI) is told about the
// windows: window roles, lists named for what they set rather than for their
// current entry, and spoken announcements.

#include <QComboBox>
#include <QStatusBar>
#include <QString>
#include <QWidget>

namespace orvex::ui {

// Installs the program's accessibility interfaces; done when the application
// starts, so every widget gets them from its creation. Idempotent.
void installAccessibility();

// Top-level window reported as a frame (main window) or a dialog.
void setAccessibleWindowRole(QWidget* window, bool dialog);

// A pick list known by what it sets ("LED brightness") whichever entry it
// shows; the entry, or the placeholder, is its value and description.
class NamedList : public QComboBox {
    Q_OBJECT
public:
    NamedList(const QString& name, QWidget* parent);

private:
    QString told_; // the shown text assistive technology was last told
};

// The text a list shows: its entry, or its placeholder when none is selected.
QString shownText(const QComboBox* list);

// Speaks short messages ("Done!") through the screen reader: an unobtrusive
// notification that reappears with each new text, as a live region does.
class Announcer : public QWidget {
    Q_OBJECT
public:
    explicit Announcer(QWidget* parent);
    void announce(const QString& text);
    QString lastText() const { return text_; }

private:
    QString text_;
};

// Every message `strip` shows is spoken as it appears, through an Announcer:
// a status bar's text changes silently for a screen reader otherwise.
void speakMessagesOf(QStatusBar* strip);

} // namespace orvex::ui
