// The utility: a 3000 ms splash, then the main window.

#include <QApplication>
#include <QScreen>
#include <QTimer>

#include "device/hid_backend.h"
#include "platform/qt_prompter.h"
#include "ui/main/main_window.h"
#include "ui/main/splash_screen.h"

namespace {

void centre(QWidget* w) {
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        w->move(screen->availableGeometry().center() - w->rect().center());
}

} // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    orvex::QtPrompter prompter;
    orvex::setPrompter(&prompter);
    orvex::InitHidBackend();

    orvex::MainWindow form;
    QObject::connect(&form, &orvex::MainWindow::exitRequested, &app, &QApplication::quit,
                     Qt::QueuedConnection);

    auto* splash = new orvex::SplashScreen;
    splash->setAttribute(Qt::WA_DeleteOnClose);
    centre(splash);
    splash->show();

    QTimer::singleShot(3000, &form, [&form] {
        form.startUp();
        centre(&form);
        form.show();
    });
    const int rc = app.exec();
    orvex::setPrompter(nullptr);
    return rc;
}
