#pragma once

// The utility's own configuration file: a snapshot of the keypad's settings
// taken by "Save Changes", the restore that sends it back, and the file copies
// used by import and export. Plain C++; the window supplies the per-user data
// folder and shows the results.

#include <array>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

#include "config/atomic_file.h"
#include "device/keypad_identity.h"

namespace orvex {

// Full path of the configuration file; empty until the start-up preparation
// found the per-user data folder (every file operation then fails).
extern std::string FileName;

inline constexpr const char* kConfigSection = "appSettings";
inline constexpr const char* kConfigFolderName = "HaldenInterface";
inline constexpr const char* kConfigFileName = "USBOrvexIllumUtilityCfg.ini";
// Exported and importable copies always carry this name.
inline constexpr const char* kExchangeFileName = "USBUtilityIllumCfg.ini";
inline constexpr int kConfigTableBytes = 20;

// Start-up: FileName = dataFolder/HaldenInterface/USBOrvexIllumUtilityCfg.ini,
// creating the folder if missing and, when no file is there yet, a file holding
// the section with the ten keys empty. An existing file is not touched. An
// empty dataFolder leaves FileName empty.
void PrepareConfigFileAt(const std::string& dataFolder);

// The key's value in appSettings of `file`; empty when missing or unreadable.
// Throws IniFormatError when the file has a section line without ']'.
std::string GetSettings(const std::string& key, const std::string& file);
// Writes the key into appSettings of FileName. On failure shows
// "Failed to update USBUtilityCfg.ini file." and returns false.
bool SetSettings(const std::string& key, const std::string& value);

// The value as the file keeps it: each control byte (NUL, ESC, CR, LF, any
// below 0x20 but the tab, and DEL) a space. Every value the utility writes
// passes here, so a keypad's serial number or a file's name never breaks or
// hides a line of the file.
std::string ConfigValueText(std::string value);

// Keeps the name (not the folder) of the firmware image last picked as
// FirmwareFile in FileName, on one line. Failures are silent: the name is only
// a reminder.
void RememberFirmwareFile(const std::string& path);

// What "Save Changes" stores: the main window's copy of the last status read.
struct ConfigSnapshot {
    int keypadType = 0;
    int ledBrightness = 0;
    int jackLedBrightness = 0;
    int buzzer = 0;
    int buzzerPeriodIndex = 0; // list position: the value sent is one more
    int options = 0;
    std::array<uint8_t, kConfigTableBytes> codeTable{};
    std::string serialNumber;
};

// Writes every key of the snapshot (FirstUp "Yes" first, each key where the
// key-by-key SetSettings would put it) in one replacement of FileName, so the
// file holds the old or the new snapshot whole. On failure shows
// "Failed to update USBUtilityCfg.ini file." once and returns false.
bool SaveSnapshot(const ConfigSnapshot& snapshot);

// "0,30,0,31,...": each byte in decimal followed by a comma.
std::string CodeTableText(const std::array<uint8_t, kConfigTableBytes>& table);

// A value the restore needs cannot be read. Raised before anything is sent.
class ConfigValueError : public std::runtime_error {
public:
    explicit ConfigValueError(const std::string& key);
    const std::string& key() const { return key_; }

private:
    std::string key_;
};

// Reads a value as the restore does: a decimal 32-bit integer, optionally
// signed and surrounded by white space. Throws ConfigValueError naming `key`.
int ReadConfigNumber(const std::string& text, const std::string& key);

enum class RestoreResult {
    NotSaved,     // FirstUp is not "Yes": nothing was sent
    Restored,     // every setting sent and stored as the power-up settings
    Stopped,      // a command failed (message shown); the type list goes back
    TableRefused, // LoadCodeTable failed (message shown); the type list stays
    // The keypad was not back after the factory reset ("not connected" shown);
    // as Stopped, and no other keypad was opened in its place.
    KeypadMissing,
};

// Everything a restore sends, read and checked before the first command.
struct RestoreValues {
    uint8_t options = 0;
    int keypadLayout = 0;
    bool sendTable = false; // a customised layout (2, 5, 8)
    std::array<uint8_t, kConfigTableBytes> table{};
    uint8_t ledBrightness = 0;
    uint8_t ledColour = 0;
    uint8_t buzzer = 0;
    uint8_t buzzerPeriod = 0; // as sent: the file's list position plus one
};

// What the restore from `file` sends; nullopt when its FirstUp is not exactly
// "Yes" (nothing to send). Throws ConfigValueError or IniFormatError when a
// value cannot be read, so nothing reaches the keypad from such a file.
std::optional<RestoreValues> ReadRestoreValues(const std::string& file);

// Reads and checks what the restore from `file` would send, sending nothing:
// throws as ReadRestoreValues does. For an import whose settings cannot go
// to the keypad now, but whose copy must still be a file the restore can read.
void CheckRestoreFile(const std::string& file);

// The restore's sends on the open keypad, which is `keypad`: SetOptions,
// FactoryReset with the 3000 ms restart wait and the rescan for that keypad
// only (RescanForKeypad), SetKeypadType, the 20-byte table for a customised
// layout, the two brightnesses, the buzzer, the buzzer period and
// WriteDefaults. A failing command shows its message and ends the restore;
// what was sent before stays on the keypad. Decides nothing: whether the
// keypad can be found again after its restart is settled before it is called.
RestoreResult SendRestoreValues(const RestoreValues& values, const KeypadIdentity& keypad);

// Copies `source` to `target` through a temporary file in the target's folder
// renamed over the target, so the target is always either the old or the new
// whole file. A link at `target` is followed, or replaced itself. False
// (target unchanged) when anything fails.
bool CopyFileReplacing(const std::string& source, const std::string& target,
                       AtLink atLink = AtLink::Follow);

// The export's copy: a link at `target` is itself replaced; nothing is ever
// written through it.
inline bool ExportCopy(const std::string& source, const std::string& target) {
    return CopyFileReplacing(source, target, AtLink::Replace);
}

// The import's copy of a chosen file to `target` (the configuration file):
// byte for byte, as CopyFileReplacing, unless the file starts with a UTF-8
// byte-order mark or holds control bytes (anything below 0x20 but tab and
// line ends, and DEL); it is then written as the engine writes a file (Save),
// with those bytes replaced as ConfigValueText does. Throws IniFormatError as
// Load does.
bool CopyConfigFile(const std::string& source, const std::string& target);

// True when anything is at `path`, a link included even when it points nowhere.
bool PathIsTaken(const std::string& path);

} // namespace orvex
