// Renders every window of the utility to PNG files against the virtual keypad,
// for reviewers: screenshots <output folder>. Runs under any Qt platform,
// offscreen included.

#include <QApplication>
#include <QDir>
#include <QPixmap>
#include <QWidget>

#include <functional>

#include "device/hid_link.h"
#include "platform/prompter.h"
#include "ui/about/about.h"
#include "ui/main/form1.h"
#include "ui/main/splash.h"
#include "virtual_bus.h"

using namespace orvex;

namespace {

QString g_out;

void save(QWidget* w, const QString& name) {
    w->show();
    QApplication::processEvents();
    const QString path = g_out + "/" + name + ".png";
    if (w->grab().save(path))
        std::printf("%s\n", qPrintable(path));
    else
        std::fprintf(stderr, "could not write %s\n", qPrintable(path));
}

} // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    g_out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("screenshots");
    QDir().mkpath(g_out);
    ConsolePrompter console;
    setPrompter(&console);

    auto keypad = sim::makeKeypad();
    sim::VirtualBus::instance().plug(keypad);
    {
        Form1 form;
        form.Form1_Load();
        save(&form, "form1-connected");
    }
    CloseDevice();
    sim::VirtualBus::instance().unplug(keypad);
    {
        Form1 form;
        form.Form1_Load();
        save(&form, "form1-none");
    }
    {
        about box;
        save(&box, "about");
    }
    {
        halden_splash_form splash;
        save(&splash, "splash");
    }
    return 0;
}
