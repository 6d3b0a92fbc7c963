#pragma once

// What the orvexctl commands share: the context of one run, opening the keypad
// asked for, and the text forms of the status.

#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/orvexctl.h"
#include "device/device_commands.h"
#include "ops/keypad_changes.h"

namespace orvex::cli {

struct Context {
    std::ostream& out;
    std::ostream& err;
    std::string dataHome;
    // --serial / --path: the keypad to use when several are plugged in.
    std::string serial;
    std::string path;
    bool maskSerial = false;

    int fail(int code, const std::string& message) const {
        err << "orvexctl: " << message << "\n";
        return code;
    }
};

using Args = std::vector<std::string>;

// The whole text is a decimal number within [low, high].
bool parseInt(const std::string& text, int low, int high, int& value);
// Without trailing spaces and NULs (the serial number's padding).
std::string trimmed(std::string s);
// Opens the keypad at `path` as hid_handle (the scan's own settings) and reads
// its status; false when it cannot be opened. `status` is set when read.
bool openAt(const std::string& path, std::optional<DeviceStatus>& status);
// Which keypad a command takes when neither --serial nor --path names one.
enum class Pick {
    First,   // the first one found: commands that read, and single settings
    OnlyOne, // commands that restart or overwrite the keypad: with several
             // attached they list them and want --serial or --path
};
// The keypad of --serial / --path, else as `pick` says, as hid_handle. Two
// keypads reporting the --serial number are refused.
int openKeypad(const Context& c, Pick pick = Pick::First);
int readStatus(const Context& c, DeviceStatus& s);
// The change's lock, taken before the keypad is opened so that two changes
// never interleave. EXIT_REFUSED, naming the holder, while another runs.
int takeLock(const Context& c, ops::KeypadChange& change, const char* name);
// The configuration file under the run's data folder (FileName), created
// with its default entries when missing.
void prepareConfig(const Context& c);

std::string hex2(unsigned v);
// The table as MM:UU pairs, key 1 first.
std::string tableText(const DeviceStatus& s);
// The keypad's 8-bit texts as UTF-8 for JSON: each byte one character.
std::string Latin1ToUtf8(const std::string& text);
// "default", "alternate" or "customise": the table a keypad type chooses
// within its layout group; "unknown" past type 8.
const char* KeypadTypeName(int keypadType);
// The status as `status --json` prints it (fields in the man page).
nlohmann::ordered_json StatusJson(const DeviceStatus& s);

// The commands, one file each group: device_commands (status, set, table,
// factory-reset, list), config_commands (save, restore, export, import),
// flash_command (flash, resume), diagnose.
int CmdStatus(const Context& c, const Args& a);
int CmdSet(const Context& c, const Args& a);
int CmdTable(const Context& c, const Args& a);
int CmdFactoryReset(const Context& c, const Args& a);
int CmdList(const Context& c, const Args& a);
int CmdSave(const Context& c, const Args& a);
int CmdRestore(const Context& c, const Args& a);
int CmdExport(const Context& c, const Args& a);
int CmdImport(const Context& c, const Args& a);
int CmdFlash(const Context& c, const Args& a);
int CmdResume(const Context& c, const Args& a);
int CmdDiagnose(const Context& c, const Args& a);

} // namespace orvex::cli
