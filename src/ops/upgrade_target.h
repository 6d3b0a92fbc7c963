#pragma once

// Which bootstrap loader an upgrade may program, decided once, before anything
// is sent, for the window and orvexctl alike. Every MSP430 device in its
// loader answers the keypad loader's ids, so a loader is programmed only when
// it is known to be the keypad's: the one the keypad open on the link restarts
// into on its USB port after EnterBootloader, one the user named, or a lone
// loader the user says is the keypad's. (A loader on the port an upgrade
// journal names is the journal's business: FindJournalKeypad.)

#include <string>
#include <vector>

#include "firmware/upgrade_sequence.h"

namespace orvex::firmware {

inline constexpr const char* kNothingToUpgradeText =
    "No keypad is open and no MSP430 USB bootstrap loader (USB 2047:0200) is attached, so "
    "there is nothing to upgrade. Plug the keypad in and try again..";

struct UpgradeTarget {
    // The keypad open on the link is sent to its loader (EnterBootloader),
    // which comes up on usbPort.
    bool enterBootloader = false;
    // A loader attached without a running keypad that nothing names: it may
    // be another device's, so it is programmed only when the user says it is
    // the keypad's (the window's question; orvexctl's --recover).
    bool unnamedLoader = false;
    // The USB port of the loader to program; "" when it cannot be told (then
    // only a loader alone on the bus is programmed).
    std::string usbPort;
    // Why nothing may be programmed; empty when the target above may be.
    std::string refusal;
    // With a refusal: no keypad and no loader to program is attached at all.
    bool nothingAttached = false;
};

enum class TargetSource {
    // The keypad open on the link (the firmware button, orvexctl flash); with
    // none open, a lone loader (unnamedLoader).
    OpenKeypad,
    // A keypad already in its loader, never a running keypad (orvexctl flash
    // --recover, the loader of a journal without a port).
    AttachedLoader,
};

// The USB ports of the attached loaders, in hidapi's order ("" for a loader
// whose port cannot be told).
std::vector<std::string> LoaderUsbPorts(const LoaderIds& ids);

// `loaderPath`, for AttachedLoader only: the hidapi path of the loader the
// user named (orvexctl --path); "" for the one loader attached.
UpgradeTarget ChooseUpgradeTarget(const LoaderIds& ids, TargetSource source,
                                  const std::string& loaderPath = "");

} // namespace orvex::firmware
