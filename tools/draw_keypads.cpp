// Draws the three keypad pictures of the code table editor (5-, 6- and 8-way,
// 579 x 655) into <folder>: draw_keypads <folder>. The key caps sit exactly
// under the editor's key buttons. The outputs are committed; rerun after
// changing the drawing.

#include <QDir>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

#include <array>

namespace {

constexpr int kWidth = 579;
constexpr int kHeight = 655;
// The editor places the picture at (12, 71); these are its key places in
// picture coordinates.
constexpr std::array<QRect, 8> kKeys = {
    QRect{98, 95, 123, 67},   QRect{236, 118, 131, 93}, QRect{391, 95, 126, 67},
    QRect{98, 222, 148, 85},  QRect{372, 222, 133, 85}, QRect{236, 326, 131, 93},
    QRect{236, 451, 131, 93}, QRect{373, 451, 132, 93},
};

bool keyShown(int key, int ways) {
    if (ways == 5)
        return key != 1 && key != 3 && key != 5;
    if (ways == 6)
        return key != 1 && key != 3;
    return true;
}

void drawBody(QPainter& p) {
    const QRectF body(50, 24, 480, 608);
    // Soft shadow under the keypad.
    for (int i = 8; i > 0; --i) {
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0, 0, 0, 10));
        p.drawRoundedRect(body.translated(4, 6).adjusted(-i, -i, i, i), 40 + i, 40 + i);
    }
    QLinearGradient g(body.topLeft(), body.bottomRight());
    g.setColorAt(0, QColor(78, 82, 90));
    g.setColorAt(1, QColor(34, 36, 42));
    p.setBrush(g);
    p.setPen(QPen(QColor(160, 165, 175), 3));
    p.drawRoundedRect(body, 40, 40);
    // Inner panel.
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(20, 22, 26), 2));
    p.drawRoundedRect(body.adjusted(18, 60, -18, -18), 26, 26);
}

void drawBranding(QPainter& p, int ways) {
    p.setPen(QColor(215, 220, 228));
    QFont brand("DejaVu Sans", 17, QFont::Bold);
    brand.setLetterSpacing(QFont::AbsoluteSpacing, 3);
    p.setFont(brand);
    p.drawText(QRectF(80, 34, 300, 44), Qt::AlignLeft | Qt::AlignVCenter, "HALDEN ORVEX");
    // Audio jack socket.
    const QPointF jack(478, 56);
    QRadialGradient ring(jack, 20);
    ring.setColorAt(0, QColor(30, 30, 30));
    ring.setColorAt(0.55, QColor(10, 10, 12));
    ring.setColorAt(0.7, QColor(190, 190, 195));
    ring.setColorAt(1, QColor(90, 90, 95));
    p.setPen(Qt::NoPen);
    p.setBrush(ring);
    p.drawEllipse(jack, 18, 18);
    p.setPen(QColor(170, 175, 185));
    p.setFont(QFont("DejaVu Sans", 8));
    p.drawText(QRectF(438, 76, 80, 16), Qt::AlignCenter, "AUDIO");
    // Buzzer grille in the free corner.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(18, 18, 22));
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 5; ++c)
            p.drawEllipse(QPointF(120 + c * 20, 462 + r * 20), 4, 4);
    p.setPen(QColor(150, 155, 165));
    QFont model("DejaVu Sans", 12, QFont::Bold);
    model.setLetterSpacing(QFont::AbsoluteSpacing, 2);
    p.setFont(model);
    p.drawText(QRectF(50, 572, 480, 30), Qt::AlignCenter,
               QStringLiteral("%1-WAY NAVIGATION KEYPAD").arg(ways));
}

void drawKey(QPainter& p, const QRect& place) {
    const QRectF r = QRectF(place).adjusted(3, 3, -3, -3);
    // Illumination ring.
    QRadialGradient glow(r.center(), std::max(r.width(), r.height()) * 0.75);
    glow.setColorAt(0.6, QColor(90, 200, 255, 160));
    glow.setColorAt(1, QColor(90, 200, 255, 0));
    p.setPen(Qt::NoPen);
    p.setBrush(glow);
    p.drawRoundedRect(r.adjusted(-6, -6, 6, 6), 18, 18);
    // Cap: light, so that the code written on it stays readable.
    QLinearGradient cap(r.topLeft(), r.bottomLeft());
    cap.setColorAt(0, QColor(246, 248, 251));
    cap.setColorAt(1, QColor(204, 212, 222));
    p.setBrush(cap);
    p.setPen(QPen(QColor(120, 190, 235), 2));
    p.drawRoundedRect(r, 12, 12);
}

QImage keypadPicture(int ways) {
    QImage img(kWidth, kHeight, QImage::Format_RGB32);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient bg(0, 0, 0, kHeight);
    bg.setColorAt(0, QColor(236, 238, 242));
    bg.setColorAt(1, QColor(208, 212, 220));
    p.fillRect(img.rect(), bg);
    drawBody(p);
    drawBranding(p, ways);
    for (int k = 1; k <= 8; ++k)
        if (keyShown(k, ways))
            drawKey(p, kKeys[static_cast<size_t>(k - 1)]);
    return img;
}

} // namespace

int main(int argc, char* argv[]) {
    QGuiApplication app(argc, argv);
    const QString out =
        argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("resources/keypads");
    QDir().mkpath(out);
    bool ok = true;
    for (int ways : {5, 6, 8})
        ok = keypadPicture(ways).save(QStringLiteral("%1/brevo%2Way.jpg").arg(out).arg(ways), "JPG",
                                      92) &&
             ok;
    return ok ? 0 : 1;
}
