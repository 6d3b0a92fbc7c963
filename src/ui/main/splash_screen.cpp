#include "ui/main/splash_screen.h"

#include <QImage>
#include <QLabel>
#include <QPalette>
#include <QPixmap>
#include <QTimer>

#include "ui/common/form_layout.h"

namespace orvex {

SplashScreen::SplashScreen(QWidget* parent)
    : QWidget(parent, Qt::SplashScreen | Qt::FramelessWindowHint | Qt::Tool) {
    setObjectName("SplashScreen");
    // 724 x 417 outside: a one-pixel border around the 722 x 415 picture area.
    setAutoFillBackground(true);
    QPalette border = palette();
    border.setColor(QPalette::Window, border.color(QPalette::Dark));
    setPalette(border);
    auto* client = new QWidget(this);
    client->setObjectName("pictureArea");
    client->setGeometry(1, 1, 722, 415);
    auto* picture = new QLabel(client);
    picture->setObjectName("pictureLabel");
    picture->setGeometry(-2, -3, 725, 419);
    // Decoded here rather than with QPixmap(file), which would also keep the
    // 1.2 MiB picture in Qt's pixmap cache after the splash has closed.
    picture->setPixmap(QPixmap::fromImage(QImage(QStringLiteral(":/images/splash.png"))));
    picture->setScaledContents(true);

    setAccessibleName(
        QString::fromUtf8("Halden Orvex™ Illuminated Configuration Utility is starting"));
    ui::finishForm(this, {724, 417},
                   {.kind = ui::WindowKind::Frame, .onEscape = {}, .tabOrder = {}});

    auto* timer = new QTimer(this);
    timer->setObjectName("closeTimer");
    timer->setSingleShot(true);
    connect(timer, &QTimer::timeout, this, &QWidget::close);
    timer->start(3000);
}

} // namespace orvex
