#pragma once

// What an upgrade keeps on disk to be finished by a later run: the journal,
// written before the keypad is sent to its loader and removed when the
// settings are back on it, and the one lock that keeps upgrades of this user
// from running at the same time. Plain C++.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "device/device_commands.h"
#include "firmware/upgrade_sequence.h"
#include "ops/upgrade_target.h"

namespace orvex::firmware {

// $XDG_STATE_HOME/orvex-config (default ~/.local/state/orvex-config); "" when
// neither XDG_STATE_HOME nor HOME is set.
std::string StateFolder();

// The journal of an upgrade that has not finished.
struct UpgradeJournal {
    // The settings to send back, the serial number and the keypad's USB port.
    KeypadSettingsHandOver settings;
    std::string imagePath;   // "" until the image is chosen (the window)
    std::string imageSha256; // of the image's bytes, hex; "" with the path
    std::string program;     // "orvexctl" or "orvex-config"
    std::string startedAt;   // UTC, 2024-01-31T12:00:00Z
    // Set before the first byte of an image goes to the loader. Until then
    // the keypad's firmware is untouched: a keypad running again has nothing
    // to finish.
    bool downloadStarted = false;
};

// The journal's file is outside input: read from a regular file (no link,
// FIFO or device) of at most this many bytes.
inline constexpr size_t kMaxJournalBytes = 16384;

std::string UpgradeJournalPath();
// Written whole or not at all (a temporary file renamed over it).
bool WriteUpgradeJournal(const UpgradeJournal& journal, std::string& error);
// nullopt with `error` empty when there is no journal; with `error` set when
// one is there but cannot be read.
std::optional<UpgradeJournal> ReadUpgradeJournal(std::string& error);

void RemoveUpgradeJournal();
// A few lines for messages and the diagnosis, each indented by `indent`;
// every text from the file is shown without its control bytes.
std::string DescribeUpgradeJournal(const UpgradeJournal& journal, const std::string& indent);

// The current time as startedAt holds it.
std::string UtcNowText();
// SHA-256 of the bytes (an image as read once) in lower-case hex.
std::string Sha256Of(const std::string& bytes);

// Where the keypad of a journal is now. Looked for on the journal's USB port;
// when the journal has none, a device alone on the bus is taken.
enum class JournalKeypad { Absent, InLoader, Running };
JournalKeypad FindJournalKeypad(const UpgradeJournal& journal, const LoaderIds& ids);

// The serial number and options new firmware starts with, before the restore
// sends the keypad's own.
inline constexpr const char* kFreshFirmwareSerial = "OVX000000000";
inline constexpr int kFreshFirmwareOptions = 0;

// Opens the running keypad of the journal (on its USB port; without one, the
// keypad alone on the bus) as hid_handle, without the "not connected"
// warning, and reads its status. False when it is not there; `status` stays
// empty when it does not answer.
bool OpenJournalKeypad(const UpgradeJournal& journal, std::optional<DeviceStatus>& status);

// Whether the journal's settings may go to a running keypad that reported
// `status`: it reports the journal's serial number, or the serial number and
// options new firmware starts with. Any other keypad (or one that does not
// answer) may be another than the one upgraded, and what it holds would be
// overwritten; the user must say so first.
bool KeypadMayTakeJournal(const UpgradeJournal& journal, const std::optional<DeviceStatus>& status);
// Names both serial numbers: "The keypad on USB port P reports serial number
// X, but the unfinished upgrade was of the keypad with serial number Y".
std::string JournalKeypadMismatch(const UpgradeJournal& journal,
                                  const std::optional<DeviceStatus>& status);

// One change to a keypad at a time for this user (an upgrade from its plan to
// the end of its restore; a restore, import, factory reset, save, setting or
// table for its whole run): an exclusive flock on $XDG_RUNTIME_DIR/orvex-config-upgrade.lock
// (without XDG_RUNTIME_DIR: upgrade.lock in the state folder). Released when
// destroyed, or when the process ends.
class UpgradeLock {
public:
    // Null when another change holds it: `refusal` then names it, such as
    // "Another firmware upgrade is running (orvexctl, process 1234)." or
    // "Another change to a keypad is running (restore, orvexctl, process
    // 1234).". `operation` names this one for such a refusal ("" for an
    // upgrade).
    static std::unique_ptr<UpgradeLock> Acquire(const std::string& program, std::string& refusal,
                                                const std::string& operation = "");
    static std::string LockPath();
    ~UpgradeLock();
    UpgradeLock(const UpgradeLock&) = delete;
    UpgradeLock& operator=(const UpgradeLock&) = delete;

private:
    explicit UpgradeLock(int fd) : fd_(fd) {}
    int fd_;
};

} // namespace orvex::firmware
