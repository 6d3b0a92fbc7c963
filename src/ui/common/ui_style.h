#pragma once

#include <QFont>
#include <QPushButton>
#include <QString>

namespace orvex::ui {

// Texts in the sources are UTF-8 (the ™ sign).
inline QString q(const char* utf8) {
    return QString::fromUtf8(utf8);
}

// The one sans-serif family of every window, at a size in points.
QFont font(double points, bool bold = false);

// A push button that wraps its text over several lines when it does not fit,
// as the designer's buttons do; text() stays the plain text.
class WrapButton : public QPushButton {
public:
    using QPushButton::QPushButton;

protected:
    void paintEvent(QPaintEvent* event) override;
};

} // namespace orvex::ui
