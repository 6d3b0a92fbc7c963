#include <QLabel>
#include <QPalette>
#include <QPushButton>

#include "ui/common/ui_style.h"
#include "ui/selftest/self_test_shared.h"

namespace orvex::selftest {

namespace {

// Above the 4.5:1 of small text, so the greyed text keeps a margin.
constexpr double kGreyedContrast = 5.0;

QColor mix(const QColor& from, const QColor& to, double share) {
    auto channel = [share](double a, double b) { return a + (b - a) * share; };
    return QColor::fromRgbF(static_cast<float>(channel(from.redF(), to.redF())),
                            static_cast<float>(channel(from.greenF(), to.greenF())),
                            static_cast<float>(channel(from.blueF(), to.blueF())));
}

} // namespace

QColor GreyedTextOn(const QColor& background, const QColor& text) {
    // A text that does not read even at full strength gives way to black or
    // white.
    QColor full = text;
    if (ui::contrastRatio(full, background) < kGreyedContrast)
        full = ui::contrastRatio(Qt::black, background) >= ui::contrastRatio(Qt::white, background)
                   ? QColor(Qt::black)
                   : QColor(Qt::white);
    // The greyest mix of text and background that still reads.
    double share = 0.0;
    for (double s = 0.05; s < 1.0; s += 0.05) {
        if (ui::contrastRatio(mix(full, background, s), background) < kGreyedContrast)
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
    const QColor text = ui::contrastRatio(Qt::black, colour) >= ui::contrastRatio(Qt::white, colour)
                            ? Qt::black
                            : Qt::white;
    b->setStyleSheet(QStringLiteral("QPushButton { background-color: %1; color: %2; "
                                    "border: 1px solid rgb(100, 100, 100); border-radius: 2px; }")
                         .arg(colour.name(), text.name()));
}

} // namespace orvex::selftest
