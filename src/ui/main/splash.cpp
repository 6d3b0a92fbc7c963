#include "ui/main/splash.h"

#include <QLabel>
#include <QPixmap>
#include <QTimer>

namespace orvex {

halden_splash_form::halden_splash_form(QWidget* parent)
    : QWidget(parent, Qt::SplashScreen | Qt::FramelessWindowHint | Qt::Tool) {
    setObjectName("halden_splash_form");
    setFixedSize(722, 415);
    auto* picture = new QLabel(this);
    picture->setObjectName("pictureBox1");
    picture->setGeometry(-2, -3, 725, 419);
    picture->setPixmap(QPixmap(":/images/splash.png"));
    picture->setScaledContents(true);

    auto* timer = new QTimer(this);
    timer->setObjectName("timer1");
    timer->setSingleShot(true);
    connect(timer, &QTimer::timeout, this, &QWidget::close);
    timer->start(3000);
}

} // namespace orvex
