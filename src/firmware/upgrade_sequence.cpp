#include "firmware/upgrade_sequence.h"

#include <algorithm>
#include <charconv>

#include <hidapi/hidapi.h>

#include "bsl/bsl430.h"
#include "bsl/device_notifier.h"
#include "device/device_commands.h"
#include "device/hid_link.h"
#include "device/keypad_identity.h"
#include "firmware/loader_images.h"
#include "platform/clock.h"
#include "platform/prompter.h"

namespace orvex::firmware {

namespace {

// A zero-filled buffer of `size` bytes holding the start of `text`. The loader
// library reads a TI-TXT text up to its "q" line or the first zero byte.
std::string FixedBuffer(std::string_view text, size_t size) {
    std::string buffer(size, '\0');
    text.copy(buffer.data(), std::min(text.size(), size));
    return buffer;
}

bool ParseHexId(const std::string& text, uint16_t& value) {
    if (text.size() < 3 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X'))
        return false;
    const char* first = text.data() + 2;
    const char* last = text.data() + text.size();
    const auto [end, ec] = std::from_chars(first, last, value, 16);
    return ec == std::errc() && end == last;
}

} // namespace

std::string padHexStringValue(const std::string& text) {
    size_t zeros = 0;
    if (text.size() < 4)
        zeros = 3;
    else if (text.size() == 4)
        zeros = 2;
    else if (text.size() == 5)
        zeros = 1;
    std::string out = text;
    out.insert(std::min<size_t>(2, out.size()), zeros, '0');
    return out;
}

LoaderIds LoaderIds::FromResources() {
    LoaderIds ids;
    ids.myVID = padHexStringValue(std::string(LoaderResource("VID")));
    ids.myPID = padHexStringValue(std::string(LoaderResource("PID")));
    return ids;
}

std::string LoaderIds::Selection() const {
    return "PID=" + myPID + ",VID=" + myVID + ",DEVICEINDEX=" + myDeviceIndex +
           (usbPort.empty() ? "" : ",PORT=" + usbPort);
}

std::string OpenKeypadUsbPort() {
    return OpenKeypadIdentity().usbPort;
}

bool LoaderIds::Numbers(uint16_t& vendorId, uint16_t& productId) const {
    return ParseHexId(myVID, vendorId) && ParseHexId(myPID, productId);
}

uint32_t CountLoaderDevices(const LoaderIds& ids) {
    uint16_t vid = 0;
    uint16_t pid = 0;
    if (!ids.Numbers(vid, pid))
        return 0;
    return BSL_NumOfUSBDevices(vid, pid);
}

std::string VersionFromLoaderText(const std::string& text) {
    if (text.size() < 35)
        return {};
    return "00." + text.substr(16, 2) + "." + text.substr(25, 2) + "." + text.substr(33, 2);
}

uint32_t ProgrammingSeconds(uint32_t startTick, uint32_t stopTick) {
    return (stopTick - startTick) / 1000u;
}

UpgradeSequence::UpgradeSequence(ProgressReport report, LoaderIds ids, LoaderImages images)
    : report_(std::move(report)), ids_(std::move(ids)), images_(std::move(images)) {}

void UpgradeSequence::report(int percent, const std::string& text) const {
    if (report_)
        report_(percent, text);
}

namespace {

// What Run refuses before reading the file; empty when the path will do.
std::string RefusedPath(const std::string& path) {
    if (path.empty())
        return "No file specified\r\n";
    // The loader library takes the path in a 200-byte buffer with its zero.
    if (path.size() > kMaxPathBytes)
        return "The firmware file path is too long (more than " + std::to_string(kMaxPathBytes) +
               " bytes). Move the file to a folder with a shorter path.\r\n";
    return {};
}

} // namespace

bool UpgradeSequence::Run(const std::string& path) {
    massErased = false;
    loaderStoppedAnswering = false;
    if (const std::string why = RefusedPath(path); !why.empty()) {
        report(0, why);
        return false;
    }
    FirmwareImage image;
    if (const std::string why = ReadFirmwareImage(path, image); !why.empty()) {
        report(0, why + "\r\n");
        return false;
    }
    return Run(image);
}

bool UpgradeSequence::Run(const FirmwareImage& image) {
    massErased = false;
    loaderStoppedAnswering = false;
    if (const std::string why = RefusedPath(image.path); !why.empty()) {
        report(0, why);
        return false;
    }
    // The start-up erases the reset vector segment (or the whole flash after a
    // refused password), so an image that cannot be downloaded and started is
    // refused before the loader hears anything.
    if (const std::string why = CheckFirmwareImage(image); !why.empty()) {
        report(0, why + "\r\n");
        return false;
    }
    // Any other MSP430 loader on the bus answers the same ids: program only
    // the keypad's.
    if (ids_.usbPort.empty() && CountLoaderDevices(ids_) > 1) {
        report(0, std::string(kLoaderNotToldApartText) + "\r\n");
        return false;
    }
    // Without the real RAM loader the keypad would be left in a loader that
    // cannot program it.
    if (images_.ramLoader.empty()) {
        report(0, MissingRamLoaderText(LoaderFolders::FromEnvironment()) + "\r\n");
        return false;
    }
    const bool result = CustomSelectedFirmware(image);
    if (result && !keepPasswordAs.empty()) {
        std::string error;
        if (!KeepPasswordFromText(image.text, keepPasswordAs, error))
            report(100, "\r\nThe keypad's new password could not be kept: " + error + "\r\n");
    }
    // Nothing more goes to the loader; let go of it.
    BSL_closeTI_Text();
    BSL_close_BSL();
    return result;
}

bool UpgradeSequence::DownloadStartUp() {
    const std::string selection = FixedBuffer(ids_.Selection(), kSelectionBufferSize);

    BSL_setFamily(3);
    BSL_setCom(2);
    if (BSL_initialize_BSL(selection.c_str()) == 1) {
        report(0, "USB device was unplugged!\r\n");
        return false;
    }

    const std::string passwordText = FixedBuffer(images_.password, kPasswordBufferSize);
    const DataBlock_ stored = BSL_readTI_Text(passwordText, 32);
    const DataBlock_ defaultPassword = BSL_getDefaultPass();

    report(5, "");
    const auto sendPassword = [this](const DataBlock_& password) {
        const uint8_t result = BSL_RX_Password(password);
        loaderStoppedAnswering = loaderStoppedAnswering || result == BSL_ERR_TIMEOUT;
        return result;
    };
    if (sendPassword(stored) != 0) {
        // The loader has mass-erased the device: only the blank password fits.
        massErased = true;
        report(5, "Mass erase occured!\r\n");
        sleep_ms(kMassEraseWaitMs);
        if (sendPassword(defaultPassword) != 0) {
            report(10, "Password FAILED!\r\n");
            return false;
        }
    }
    report(10, "Password Sent Successfully\r\n");

    const std::string ramLoader = FixedBuffer(images_.ramLoader, kRamLoaderBufferSize);
    const std::string& version = images_.ramLoaderVersion;
    report(20, "Sending RAM BSL v" + version + "\r\n");
    BSL_RX_TXT(ramLoader, 1);
    BSL_LoadPC(kRamLoaderEntry);
    report(30, "Done RAM BSL v" + version + "\r\n");
    BSL_close_BSL();

    // The device re-enumerates as the RAM loader meanwhile.
    report(35, "");
    sleep_ms(kRamLoaderWaitStepMs);
    report(40, "");
    sleep_ms(kRamLoaderWaitStepMs);
    report(45, "");
    sleep_ms(kRamLoaderWaitStepMs);

    startProgramTime = static_cast<uint32_t>(tick_ms());

    BSL_setFamily(3);
    BSL_setCom(2);
    if (BSL_initialize_BSL(selection.c_str()) == 1) {
        report(50, "USB device was unplugged!\r\n");
        return false;
    }
    const uint8_t password = sendPassword(massErased ? defaultPassword : stored);

    bslVersion = BSL_TX_BSL_Version_String();
    if (bslVersion == "ERROR" || VersionFromLoaderText(bslVersion) != version) {
        report(50, "Failed to read data from RAM BSL\r\n");
        return false;
    }
    if (password != 0) {
        report(50, "Password FAILED after sending RAM BSL!\r\n");
        return false;
    }
    if (BSL_eraseSegment(kResetVectorAddress) != 0)
        report(50, "Failed to erase reset vector\r\n");
    return true;
}

bool UpgradeSequence::CustomSelectedFirmware(const FirmwareImage& image) {
    if (!DownloadStartUp()) {
        BSL_close_BSL();
        report(50, "Unsuccessful in starting the BSL. Restarting. \r\n");
        if (!DownloadStartUp()) {
            // A loader left hung by an earlier upgrade is on the bus but deaf.
            if (loaderStoppedAnswering)
                report(50, std::string(kLoaderStoppedAnsweringText) + "\r\n");
            return false;
        }
    }

    // The erase pass, the download and the verification all take the bytes
    // read once, never the file again.
    if (!massErased) {
        report(60, "Erasing memory segments \r\n");
        EraseDataSegment_Text(image.text);
    } else {
        // The mass erase cleared main flash only (TI BSL430_massErase sets
        // MERAS): info memory keeps its bytes, and data written over them
        // would not verify.
        EraseInfoSegments_Text(image.text);
    }

    report(70, "Sending " + image.path + "\r\n");
    BSL_RX_TXT(image.text, 1);
    report(75, "Firmware Sent\r\n");
    report(80, "Verifying memory\r\n");

    // The download's own results are not trusted: the CRC comparison decides.
    bool silent = false;
    if (CRC_Check_Text(image.text, silent) != 0) {
        report(85, "Memory verification error\r\n");
        // The image did not verify, yet its reset vector may be in flash: a
        // power cycle would start it. Blank, the chip comes back in its
        // loader. Erase Segment writes nothing, so it flushes nothing. A
        // loader that did not answer the check is opened again first, in
        // case it only re-enumerated.
        if (silent) {
            BSL_close_BSL();
            const std::string selection = FixedBuffer(ids_.Selection(), kSelectionBufferSize);
            silent = BSL_initialize_BSL(selection.c_str()) == 1;
        }
        // A RAM loader before API 9 does not report a failed flash write; it
        // may answer nothing from then on, until it is powered up again.
        loaderStoppedAnswering = silent || BSL_eraseSegment(kResetVectorAddress) != 0;
        if (loaderStoppedAnswering)
            report(85, std::string(kLoaderStoppedAnsweringText) + "\r\n");
        return false;
    }
    loaderStoppedAnswering = false;
    report(85, "Memory successfully verified\r\n");

    stopProgramTime = static_cast<uint32_t>(tick_ms());
    totalProgramTime = ProgrammingSeconds(startProgramTime, stopProgramTime);
    report(90, "Total programming time is " + std::to_string(totalProgramTime) + "s \r\n");

    TriggerForcedBOR();
    report(100, "Done!");
    return true;
}

std::string UpgradeSequence::FailureText() const {
    if (loaderStoppedAnswering)
        return "the upgrade failed and the keypad's loader stopped answering; unplug the keypad "
               "and plug it in again, then finish the upgrade with `orvexctl resume IMAGE` (or "
               "\"Update Orvex\u2122 Keypad Firmware\")";
    return "the upgrade failed; the keypad stays in its loader (`orvexctl resume IMAGE` tries "
           "again)";
}

bool UpgradeSequence::TriggerForcedBOR() {
    const std::string reset = FixedBuffer(images_.forcedBor, kResetBufferSize);
    report(90, "Resetting Device...\r\nStarting application\r\n");
    if (BSL_RX_TXT(reset, 1) != 0)
        return false;
    // This RAM loader keeps written data in its block buffer until a later
    // command flushes it: the second request, for an address the buffer does
    // not continue, writes the first to PMMCTL0 and the chip restarts. Its
    // result is not checked (the chip is gone meanwhile).
    if (images_.ramLoaderVersion.find(kTwiceResetLoaderVersion) != std::string::npos)
        BSL_RX_TXT(reset, 1);
    return true;
}

// --- settings restore -----------------------------------------------------------

namespace {

bool SendOrWarn(uint8_t command, const uint8_t* payload, uint32_t length, const char* failure) {
    if (SendDeviceCommand(command, payload, length) == LINK_OK)
        return true;
    showWarning(failure);
    return false;
}

bool SendByteOrWarn(uint8_t command, int value, const char* failure) {
    const uint8_t byte = static_cast<uint8_t>(value);
    return SendOrWarn(command, &byte, 1, failure);
}

} // namespace

RestoreResult RestoreSettingsAfterUpgrade(const KeypadSettingsHandOver& s) {
    // Nothing was read, so there is nothing to send back: zeros, an empty
    // table and a blank serial number would overwrite the keypad's own.
    if (!s.captured) {
        showWarning(kNotRestoredText);
        return RestoreResult::NothingCaptured;
    }

    // The new firmware may report any serial number: the port tells the keypad.
    sleep_ms(kRestartWaitMs);
    if (!RescanForKeypad({"", s.usbPort}))
        return RestoreResult::KeypadMissing;

    if (!SendByteOrWarn(SetOptions, s.no_of_keys, "Unable to set OPTION.."))
        return RestoreResult::Stopped;

    uint8_t serial[SERIAL_LENGTH] = {};
    std::copy_n(s.serialNumber.begin(), std::min(s.serialNumber.size(), SERIAL_LENGTH), serial);
    if (!SendOrWarn(SetSerialNumber, serial, SERIAL_LENGTH, "Unable to set Serial Number.."))
        return RestoreResult::Stopped;

    SendDeviceCommand(FactoryReset); // the keypad restarts; its answer means nothing
    sleep_ms(kRestartWaitMs);
    if (!RescanForKeypad(
            {std::string(reinterpret_cast<const char*>(serial), SERIAL_LENGTH), s.usbPort}))
        return RestoreResult::KeypadMissing;

    if (!SendByteOrWarn(SetKeypadType, s.keypad_table, "Unable to set Keypad Type.."))
        return RestoreResult::Stopped;

    uint8_t table[20];
    for (size_t i = 0; i < s.key_codes.size(); ++i)
        table[i] = static_cast<uint8_t>(s.key_codes[i]);
    if (!SendOrWarn(LoadCodeTable, table, sizeof table, "Unable to Load Table.."))
        return RestoreResult::Stopped;

    if (!SendByteOrWarn(SetLedBrightness, s.led_brightness, "Unable to set LED Brightness..") ||
        !SendByteOrWarn(SetBuzzer, s.buzzer_enable, "Unable to set Buzzer..") ||
        !SendByteOrWarn(SetBuzzerPeriod, s.buzzer_period + 1, "Unable to set Buzzer period.."))
        return RestoreResult::Stopped;

    if (!SendOrWarn(WriteDefaults, nullptr, 0, "Unable to Write Default.."))
        return RestoreResult::Stopped;
    return RestoreResult::Restored;
}

} // namespace orvex::firmware
