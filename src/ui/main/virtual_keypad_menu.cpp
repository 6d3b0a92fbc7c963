// The -virtual program's "Virtual keypad" menu: the virtual keypad can be
// unplugged and plugged in again, as a real one, to try what the window does
// when the keypad comes and goes, also while it waits in its bootstrap loader
// (pulled out during an upgrade). ORVEX_VIRTUAL_UNPLUGGED=1 starts the program
// with the keypad unplugged.

#include <QAction>
#include <QMenu>
#include <QMenuBar>

#include "trace_replay.h"
#include "ui/main/main_window.h"
#include "ui/main/program_setup.h"
#include "virtual_bus.h"
#include "virtual_loader.h"

namespace orvex {

namespace {

constexpr uint16_t kLoaderVendorId = 0x2047;
constexpr uint16_t kLoaderProductId = 0x0200;

// The keypad as its bootstrap loader, when it is one now.
std::shared_ptr<sim::VirtualLoader> loaderOnTheBus() {
    sim::VirtualBus& bus = sim::VirtualBus::instance();
    for (const auto& entry : bus.enumerate(kLoaderVendorId, kLoaderProductId)) {
        int iface = 0;
        uint64_t generation = 0;
        if (auto loader = std::dynamic_pointer_cast<sim::VirtualLoader>(
                bus.resolve(entry.path, iface, generation)))
            return loader;
    }
    return nullptr;
}

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
    // offers what is possible when it opens. A keypad pulled out of its
    // loader powers up again as its flash lets it: its firmware when an
    // application is there, else its ROM loader.
    auto pulledLoader = std::make_shared<std::shared_ptr<sim::VirtualLoader>>();
    const auto offer = [unplug, plug, pulledLoader] {
        sim::VirtualBus& bus = sim::VirtualBus::instance();
        const bool present = bus.present(sim::defaultKeypad());
        const bool inLoader = loaderOnTheBus() != nullptr;
        unplug->setEnabled(present || inLoader);
        plug->setEnabled(!present && !inLoader);
    };
    offer();
    QObject::connect(menu, &QMenu::aboutToShow, menu, offer);
    QObject::connect(unplug, &QAction::triggered, menu, [offer, pulledLoader] {
        sim::VirtualBus& bus = sim::VirtualBus::instance();
        if (auto loader = loaderOnTheBus()) {
            bus.unplug(loader);
            *pulledLoader = loader;
        } else {
            bus.unplug(sim::defaultKeypad());
        }
        offer();
    });
    QObject::connect(plug, &QAction::triggered, menu, [offer, pulledLoader] {
        const std::shared_ptr<sim::VirtualLoader> loader = std::move(*pulledLoader);
        pulledLoader->reset();
        if (loader && !loader->model.applicationPresent())
            loader->powerUpWithPurPin();
        else
            sim::VirtualBus::instance().plug(sim::defaultKeypad());
        offer();
    });
    return true;
}

} // namespace orvex
