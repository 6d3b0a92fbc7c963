#include "ui/common/ui_style.h"

#include <QPainter>
#include <QStyleOptionButton>
#include <QStylePainter>

#include <algorithm>
#include <cmath>

namespace orvex::ui {

QFont font(double points, bool bold) {
    QFont f(QStringLiteral("Liberation Sans"));
    f.setStyleHint(QFont::SansSerif);
    f.setPointSizeF(points);
    f.setBold(bold);
    return f;
}

namespace {

double luminance(const QColor& c) {
    const auto channel = [](double v) {
        return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
    };
    const QColor rgb = c.toRgb();
    return 0.2126 * channel(rgb.redF()) + 0.7152 * channel(rgb.greenF()) +
           0.0722 * channel(rgb.blueF());
}

QColor mix(const QColor& from, const QColor& to, double t) {
    const auto at = [t](double a, double b) {
        return static_cast<int>(std::lround(a + (b - a) * t));
    };
    const QColor f = from.toRgb();
    const QColor g = to.toRgb();
    return QColor(at(f.red(), g.red()), at(f.green(), g.green()), at(f.blue(), g.blue()));
}

} // namespace

double contrastRatio(const QColor& a, const QColor& b) {
    const double la = luminance(a);
    const double lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

QColor readableOn(const QColor& background, const QColor& preferred) {
    if (contrastRatio(background, preferred) >= kReadableContrast)
        return preferred;
    // Towards whichever end reads better on this background, in small steps,
    // so the colour keeps as much of its hue as it can.
    const QColor end = contrastRatio(background, Qt::black) >= contrastRatio(background, Qt::white)
                           ? QColor(Qt::black)
                           : QColor(Qt::white);
    for (int step = 1; step <= 20; ++step) {
        const QColor c = mix(preferred, end, step / 20.0);
        if (contrastRatio(background, c) >= kReadableContrast)
            return c;
    }
    return end;
}

QColor fadedText(const QColor& text, const QColor& background, double fade) {
    // Styles shade a face towards the text a little (Fusion draws a dark
    // button's face a third lighter): read on the shaded face as well.
    const bool lightText = luminance(text) > luminance(background);
    const QColor shaded = lightText ? background.lighter(140) : background.darker(110);
    QColor c = readableOn(background, mix(text, background, fade));
    return readableOn(shaded, c);
}

void WrapButton::paintEvent(QPaintEvent*) {
    QStylePainter p(this);
    QStyleOptionButton option;
    initStyleOption(&option);
    const QString label = option.text;
    option.text.clear();
    p.drawControl(QStyle::CE_PushButton, option);
    const QRect area = rect().adjusted(4, 1, -4, -1);
    p.setFont(font());
    p.setPen(
        palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::ButtonText));
    QString shown = label;
    shown.remove(QLatin1Char('&'));
    p.drawText(area, Qt::AlignCenter | Qt::TextWordWrap, shown);
}

} // namespace orvex::ui
