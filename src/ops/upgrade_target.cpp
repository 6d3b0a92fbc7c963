#include "ops/upgrade_target.h"

#include <utility>
#include <vector>

#include <hidapi/hidapi.h>

#include "bsl/device_notifier.h"
#include "device/hid_link.h"
#include "device/keypad_identity.h"

namespace orvex::firmware {

namespace {

struct AttachedLoader {
    std::string path;
    std::string usbPort; // "" when it cannot be told
};

std::vector<AttachedLoader> attachedLoaders(const LoaderIds& ids) {
    std::vector<AttachedLoader> loaders;
    uint16_t vid = 0;
    uint16_t pid = 0;
    if (!ids.Numbers(vid, pid))
        return loaders;
    hid_device_info* list = hid_enumerate(vid, pid);
    for (hid_device_info* it = list; it; it = it->next)
        if (it->path)
            loaders.push_back({it->path, bsl::UsbPortOfHidPath(it->path)});
    hid_free_enumeration(list);
    return loaders;
}

bool keypadOpen() {
    std::lock_guard lock(link_mutex());
    return hid_handle != nullptr;
}

UpgradeTarget refused(std::string why, bool nothingAttached = false) {
    UpgradeTarget t;
    t.refusal = std::move(why);
    t.nothingAttached = nothingAttached;
    return t;
}

UpgradeTarget fromLoneLoader(const std::vector<AttachedLoader>& loaders) {
    if (loaders.empty())
        return refused("No MSP430 USB bootstrap loader (USB 2047:0200) is attached.", true);
    if (loaders.size() > 1)
        return refused(kLoaderNotToldApartText);
    UpgradeTarget t;
    t.unnamedLoader = true;
    t.usbPort = loaders.front().usbPort;
    return t;
}

} // namespace

std::vector<std::string> LoaderUsbPorts(const LoaderIds& ids) {
    std::vector<std::string> ports;
    for (const auto& loader : attachedLoaders(ids))
        ports.push_back(loader.usbPort);
    return ports;
}

UpgradeTarget ChooseUpgradeTarget(const LoaderIds& ids, TargetSource source,
                                  const std::string& loaderPath) {
    const std::vector<AttachedLoader> loaders = attachedLoaders(ids);
    if (source == TargetSource::AttachedLoader) {
        if (loaderPath.empty())
            return fromLoneLoader(loaders);
        for (const auto& loader : loaders) {
            if (loader.path != loaderPath)
                continue;
            // Without its port the loader would be opened as "the first one".
            if (loader.usbPort.empty() && loaders.size() > 1)
                return refused(kLoaderNotToldApartText);
            UpgradeTarget t;
            t.usbPort = loader.usbPort;
            return t;
        }
        return refused(loaderPath + " is not an attached MSP430 USB bootstrap loader (USB "
                                    "2047:0200).",
                       loaders.empty());
    }

    if (!keypadOpen()) {
        if (loaders.empty())
            return refused(kNothingToUpgradeText, true);
        return fromLoneLoader(loaders);
    }
    const KeypadIdentity keypad = OpenKeypadIdentity();
    // Its loader must be told from any loader attached already, and the keypad
    // itself from other keypads when it comes back with its new firmware.
    if (keypad.usbPort.empty() && !loaders.empty())
        return refused(kLoaderNotToldApartText);
    if (!KeypadCanBeFoundAgain(keypad))
        return refused(kKeypadNotToldApartText);
    UpgradeTarget t;
    t.enterBootloader = true;
    t.usbPort = keypad.usbPort;
    return t;
}

} // namespace orvex::firmware
