// Renders every window of the utility to PNG files against the virtual keypad,
// for reviewers: screenshots <output folder>. Runs under any Qt platform,
// offscreen included.

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QThread>
#include <QWidget>

#include <functional>

#include "device/device_commands.h"
#include "device/hid_link.h"
#include "platform/clock.h"
#include "platform/prompter.h"
#include "ui/about/about_box.h"
#include "ui/codetable/code_table_editor.h"
#include "ui/common/data_paths.h"
#include "ui/firmware/firmware_upgrade_window.h"
#include "ui/main/main_window.h"
#include "ui/main/splash_screen.h"
#include "ui/selftest/self_test_window.h"
#include "virtual_bus.h"
#include "virtual_loader.h"

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
    // Offscreen, the windows get a desktop-sized screen rather than the
    // platform's small one, so they show at their design size.
    if (qgetenv("QT_QPA_PLATFORM") == "offscreen") {
        const QString config = dataHome.filePath("screen.json");
        QFile file(config);
        if (file.open(QIODevice::WriteOnly))
            file.write(R"({"screens": [{"name": "desktop", "width": 1920, "height": 1200}]})");
        file.close();
        qputenv("QT_QPA_PLATFORM", "offscreen:configfile=" + QFile::encodeName(config));
    }
    QApplication app(argc, argv);
#ifdef ORVEX_BUILD_DATA_DIR
    ui::setBuildTreeDataFolder(QStringLiteral(ORVEX_BUILD_DATA_DIR));
#endif
    g_out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("screenshots");
    QDir().mkpath(g_out);
    ConsolePrompter console;
    setPrompter(&console);

    auto keypad = sim::makeKeypad();
    sim::VirtualBus::instance().plug(keypad);
    {
        MainWindow form;
        form.startUp();
        save(&form, "main-window-connected");
    }
    CloseDevice();
    sim::VirtualBus::instance().unplug(keypad);
    {
        MainWindow form;
        form.startUp();
        save(&form, "main-window-none");
    }
    {
        AboutBox box;
        save(&box, "about");
    }
    {
        SplashScreen splash;
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
            MainWindow form;
            form.startUp();
            form.openCodeTableEditor();
            const auto editors = form.findChildren<CodeTableEditor*>();
            if (editors.isEmpty())
                continue;
            CodeTableEditor* e = editors.front();
            save(e, l.name);
            if (l.type == 2 && l.options == 2) {
                e->selectKey(2);
                e->selectKey(5);
                e->keyCodePicked(0x28);
                e->selectModifier(9);
                e->modifierPicked(1);
                e->selectKey(7);
                e->selectKey(10);
                save(e, "codetable-8way-edited");
            }
        }
        CloseDevice();
        sim::VirtualBus::instance().unplug(pad);
    }
    // The self test as it opens and in its key phase with F15, F17, F22 and
    // F24 received, for each keypad family; in virtual time.
    {
        struct MicrophoneYes final : Prompter {
            MsgAnswer message(const std::string&, const std::string&, MsgButtons buttons,
                              MsgIcon) override {
                return buttons == MsgButtons::YesNo ? MsgAnswer::Yes : MsgAnswer::Ok;
            }
            std::optional<std::string> openFile(const std::string&, const std::string&) override {
                return std::nullopt;
            }
            std::optional<std::string> pickFolder(const std::string&) override {
                return std::nullopt;
            }
        } yes;
        setPrompter(&yes);
        VirtualClock virtualTime;
        setClock(&virtualTime);
        auto pad = sim::makeKeypad();
        pad->model.setVersion("2.1");
        sim::VirtualBus::instance().plug(pad);
        RescanForDevice();
        const auto runUntil = [](const std::function<bool()>& done) {
            for (int i = 0; i < 20000 && !done(); ++i) {
                QApplication::processEvents();
                QThread::msleep(1);
            }
        };
        const struct {
            uint8_t options;
            uint8_t type;
            const char* name;
        } kinds[] = {{0, 0, "selftest-5way"},
                     {2, 1, "selftest-8way"},
                     {2, 4, "selftest-12way"},
                     {2, 7, "selftest-16way"}};
        for (const auto& k : kinds) {
            pad->model.setOptions(k.options);
            auto s = pad->model.running();
            s.keypadType = k.type;
            pad->model.setRunning(s);
            pad->model.clearLog();
            SelfTestWindow test;
            test.show();
            const QString setup = g_out + "/" + k.name + "-setup.png";
            if (test.grab().save(setup))
                std::printf("%s\n", qPrintable(setup));
            runUntil([&] {
                const auto log = pad->model.log();
                return !log.empty() && log.back().command == SetKeypadType;
            });
            for (int key : {Qt::Key_F15, Qt::Key_F17, Qt::Key_F22, Qt::Key_F24}) {
                QKeyEvent e(QEvent::KeyPress, key, Qt::NoModifier);
                QApplication::sendEvent(&test, &e);
            }
            save(&test, QString(k.name) + "-keys");
            test.closeButton->click();
            runUntil([&] { return !test.testRunning(); });
        }
        CloseDevice();
        sim::VirtualBus::instance().unplug(pad);
        setClock(nullptr);
        setPrompter(&console);
    }
    // The firmware upgrade window before, during and after an upgrade to the
    // 2.09 sample, in real time as orvex-config-virtual runs it.
    {
        const auto waitUntil = [](const std::function<bool()>& done) {
            for (int i = 0; i < 30000 && !done(); ++i) {
                QApplication::processEvents();
                QThread::msleep(1);
            }
        };
        const QString sample =
            ui::findDataFolder(QStringLiteral("firmware")) + "/orvex_fw_2_09.txt";
        auto pad = sim::makeKeypad();
        sim::attachLoader(pad);
        sim::VirtualBus::instance().plug(pad);
        RescanForDevice();
        DeviceStatus status;
        if (ReadDeviceStatus(status) == 0)
            FirmwareUpgradeWindow::HandOverSettings(
                status.keypadType, status.ledBrightness, status.buzzer, status.buzzerPeriodIndex(),
                status.options, status.keyCodes.data(), status.serialNumber, OpenKeypadIdentity());
        SendDeviceCommand(EnterBootloader);
        FirmwareUpgradeWindow w;
        w.show();
        waitUntil([&] { return w.deviceCountLabel->text().startsWith("Found"); });
        w.fileNameEdit->setText(sample);
        save(&w, "firmware-ready");
        w.upgradeButton->click();
        waitUntil([&] { return w.progressBar->value() >= 45; });
        save(&w, "firmware-upgrading");
        waitUntil([&] { return !w.upgrading() && !w.countBusy(); });
        save(&w, "firmware-done");
        CloseDevice();
        sim::VirtualBus::instance().unplug(pad);
    }
    return 0;
}
