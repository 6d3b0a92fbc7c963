#pragma once

// The firmware upgrade without a window: loader start-up, download, block
// verification and restart through the loader library, and the settings
// restore that follows a successful upgrade. Progress goes to a callback as
// (percent, text); the texts carry their own CR LF line ends. Plain C++, so a
// command-line tool can run the same sequence.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "firmware/image_checks.h"
#include "firmware/loader_store.h"

namespace orvex::firmware {

// Fixed 8-bit buffers the texts are handed to the loader library in.
inline constexpr size_t kSelectionBufferSize = 100;
inline constexpr size_t kPathBufferSize = 200;
inline constexpr size_t kPasswordBufferSize = 200;
inline constexpr size_t kRamLoaderBufferSize = 20000;
inline constexpr size_t kResetBufferSize = 100;
// A path must leave room for the terminating zero of its buffer.
inline constexpr size_t kMaxPathBytes = kPathBufferSize - 1;

inline constexpr uint32_t kRamLoaderEntry = 0x2504;
inline constexpr uint32_t kResetVectorAddress = 0xFFFF;
inline constexpr uint32_t kMassEraseWaitMs = 2000;
inline constexpr uint32_t kRamLoaderWaitStepMs = 1000;
// The RAM loader whose reset image must be sent twice: it buffers written data
// (registers too) until the next write elsewhere flushes it.
inline constexpr const char* kTwiceResetLoaderVersion = "00.06.05.34";

// Inserts zeros after the two-character "0x" prefix so the text has six
// characters: "0x200" becomes "0x0200". Six or more characters stay as they are.
std::string padHexStringValue(const std::string& text);

// The loader device's ids as texts ("0x2047", "0x0200") and the index of the
// device used (always the first).
struct LoaderIds {
    std::string myVID;
    std::string myPID;
    std::string myDeviceIndex = "0";
    // The USB port the keypad was on, where its loader comes up; "" when it
    // cannot be told.
    std::string usbPort;

    // "VID" and "PID" of the built-in resources, widened by padHexStringValue.
    static LoaderIds FromResources();
    // "PID=0x0200,VID=0x2047,DEVICEINDEX=0", then ",PORT=" and the port when
    // it is known, so that only the keypad's own loader is opened.
    std::string Selection() const;
    // The ids as numbers; false when either text is not "0x" and hex digits.
    bool Numbers(uint16_t& vendorId, uint16_t& productId) const;
};

// Number of attached loader devices (0 when the ids cannot be read).
uint32_t CountLoaderDevices(const LoaderIds& ids);

// The USB port of the keypad open on the device link; "" when none is open or
// the port cannot be told.
std::string OpenKeypadUsbPort();

// Follows "Memory verification error" when the loader gave no answer at all:
// a RAM loader before API 9 whose flash write failed may answer nothing more
// until the keypad is powered up again.
inline constexpr const char* kLoaderStoppedAnsweringText =
    "The keypad's loader stopped answering. Unplug the keypad and plug it in again, then finish "
    "the upgrade with \"Update Orvex\u2122 Keypad Firmware\" or `orvexctl resume IMAGE`.";

inline constexpr const char* kLoaderNotToldApartText =
    "More than one MSP430 USB bootstrap loader (USB 2047:0200) is attached and the keypad's "
    "own cannot be told apart. Leave only the keypad's loader plugged in and try again.";

// "00." and the two characters at positions 16-17, 25-26 and 33-34 of the
// loader's version text, dot-separated; empty when the text is too short.
std::string VersionFromLoaderText(const std::string& text);

// Whole seconds between two 32-bit millisecond ticks (wrapping), truncated.
uint32_t ProgrammingSeconds(uint32_t startTick, uint32_t stopTick);

using ProgressReport = std::function<void(int percent, const std::string& text)>;

// One upgrade. Not thread-safe; run it on one worker.
class UpgradeSequence {
public:
    explicit UpgradeSequence(ProgressReport report, LoaderIds ids = LoaderIds::FromResources(),
                             LoaderImages images = BuiltInLoaderImages().value_or(LoaderImages{}));

    // The worker's whole job: refuses an empty or over-long path and an image
    // that CheckFirmwareImage turns down before anything is sent, then
    // CustomSelectedFirmware. True when the new image was verified and the
    // device restarted into it. Reads the file once: what is checked is what
    // is sent and verified.
    bool Run(const std::string& path);
    // The same for an image read before (ReadFirmwareImage): a caller that
    // has checked it hands over the very bytes it checked.
    bool Run(const FirmwareImage& image);

    // Opens the ROM loader, sends the password (the default one after a mass
    // erase), downloads and starts the RAM loader, opens it, checks its
    // version and erases the reset vector segment. True when ready.
    bool DownloadStartUp();
    // Start-up with one retry, erase pass (unless mass-erased), download,
    // verification, restart, all on the image's bytes as read once.
    bool CustomSelectedFirmware(const FirmwareImage& image);
    // Writes the brown-out reset request; false when the loader refused it.
    bool TriggerForcedBOR();

    // Set from UpgradePlan::keepPasswordAs: after a verified upgrade the
    // image's vector table is kept there as the next upgrade's password.
    std::string keepPasswordAs;

    // Why the last Run ended false, in a sentence for the caller's closing
    // message: the keypad waits in its loader for another try, or its loader
    // stopped answering and must be unplugged first.
    std::string FailureText() const;

    bool massErased = false;
    // The verification got no answer: the loader stopped answering or left.
    bool loaderStoppedAnswering = false;
    uint32_t startProgramTime = 0;
    uint32_t stopProgramTime = 0;
    uint32_t totalProgramTime = 0;
    std::string bslVersion;

private:
    void report(int percent, const std::string& text) const;

    ProgressReport report_;
    LoaderIds ids_;
    LoaderImages images_;
};

// The keypad settings in force before an upgrade, as the main window read
// them; captured stays false until a status read succeeded.
struct KeypadSettingsHandOver {
    bool captured = false;
    int keypad_table = 0;
    int led_brightness = 0;
    int buzzer_enable = 0;
    int buzzer_period = 0; // list index: the value sent is one more
    int no_of_keys = 0;    // options byte
    std::array<int, 20> key_codes{};
    std::string serialNumber;
    // The USB port the keypad comes back on after the upgrade ("" when it
    // cannot be told: then only a keypad alone on the bus is taken).
    std::string usbPort;
};

enum class RestoreResult {
    NothingCaptured, // no settings were ever read: nothing sent, user told
    KeypadMissing,   // the keypad did not come back after the upgrade
    Stopped,         // a command failed; its message was shown
    Restored,        // every setting sent and stored as power-up settings
};

inline constexpr uint32_t kRestartWaitMs = 3000;
inline constexpr const char* kNotRestoredText =
    "The keypad settings were not read before the upgrade, so they cannot be sent back. "
    "The keypad keeps the settings its new firmware starts with..";

// Runs on the caller's thread and blocks it for the two 3000 ms restart waits
// and the exchanges: rescan; options, serial number, factory reset; rescan;
// keypad type, the 20 table bytes, LED brightness, buzzer, buzzer period + 1,
// write defaults. Each failure shows its warning and ends the restore. Both
// rescans look for the upgraded keypad only (on settings.usbPort, the second
// also by the serial number just sent); one that is not back ends the restore
// after the "not connected" warning.
RestoreResult RestoreSettingsAfterUpgrade(const KeypadSettingsHandOver& settings);

} // namespace orvex::firmware
