#pragma once

// The changes to the open keypad that end with it running: one setting, save,
// the customised table, factory reset, and the restore of a configuration
// file (restore and import). Each holds the one change lock from its plan to
// its end; its plan settles the keypad and every refusal before anything is
// sent, its run sends and reports. The window and orvexctl only present.
//
// The keypad's own failure messages ("Unable to set option..") are shown
// through the prompter while the run goes, as every command of the keypad
// shows them; a Result carries the outcome and the text a front-end shows
// itself.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "config/utility_config.h"
#include "device/device_commands.h"
#include "device/keypad_identity.h"
#include "ops/change_lock.h"
#include "ops/operation.h"

namespace orvex::ops {

// What every change here shares: the lock, taken once.
class KeypadChange {
public:
    explicit KeypadChange(const char* operation) : operation_(operation) {}
    virtual ~KeypadChange() = default;
    KeypadChange(const KeypadChange&) = delete;
    KeypadChange& operator=(const KeypadChange&) = delete;

    // The one change lock; plan() takes it when the front-end has not. Taken
    // first, before the keypad is opened or read, so two changes never
    // interleave their exchanges. Busy, naming the holder, while another runs.
    Result takeLock(const std::string& program);

protected:
    const char* operation_;
    std::unique_ptr<ChangeLock> lock_;
};

// The five running settings of the main window's lists and `orvexctl set`.
enum class Setting { KeypadType, LedBrightness, JackLedBrightness, Buzzer, BuzzerPeriod };

struct SettingRange {
    int low;
    int high;
};
// The values the keypad takes for a setting: keypad type 0-2, brightnesses
// 0-9, buzzer 0-1, buzzer period 1-9.
SettingRange RangeOf(Setting setting);

class SettingChange : public KeypadChange {
public:
    SettingChange() : KeypadChange("set") {}
    // `value` as the keypad takes it (the buzzer period list's position plus
    // one). Refused, nothing sent, outside RangeOf.
    Result plan(const std::string& program, Setting setting, int value);
    // KeypadFailed when the keypad does not accept it.
    Result run();

private:
    uint8_t command_ = 0;
    uint8_t value_ = 0;
};

// "Save Changes" and `orvexctl save`: the keypad keeps its running settings
// across power cycles, and the configuration file gets their snapshot.
class SaveSettings : public KeypadChange {
public:
    SaveSettings() : KeypadChange("save") {}
    enum class Step { None, WriteDefaults, StatusRead, FileWrite };

    Result plan(const std::string& program);
    // WriteDefaults, then storeSnapshot(). A failure's step is failedAt().
    Result run();
    // The status read, then its snapshot in FileName (whose failure
    // SaveSnapshot shows): the configuration-file half of a save.
    Result storeSnapshot();
    Step failedAt() const { return failedAt_; }
    // The status the snapshot was taken from (valid once it was read).
    const DeviceStatus& status() const { return status_; }

private:
    Step failedAt_ = Step::None;
    DeviceStatus status_;
};

// What "Save Changes" stores of a status read.
ConfigSnapshot SnapshotOf(const DeviceStatus& status);

// The customised key-code table: the code table editors' Apply and
// `orvexctl table set`.
class TableLoad : public KeypadChange {
public:
    TableLoad() : KeypadChange("table") {}
    enum class Refusal { None, NotCustomised, WrongLength };

    // `table` holds a modifier and a usage byte for each key of the layout
    // of `keypadType` (or that padded to what the keypad takes). Without a
    // type the open keypad's status is read, after the lock. Refused, nothing
    // sent, when the type is not a customised table or the length does not
    // fit its layout (refusal()).
    Result plan(const std::string& program, std::vector<uint8_t> table,
                std::optional<int> keypadType = std::nullopt);
    Refusal refusal() const { return refusal_; }
    // The bytes sent: 20 for the small layouts, else 32 (the 12-key table
    // padded with zeros). KeypadFailed when the keypad does not take them.
    Result run();

private:
    std::vector<uint8_t> table_;
    Refusal refusal_ = Refusal::None;
};

// The open keypad, with the serial number that tells it from a keypad swapped
// in while it restarts (its status is read when none was yet). Refused with
// kKeypadNotToldApartText when it could not be found again after a restart.
Result KeypadToRestart(KeypadIdentity& keypad);

// "Reset To Factory Default" and `orvexctl factory-reset`.
class FactoryResetChange : public KeypadChange {
public:
    FactoryResetChange() : KeypadChange("factory-reset") {}
    Result plan(const std::string& program);
    // FactoryReset (its answer means nothing: the keypad restarts), the 3000
    // ms wait, the reopen of this keypad only and the read of what it holds
    // now. NoKeypad when it is not back, KeypadFailed when its status cannot
    // be read.
    Result run();
    const DeviceStatus& status() const { return status_; }
    const KeypadIdentity& keypad() const { return keypad_; }

private:
    KeypadIdentity keypad_;
    DeviceStatus status_;
};

// "Reset From Configuration File", "Import Cfg File", `orvexctl restore` and
// `orvexctl import`: the settings a configuration file holds, sent back.
class SettingsRestore : public KeypadChange {
public:
    explicit SettingsRestore(const char* operation = "restore") : KeypadChange(operation) {}
    // The file's values, read and checked; a value that cannot be read throws
    // ConfigValueError or IniFormatError with nothing sent. A file without
    // saved settings needs no keypad (nothingSaved()); otherwise the open
    // keypad must be one that can be found again after its factory reset.
    Result plan(const std::string& program, const std::string& file);
    bool nothingSaved() const { return !values_; }
    // The restore's sends (nothing for a file without saved settings).
    // Done only when every setting is on the keypad and kept; result() tells
    // where it stopped.
    Result run();
    RestoreResult result() const { return result_; }

private:
    std::optional<RestoreValues> values_;
    KeypadIdentity keypad_;
    RestoreResult result_ = RestoreResult::NotSaved;
};

} // namespace orvex::ops
