#pragma once

// The keypad's bootstrap loader on the virtual bus (0x2047:0x0200, one HID
// interface). After EnterBootloader the keypad leaves the bus and this loader
// arrives as the ROM loader; Load PC 0x2504 makes it drop off and come back as
// the RAM loader; a reset (brown-out through PMMCTL0, watchdog through WDTCTL)
// boots the programmed image: the loader leaves and the keypad comes back with
// the version found in the image (see loader_model.h), or the ROM loader comes
// back when the reset vector is blank. A reset vector pointing anywhere else
// leaves a dead chip: the loader leaves and nothing comes back until
// powerUpWithPurPin(). All delays are in virtual time.

#include <memory>

#include "loader_model.h"
#include "virtual_bus.h"

namespace orvex::sim {

class VirtualLoader : public BusDevice, public std::enable_shared_from_this<VirtualLoader> {
public:
    VirtualLoader();
    LoaderModel model;
    // The keypad this loader belongs to; it comes back after a reset.
    std::weak_ptr<VirtualKeypad> keypad;
    uint32_t ramLoaderArrivalMs = 1500; // Load PC 0x2504 until the RAM loader is back
    uint32_t romArrivalMs = 1000;       // reset without an application
    uint32_t keypadReturnMs = 1200;     // reset until the keypad is back

    // Wire the model's restart requests to the bus; call once after creation.
    void attach();
    // The keypad powered up with its PUR pin held high: the ROM loader comes
    // onto the bus whatever the flash holds (how a dead chip is revived).
    void powerUpWithPurPin();
    // The keypad unplugged and plugged in again: whatever was running stops;
    // the programmed application comes back as the keypad, a blank reset
    // vector brings up the ROM loader, anything else nothing at all.
    void replug();

    void write(int iface, const uint8_t* data, size_t length, uint64_t now) override;
    int read(int iface, uint8_t* data, size_t length, uint64_t now) override;
    void arrived() override;
    std::string port() const override;
};

// A loader with the factory image, not on the bus yet (tests plug it).
std::shared_ptr<VirtualLoader> makeLoader();
// Gives the keypad its loader: EnterBootloader brings it onto the bus. The
// loader's flash starts with a factory image of the keypad's version.
std::shared_ptr<VirtualLoader> attachLoader(const std::shared_ptr<VirtualKeypad>& keypad);

} // namespace orvex::sim
