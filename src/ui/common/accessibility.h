#pragma once

// What assistive technology (screen readers over AT-SPI) is told about the
// windows: window roles, lists named for what they set rather than for their
// current entry, and spoken announcements.

#include <QString>
#include <QWidget>

class QComboBox;

namespace orvex::ui {

// Installs the program's accessibility interfaces. Idempotent.
void installAccessibility();

// Top-level window reported as a frame (main window) or a dialog.
void setAccessibleWindowRole(QWidget* window, bool dialog);

// A list whose name says what it sets ("LED brightness"); its value is the
// entry or placeholder it shows, exposed as the value and description, so
// the name stays the same whichever entry is picked.
void nameList(QComboBox* list, const QString& name);

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

} // namespace orvex::ui
