#include <QLabel>
#include <QPalette>
#include <QPushButton>

#include <algorithm>
#include <cmath>

#include "ui/selftest/self_test_shared.h"

namespace orvex::selftest {

namespace {

// Above the 4.5:1 of small text, so the greyed text keeps a margin.
constexpr double kGreyedContrast = 5.0;

double relativeLuminance(const QColor& c) {
    auto channel = [](double v) {
        return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
}

QColor mix(const QColor& from, const QColor& to, double share) {
    auto channel = [share](double a, double b) { return a + (b - a) * share; };
    return QColor::fromRgbF(static_cast<float>(channel(from.redF(), to.redF())),
                            static_cast<float>(channel(from.greenF(), to.greenF())),
                            static_cast<float>(channel(from.blueF(), to.blueF())));
}

} // namespace

double ContrastRatio(const QColor& a, const QColor& b) {
    const double la = relativeLuminance(a);
    const double lb = relativeLuminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

QColor GreyedTextOn(const QColor& background, const QColor& text) {
    // A text that does not read even at full strength gives way to black or
    // white.
    QColor full = text;
    if (ContrastRatio(full, background) < kGreyedContrast)
        full = ContrastRatio(Qt::black, background) >= ContrastRatio(Qt::white, background)
                   ? QColor(Qt::black)
                   : QColor(Qt::white);
    // The greyest mix of text and background that still reads.
    double share = 0.0;
    for (double s = 0.05; s < 1.0; s += 0.05) {
        if (ContrastRatio(mix(full, background, s), background) < kGreyedContrast)
            break;
        share = s;
    }
    const QColor greyed = mix(full, background, share);
    return QColor(greyed.red(), greyed.green(), greyed.blue());
}

void PaintRow(QLabel* label, const QColor& background) {
    QPalette p = label->palette();
    p.setColor(QPalette::Window, background);
    const QColor text =
        background == kLightGreen
            ? kGreyedOnGreen
            : GreyedTextOn(background, p.color(QPalette::Active, QPalette::WindowText));
    p.setColor(QPalette::Disabled, QPalette::WindowText, text);
    label->setPalette(p);
}

void SetIndicatorColour(QPushButton* b, const QColor& colour) {
    QPalette p = b->palette();
    p.setColor(QPalette::Button, colour);
    b->setPalette(p);
    const QColor text = ContrastRatio(Qt::black, colour) >= ContrastRatio(Qt::white, colour)
                            ? Qt::black
                            : Qt::white;
    b->setStyleSheet(QStringLiteral("QPushButton { background-color: %1; color: %2; "
                                    "border: 1px solid rgb(100, 100, 100); border-radius: 2px; }")
                         .arg(colour.name(), text.name()));
}

} // namespace orvex::selftest
