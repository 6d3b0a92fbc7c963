#pragma once

#include <QColor>
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

// Contrast of two colours as WCAG measures it: 1 (the same) to 21 (black on
// white). Texts need 4.5.
double contrastRatio(const QColor& a, const QColor& b);
inline constexpr double kReadableContrast = 4.5;

// `preferred` where it reads on `background`; otherwise the nearest colour
// towards black or white (whichever reads) that does.
QColor readableOn(const QColor& background, const QColor& preferred);

// A fainter text colour (hints, placeholders) taken from a palette: `text`
// moved towards the button face `background` by `fade`, then made readable
// on that face as styles shade it.
QColor fadedText(const QColor& text, const QColor& background, double fade);

// A push button that wraps its text over several lines when it does not fit,
// as the designer's buttons do; text() stays the plain text.
class WrapButton : public QPushButton {
public:
    using QPushButton::QPushButton;

protected:
    void paintEvent(QPaintEvent* event) override;
};

} // namespace orvex::ui
