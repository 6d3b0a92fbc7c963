// The utility: a 3000 ms splash, then the main window.

#include <QApplication>
#include <QTimer>

#include <cstdio>
#include <string>

#include "device/hid_backend.h"
#include "platform/qt_prompter.h"
#include "trace/hid_trace.h"
#include "trace/session_options.h"
#include "ui/common/data_paths.h"
#include "ui/common/form_layout.h"
#include "ui/main/main_window.h"
#include "ui/main/program_setup.h"
#include "ui/main/recording_warning.h"
#include "ui/main/splash_screen.h"

namespace {

std::string programName() {
    return orvex::HidBackendName() == std::string("virtual") ? "orvex-config-virtual"
                                                             : "orvex-config";
}

void printHelp() {
    const std::string name = programName();
    const bool virtualKeypad = name == "orvex-config-virtual";
    std::printf("usage: %s [--trace FILE [--mask-serial]]%s [Qt options]\n"
                "\n"
                "Configure a Halden Orvex illuminated keypad: its settings, saved configuration, "
                "code\ntables, self test and firmware.%s\n"
                "\n"
                "options:\n"
                "  --trace FILE     record every HID event in FILE (also ORVEX_TRACE=FILE)\n"
                "  --mask-serial    write serial numbers as X's in the recording\n"
                "%s"
                "  --version        print the version and exit\n"
                "  --help           print this help and exit\n"
                "\n"
                "Settings are kept in $XDG_DATA_HOME/HaldenInterface/USBOrvexIllumUtilityCfg.ini.\n"
                "orvexctl does the same from scripts.\n",
                name.c_str(), virtualKeypad ? " [--replay FILE]" : "",
                virtualKeypad ? "\nThis one works on a virtual keypad: no hardware needed." : "",
                virtualKeypad ? "  --replay FILE    answer from a recorded session instead of the "
                                "virtual keypad\n"
                              : "");
}

// --help and --version are answered before anything else starts: no display,
// no recording, no keypad needed. True when one was.
bool answeredInformationOption(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            printHelp();
            return true;
        }
        if (arg == "--version") {
            std::printf("%s %s\n", programName().c_str(), ORVEX_PROGRAM_VERSION);
            return true;
        }
    }
    return false;
}

} // namespace

int main(int argc, char* argv[]) {
    orvex::trace::SessionOptions session;
    std::string error;
    if (!orvex::trace::TakeSessionOptions(argc, argv, session, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 2;
    }
    if (answeredInformationOption(argc, argv))
        return 0;
    if (!orvex::trace::BeginSession(session, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 2;
    }
    QApplication app(argc, argv);
    orvex::QtPrompter prompter;
    orvex::setPrompter(&prompter);
    orvex::WarnWhenRecordingFails(&app);
#ifdef ORVEX_BUILD_DATA_DIR
    orvex::ui::setBuildTreeDataFolder(QStringLiteral(ORVEX_BUILD_DATA_DIR));
#endif
    orvex::ui::reportDataFolders();

    orvex::MainWindow form;
    QObject::connect(&form, &orvex::MainWindow::exitRequested, &app, &QApplication::quit,
                     Qt::QueuedConnection);
    if (!orvex::SetUpProgram(form)) {
        orvex::StopWarningWhenRecordingFails();
        orvex::setPrompter(nullptr);
        orvex::trace::EndSession(0);
        return 0;
    }

    auto* splash = new orvex::SplashScreen;
    splash->setAttribute(Qt::WA_DeleteOnClose);
    orvex::ui::centreOnScreen(splash);
    splash->show();

    QTimer::singleShot(3000, &form, [&form] {
        form.startUp();
        orvex::ui::centreOnScreen(&form);
        form.show();
    });
    const int rc = app.exec();
    orvex::StopWarningWhenRecordingFails();
    orvex::setPrompter(nullptr);
    if (const std::string summary = orvex::trace::EndSession(rc); !summary.empty())
        std::fprintf(stderr, "%s\n", summary.c_str());
    if (const std::string failure = orvex::trace::WriteFailure(); !failure.empty())
        std::fprintf(stderr, "%s: %s\n", programName().c_str(), failure.c_str());
    return rc;
}
