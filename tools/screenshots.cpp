// Renders every window of the utility to PNG files against the virtual keypad,
// for reviewers: screenshots <output folder>. Runs under any Qt platform,
// offscreen included.

#include <QApplication>
#include <QDir>
#include <QPixmap>
#include <QTemporaryDir>
#include <QWidget>

#include <functional>

#include "device/hid_link.h"
#include "platform/prompter.h"
#include "ui/about/about.h"
#include "ui/codetable/code_table_editor.h"
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
    // The windows create the user's configuration file: use a scratch folder.
    QTemporaryDir dataHome;
    qputenv("XDG_DATA_HOME", dataHome.path().toLocal8Bit());
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
    // The code table editors as "Customise Code Table" opens them, and the
    // 8-way picture editor with keys changed and marked.
    {
        auto pad = sim::makeKeypad();
        pad->model.setVersion("2.1"); // a 32-byte table leaves room for 3 characters
        sim::VirtualBus::instance().plug(pad);
        const struct {
            uint8_t options;
            uint8_t type;
            const char* name;
        } layouts[] = {{0, 2, "codetable-5way"},
                       {1, 2, "codetable-6way"},
                       {2, 2, "codetable-8way"},
                       {2, 5, "codetable-12way"},
                       {2, 8, "codetable-16way"}};
        for (const auto& l : layouts) {
            pad->model.setOptions(l.options);
            auto s = pad->model.running();
            s.keypadType = l.type;
            pad->model.setRunning(s);
            Form1 form;
            form.Form1_Load();
            form.button1_Click();
            const auto editors = form.findChildren<CodeTableEditor*>();
            if (editors.isEmpty())
                continue;
            CodeTableEditor* e = editors.front();
            save(e, l.name);
            if (l.type == 2 && l.options == 2) {
                e->keyButton_Click(2);
                e->keyButton_Click(5);
                e->selectCodeCbox_SelectionChangeCommitted(0x28);
                e->modifierButton_Click(9);
                e->selectModifierCbox_SelectionChangeCommitted(1);
                e->keyButton_Click(7);
                e->keyButton_Click(10);
                save(e, "codetable-8way-edited");
            }
        }
        CloseDevice();
        sim::VirtualBus::instance().unplug(pad);
    }
    return 0;
}
