// The utility: a 3000 ms splash, then the main window.

#include <QApplication>
#include <QScreen>
#include <QTimer>

#include <cstdio>

#include "platform/qt_prompter.h"
#include "trace/session_options.h"
#include "ui/common/data_paths.h"
#include "ui/main/main_window.h"
#include "ui/main/program_setup.h"
#include "ui/main/splash_screen.h"

namespace {

void centre(QWidget* w) {
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        w->move(screen->availableGeometry().center() - w->rect().center());
}

} // namespace

int main(int argc, char* argv[]) {
    orvex::trace::SessionOptions session;
    std::string error;
    if (!orvex::trace::TakeSessionOptions(argc, argv, session, error) ||
        !orvex::trace::BeginSession(session, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 2;
    }
    QApplication app(argc, argv);
    orvex::QtPrompter prompter;
    orvex::setPrompter(&prompter);
#ifdef ORVEX_BUILD_DATA_DIR
    orvex::ui::setBuildTreeDataFolder(QStringLiteral(ORVEX_BUILD_DATA_DIR));
#endif
    orvex::ui::reportDataFolders();

    orvex::MainWindow form;
    QObject::connect(&form, &orvex::MainWindow::exitRequested, &app, &QApplication::quit,
                     Qt::QueuedConnection);
    if (!orvex::SetUpProgram(form)) {
        orvex::setPrompter(nullptr);
        orvex::trace::EndSession(0);
        return 0;
    }

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
    if (const std::string summary = orvex::trace::EndSession(rc); !summary.empty())
        std::fprintf(stderr, "%s\n", summary.c_str());
    return rc;
}
