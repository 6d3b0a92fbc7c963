#include "ui/common/ui_style.h"

#include <QPainter>
#include <QStyleOptionButton>
#include <QStylePainter>

namespace orvex::ui {

QFont font(double points, bool bold) {
    QFont f(QStringLiteral("Liberation Sans"));
    f.setStyleHint(QFont::SansSerif);
    f.setPointSizeF(points);
    f.setBold(bold);
    return f;
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
