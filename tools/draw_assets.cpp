// Draws the utility's pictures (splash, about picture, icon) into resources/.
// Run: draw_assets <resources folder>. The outputs are committed; rerun after
// changing the drawing.

#include <QDir>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

namespace {

// A stylised keypad: rounded body, a cross of lit keys and a jack socket.
void drawKeypad(QPainter& p, const QRectF& r) {
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient body(r.topLeft(), r.bottomRight());
    body.setColorAt(0, QColor(70, 74, 82));
    body.setColorAt(1, QColor(28, 30, 36));
    p.setBrush(body);
    p.setPen(QPen(QColor(150, 155, 165), r.width() / 80));
    p.drawRoundedRect(r, r.width() / 8, r.width() / 8);

    const double k = r.width() / 4.2;
    const QPointF c = r.center();
    const QPointF keys[] = {{0, -1.15}, {-1.15, 0}, {1.15, 0}, {0, 1.15}, {0, 0}};
    for (const auto& d : keys) {
        QRectF key(c.x() + d.x() * k - k / 2, c.y() + d.y() * k - k / 2, k, k);
        QRadialGradient glow(key.center(), k * 0.8);
        glow.setColorAt(0, QColor(120, 220, 255));
        glow.setColorAt(1, QColor(20, 110, 190));
        p.setBrush(glow);
        p.setPen(QPen(QColor(200, 240, 255), r.width() / 120));
        p.drawRoundedRect(key, k / 5, k / 5);
    }
    p.setBrush(QColor(10, 10, 12));
    p.setPen(QPen(QColor(190, 190, 190), r.width() / 100));
    p.drawEllipse(QPointF(r.right() - r.width() / 7, r.top() + r.width() / 7), r.width() / 18,
                  r.width() / 18);
    p.restore();
}

QImage splash() {
    QImage img(725, 419, QImage::Format_RGB32);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient bg(0, 0, 725, 419);
    bg.setColorAt(0, QColor(8, 38, 74));
    bg.setColorAt(1, QColor(0, 120, 160));
    p.fillRect(img.rect(), bg);
    drawKeypad(p, QRectF(470, 70, 210, 270));

    p.setPen(Qt::white);
    QFont title("DejaVu Sans", 34, QFont::Bold);
    p.setFont(title);
    p.drawText(QRectF(40, 90, 420, 60), Qt::AlignLeft | Qt::AlignVCenter,
               QString::fromUtf8("Halden Orvex™"));
    QFont sub("DejaVu Sans", 17);
    p.setFont(sub);
    p.drawText(QRectF(40, 150, 420, 70), Qt::AlignLeft | Qt::TextWordWrap,
               "Illuminated Keypad\nConfiguration Utility");
    p.setPen(QColor(180, 220, 235));
    p.setFont(QFont("DejaVu Sans", 11));
    p.drawText(QRectF(40, 360, 420, 30), Qt::AlignLeft | Qt::AlignVCenter,
               "Halden Interface  -  Version 2.2");
    return img;
}

QImage aboutPicture(int size) {
    QImage img(size, size, QImage::Format_ARGB32);
    img.fill(Qt::transparent);
    QPainter p(&img);
    drawKeypad(p, QRectF(size * 0.1, size * 0.04, size * 0.8, size * 0.92));
    return img;
}

} // namespace

int main(int argc, char* argv[]) {
    QGuiApplication app(argc, argv);
    const QString out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("resources");
    QDir().mkpath(out + "/images");
    bool ok = splash().save(out + "/images/splash.png");
    ok = aboutPicture(96).save(out + "/images/about.png") && ok;
    QDir().mkpath(out + "/icons");
    ok = aboutPicture(128).save(out + "/icons/orvex-config.png") && ok;
    return ok ? 0 : 1;
}
