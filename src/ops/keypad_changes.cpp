#include "ops/keypad_changes.h"

#include <algorithm>

#include "device/hid_link.h"
#include "platform/clock.h"

namespace orvex::ops {

namespace {

constexpr uint32_t kRestartWaitMs = 3000;

uint8_t commandOf(Setting setting) {
    switch (setting) {
    case Setting::KeypadType:
        return SetKeypadType;
    case Setting::LedBrightness:
        return SetLedBrightness;
    case Setting::JackLedBrightness:
        return SetJackLedBrightness;
    case Setting::Buzzer:
        return SetBuzzer;
    case Setting::BuzzerPeriod:
        break;
    }
    return SetBuzzerPeriod;
}

// What the keypad takes for a layout: the small layouts' 20 bytes, otherwise
// 32 (the 12-key table padded with zeros), as the editors send them.
size_t sendSizeFor(int keypadType) {
    return TableLengthForType(keypadType) == 20 ? 20 : 32;
}

} // namespace

Result KeypadChange::takeLock(const std::string& program) {
    if (lock_)
        return {};
    std::string refusal;
    lock_ = TakeChangeLock(program, operation_, refusal);
    if (!lock_)
        return Fail(Outcome::Busy, refusal);
    return {};
}

// ------------------------------------------------------------ one setting

SettingRange RangeOf(Setting setting) {
    switch (setting) {
    case Setting::KeypadType:
        return {0, 2};
    case Setting::Buzzer:
        return {0, 1};
    case Setting::BuzzerPeriod:
        return {1, 9};
    case Setting::LedBrightness:
    case Setting::JackLedBrightness:
        break;
    }
    return {0, 9};
}

Result SettingChange::plan(const std::string& program, Setting setting, int value) {
    const SettingRange range = RangeOf(setting);
    if (value < range.low || value > range.high)
        return Fail(Outcome::Refused, "the value " + std::to_string(value) + " is outside " +
                                          std::to_string(range.low) + " to " +
                                          std::to_string(range.high));
    if (Result r = takeLock(program); !r.ok())
        return r;
    command_ = commandOf(setting);
    value_ = static_cast<uint8_t>(value);
    return {};
}

Result SettingChange::run() {
    if (!lock_)
        return Fail(Outcome::Refused, "the setting was not planned");
    if (SendDeviceCommandByte(command_, value_) != LINK_OK)
        return Fail(Outcome::KeypadFailed, "the keypad did not accept the value");
    return {};
}

// ------------------------------------------------------------ save

ConfigSnapshot SnapshotOf(const DeviceStatus& s) {
    ConfigSnapshot snap;
    snap.keypadType = s.keypadType;
    snap.ledBrightness = s.ledBrightness;
    snap.jackLedBrightness = s.jackLedBrightness;
    snap.buzzer = s.buzzer;
    snap.buzzerPeriodIndex = s.buzzerPeriodIndex();
    snap.options = s.options;
    std::copy_n(s.keyCodes.begin(), snap.codeTable.size(), snap.codeTable.begin());
    snap.serialNumber = s.serialNumber;
    return snap;
}

Result SaveSettings::plan(const std::string& program) {
    return takeLock(program);
}

Result SaveSettings::run() {
    if (!lock_)
        return Fail(Outcome::Refused, "the save was not planned");
    if (SendDeviceCommand(WriteDefaults) != LINK_OK) {
        failedAt_ = Step::WriteDefaults;
        return Fail(Outcome::KeypadFailed, "Unable to Write Default..");
    }
    return storeSnapshot();
}

Result SaveSettings::storeSnapshot() {
    if (!lock_)
        return Fail(Outcome::Refused, "the save was not planned");
    if (ReadDeviceStatus(status_) != 0) {
        failedAt_ = Step::StatusRead;
        return Fail(Outcome::KeypadFailed, "Unable to Save Config file.");
    }
    if (!SaveSnapshot(SnapshotOf(status_))) {
        failedAt_ = Step::FileWrite;
        return Fail(Outcome::FileError, ""); // SaveSnapshot has said why
    }
    return {};
}

// ------------------------------------------------------------ the table

Result TableLoad::plan(const std::string& program, std::vector<uint8_t> table,
                       std::optional<int> keypadType) {
    if (Result r = takeLock(program); !r.ok())
        return r;
    if (!keypadType) {
        DeviceStatus s;
        if (ReadDeviceStatus(s) != 0)
            return Fail(Outcome::KeypadFailed, "unable to read the keypad's status");
        keypadType = s.keypadType;
    }
    const int type = *keypadType;
    if (!IsCustomisedType(type)) {
        refusal_ = Refusal::NotCustomised;
        return Fail(Outcome::Refused, "the active table (type " + std::to_string(type) +
                                          ") is not a customised table");
    }
    const size_t keys = static_cast<size_t>(TableLengthForType(type));
    const size_t sent = sendSizeFor(type);
    // The padding past the layout's keys is zeros, or it is not this layout's.
    const bool padded =
        table.size() == sent && std::all_of(table.begin() + static_cast<std::ptrdiff_t>(keys),
                                            table.end(), [](uint8_t b) { return b == 0; });
    if (table.size() != keys && !padded) {
        refusal_ = Refusal::WrongLength;
        return Fail(Outcome::Refused, "this layout has " + std::to_string(keys / 2) +
                                          " keys, got " + std::to_string(table.size() / 2) +
                                          " pairs");
    }
    table.resize(sent, 0);
    table_ = std::move(table);
    return {};
}

Result TableLoad::run() {
    if (table_.empty())
        return Fail(Outcome::Refused, "the table was not planned");
    if (SendDeviceCommand(LoadCodeTable, table_.data(), static_cast<uint32_t>(table_.size())) !=
        LINK_OK)
        return Fail(Outcome::KeypadFailed, "Unable to Load Table..");
    return {};
}

// ------------------------------------------------------------ restarts

Result KeypadToRestart(KeypadIdentity& keypad) {
    keypad = OpenKeypadIdentity();
    // Its serial number tells it from a keypad swapped in during the restart.
    if (keypad.serialNumber.empty()) {
        DeviceStatus status;
        if (ReadDeviceStatus(status) == 0)
            keypad = OpenKeypadIdentity();
    }
    if (!KeypadCanBeFoundAgain(keypad))
        return Fail(Outcome::Refused, kKeypadNotToldApartText);
    return {};
}

Result FactoryResetChange::plan(const std::string& program) {
    if (Result r = takeLock(program); !r.ok())
        return r;
    return KeypadToRestart(keypad_);
}

Result FactoryResetChange::run() {
    if (!lock_)
        return Fail(Outcome::Refused, "the factory reset was not planned");
    (void)SendDeviceCommand(FactoryReset); // the keypad restarts; its answer means nothing
    sleep_ms(kRestartWaitMs);
    // This keypad only, never another one plugged in meanwhile.
    if (!RescanForKeypad(keypad_))
        return Fail(Outcome::NoKeypad, "the keypad did not come back; power it off and on");
    if (ReadDeviceStatus(status_) != 0)
        return Fail(Outcome::KeypadFailed, "unable to read the keypad's status");
    return {};
}

// ------------------------------------------------------------ restore

Result SettingsRestore::plan(const std::string& program, const std::string& file) {
    if (Result r = takeLock(program); !r.ok())
        return r;
    // Throws, nothing sent, for a value that cannot be read.
    values_ = ReadRestoreValues(file);
    if (!values_)
        return {}; // nothing to send: no keypad is needed
    // The factory reset restarts the keypad: nothing is sent unless the same
    // one can be opened again afterwards.
    return KeypadToRestart(keypad_);
}

Result SettingsRestore::run() {
    if (!lock_)
        return Fail(Outcome::Refused, "the restore was not planned");
    if (!values_) {
        result_ = RestoreResult::NotSaved;
        return {};
    }
    result_ = SendRestoreValues(*values_, keypad_);
    switch (result_) {
    case RestoreResult::Restored:
    case RestoreResult::NotSaved:
        return {};
    case RestoreResult::KeypadMissing:
        return Fail(Outcome::NoKeypad,
                    "the keypad did not come back after its factory reset; no other keypad "
                    "was changed");
    case RestoreResult::Stopped:
    case RestoreResult::TableRefused:
        break;
    }
    return Fail(Outcome::KeypadFailed, "the keypad refused a setting");
}

} // namespace orvex::ops
