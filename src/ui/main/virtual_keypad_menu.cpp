// The -virtual program's "Virtual keypad" menu: the virtual keypad can be
// unplugged and plugged in again, as a real one, to try what the window does
// when the keypad comes and goes. ORVEX_VIRTUAL_UNPLUGGED=1 starts the program
// with the keypad unplugged.

#include <QAction>
#include <QMenu>
#include <QMenuBar>

#include "trace_replay.h"
#include "ui/main/main_window.h"
#include "ui/main/program_setup.h"
#include "virtual_bus.h"

namespace orvex {

namespace {

constexpr uint16_t kLoaderVendorId = 0x2047;
constexpr uint16_t kLoaderProductId = 0x0200;

} // namespace

bool SetUpProgram(MainWindow& window) {
    // A replayed session has no virtual keypad to plug.
    if (sim::TraceReplay::active())
        return true;
    QMenu* menu = window.menuBar->addMenu(QStringLiteral("&Virtual keypad"));
    menu->setObjectName("virtualKeypadMenu");
    QAction* unplug = menu->addAction(QStringLiteral("&Unplug Keypad"));
    unplug->setObjectName("unplugKeypadAction");
    QAction* plug = menu->addAction(QStringLiteral("&Plug In Keypad"));
    plug->setObjectName("plugKeypadAction");

    // The keypad also leaves by itself (restarts, its loader): the menu
    // offers what is possible when it opens.
    const auto offer = [unplug, plug] {
        sim::VirtualBus& bus = sim::VirtualBus::instance();
        const bool present = bus.present(sim::defaultKeypad());
        // While it is its own bootstrap loader the keypad is not there to plug.
        const bool inLoader = !bus.enumerate(kLoaderVendorId, kLoaderProductId).empty();
        unplug->setEnabled(present);
        plug->setEnabled(!present && !inLoader);
    };
    offer();
    QObject::connect(menu, &QMenu::aboutToShow, menu, offer);
    QObject::connect(unplug, &QAction::triggered, menu, [offer] {
        sim::VirtualBus::instance().unplug(sim::defaultKeypad());
        offer();
    });
    QObject::connect(plug, &QAction::triggered, menu, [offer] {
        sim::VirtualBus::instance().plug(sim::defaultKeypad());
        offer();
    });
    return true;
}

} // namespace orvex
