#include "config/utility_config.h"

#include <climits>
#include <filesystem>
#include <system_error>
#include <vector>

#include "config/atomic_file.h"
#include "config/ini_file.h"
#include "device/device_commands.h"
#include "device/hid_link.h"
#include "device/keypad_identity.h"
#include "platform/clock.h"
#include "platform/prompter.h"

namespace orvex {

std::string FileName;

namespace {

namespace fs = std::filesystem;

// Keys of a fresh file in the order they are added; each new key goes to the
// top of the section, so the file lists them the other way round.
const char* const kFreshKeys[] = {"FirstUp", "KeypadLayout", "LedBrightness",   "LedColour",
                                  "Buzzer",  "BuzzerPeriod", "CodeTableValues", "FirmwareFile",
                                  "Options", "SerialNumber"};

constexpr uint32_t kRestartWaitMs = 3000;

uint8_t lowByte(int value) {
    return static_cast<uint8_t>(static_cast<uint32_t>(value));
}

bool isBlank(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

bool isControl(unsigned char c) {
    return (c < 0x20 && c != '\t') || c == 0x7F;
}

// A control byte in a comment line (its line feeds are the line ends).
std::string commentText(std::string comments) {
    for (char& c : comments)
        if (c != '\n' && isControl(static_cast<unsigned char>(c)))
            c = ' ';
    return comments;
}

// Bytes that end or break a line anywhere but at a line's end (a CR alone
// included), or that are no text at all.
bool holdsControlBytes(const std::string& data) {
    for (std::size_t i = 0; i < data.size(); ++i) {
        const auto c = static_cast<unsigned char>(data[i]);
        if (c == '\n' || (c == '\r' && i + 1 < data.size() && data[i + 1] == '\n'))
            continue;
        if (isControl(c))
            return true;
    }
    return false;
}

std::array<uint8_t, kConfigTableBytes> readCodeTable(const std::string& text) {
    const char* const key = "CodeTableValues";
    std::array<uint8_t, kConfigTableBytes> table{};
    std::size_t pos = 0;
    for (int i = 0; i < kConfigTableBytes; ++i) {
        if (pos > text.size())
            throw ConfigValueError(key); // fewer than 20 pieces
        const std::size_t comma = text.find(',', pos);
        const std::size_t end = comma == std::string::npos ? text.size() : comma;
        table[static_cast<std::size_t>(i)] =
            lowByte(ReadConfigNumber(text.substr(pos, end - pos), key));
        pos = end + 1;
    }
    return table;
}

RestoreValues readValues(const std::string& file) {
    auto number = [&](const char* key) { return ReadConfigNumber(GetSettings(key, file), key); };
    RestoreValues p;
    p.options = lowByte(number("Options"));
    p.keypadLayout = number("KeypadLayout");
    // The table is only read for the layouts that send it.
    p.sendTable = IsCustomisedType(p.keypadLayout);
    if (p.sendTable)
        p.table = readCodeTable(GetSettings("CodeTableValues", file));
    p.ledBrightness = lowByte(number("LedBrightness"));
    p.ledColour = lowByte(number("LedColour"));
    p.buzzer = lowByte(number("Buzzer"));
    // The file keeps the list position; the keypad counts from 1.
    p.buzzerPeriod = static_cast<uint8_t>(static_cast<uint32_t>(number("BuzzerPeriod")) + 1u);
    return p;
}

bool sent(uint8_t command, uint8_t value) {
    return SendDeviceCommandByte(command, value) == LINK_OK;
}

// ------------------------------------------------------------ file copy

} // namespace

// ------------------------------------------------------------ values

std::string ConfigValueText(std::string value) {
    for (char& c : value)
        if (isControl(static_cast<unsigned char>(c)))
            c = ' ';
    return value;
}

ConfigValueError::ConfigValueError(const std::string& key)
    : std::runtime_error("Unable to read " + key + " from the configuration file.."), key_(key) {}

int ReadConfigNumber(const std::string& text, const std::string& key) {
    std::size_t i = 0;
    const std::size_t n = text.size();
    while (i < n && isBlank(text[i]))
        ++i;
    bool negative = false;
    if (i < n && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    const std::size_t firstDigit = i;
    long long value = 0;
    while (i < n && text[i] >= '0' && text[i] <= '9') {
        value = value * 10 + (text[i] - '0');
        if (value > static_cast<long long>(INT_MAX) + 1)
            throw ConfigValueError(key);
        ++i;
    }
    if (i == firstDigit)
        throw ConfigValueError(key);
    while (i < n && isBlank(text[i]))
        ++i;
    if (i != n)
        throw ConfigValueError(key);
    if (negative)
        value = -value;
    if (value > INT_MAX)
        throw ConfigValueError(key);
    return static_cast<int>(value);
}

std::string CodeTableText(const std::array<uint8_t, kConfigTableBytes>& table) {
    std::string text;
    for (uint8_t b : table)
        text += std::to_string(b) + ",";
    return text;
}

// ------------------------------------------------------------ the file

void PrepareConfigFileAt(const std::string& dataFolder) {
    FileName.clear();
    if (dataFolder.empty())
        return;
    const std::string folder = dataFolder + "/" + kConfigFolderName;
    std::error_code ec;
    if (!fs::exists(folder, ec))
        fs::create_directories(folder, ec); // a failure shows later, on the first save
    FileName = folder + "/" + kConfigFileName;

    if (fs::exists(FileName, ec) || fs::is_symlink(fs::symlink_status(FileName, ec)))
        return; // the user's settings: never rewritten at start-up
    // The header and the ten keys written in one go, laid out as adding each
    // key with SetValue would: every new key goes to the top of the section.
    std::vector<CIniFile::Record> fresh(1);
    fresh[0].Section = kConfigSection;
    for (const char* key : kFreshKeys) {
        CIniFile::Record r;
        r.Section = kConfigSection;
        r.Key = key;
        fresh.insert(fresh.begin() + 1, r);
    }
    (void)CIniFile::Save(FileName, fresh); // a failure shows later, on the first save
}

std::string GetSettings(const std::string& key, const std::string& file) {
    return CIniFile::GetValue(key, kConfigSection, file);
}

namespace {

// The keys written in one replacement of the file; one failure, one message.
bool setSettings(const std::vector<std::pair<std::string, std::string>>& values) {
    bool ok = false;
    try {
        std::vector<std::pair<std::string, std::string>> clean = values;
        for (auto& [key, value] : clean)
            value = ConfigValueText(value);
        ok = CIniFile::SetValues(clean, kConfigSection, FileName);
    } catch (const std::exception&) {
        ok = false; // a file that no longer loads cannot be updated either
    }
    if (!ok)
        showWarning("Failed to update USBUtilityCfg.ini file.");
    return ok;
}

} // namespace

bool SetSettings(const std::string& key, const std::string& value) {
    return setSettings({{key, value}});
}

void RememberFirmwareFile(const std::string& path) {
    try {
        // A file name may hold a line break or any other control byte on Linux.
        CIniFile::SetValue("FirmwareFile",
                           ConfigValueText(std::filesystem::path(path).filename().string()),
                           kConfigSection, FileName);
    } catch (const std::exception&) {
        // A damaged configuration file is left alone.
    }
}

bool SaveSnapshot(const ConfigSnapshot& s) {
    const std::vector<std::pair<std::string, std::string>> values = {
        {"FirstUp", "Yes"},
        {"KeypadLayout", std::to_string(s.keypadType)},
        {"LedBrightness", std::to_string(s.ledBrightness)},
        {"LedColour", std::to_string(s.jackLedBrightness)},
        {"Buzzer", std::to_string(s.buzzer)},
        {"BuzzerPeriod", std::to_string(s.buzzerPeriodIndex)},
        {"CodeTableValues", CodeTableText(s.codeTable)},
        {"Options", std::to_string(s.options)},
        {"SerialNumber", s.serialNumber}, // its control bytes replaced as every value's
    };
    // One replacement of the file, so one failure and one message (key by key
    // it would have been one message per key for the same cause).
    return setSettings(values);
}

// ------------------------------------------------------------ the restore

std::optional<RestoreValues> ReadRestoreValues(const std::string& file) {
    if (GetSettings("FirstUp", file) != "Yes")
        return std::nullopt;
    return readValues(file);
}

void CheckRestoreFile(const std::string& file) {
    (void)ReadRestoreValues(file);
}

RestoreResult SendRestoreValues(const RestoreValues& p, const KeypadIdentity& keypad) {
    if (!sent(SetOptions, p.options)) {
        showWarning("Unable to set option..");
        return RestoreResult::Stopped;
    }
    (void)SendDeviceCommand(FactoryReset); // the keypad restarts; its answer means nothing
    sleep_ms(kRestartWaitMs);
    if (!RescanForKeypad(keypad))
        return RestoreResult::KeypadMissing; // warned "not connected"

    if (!sent(SetKeypadType, lowByte(p.keypadLayout))) {
        showWarning("Unable to set Keypad Type..");
        return RestoreResult::Stopped;
    }
    if (p.sendTable && SendDeviceCommand(LoadCodeTable, p.table.data(),
                                         static_cast<uint32_t>(p.table.size())) != LINK_OK) {
        showWarning("Unable to Load Table..");
        return RestoreResult::TableRefused;
    }
    const struct {
        uint8_t command;
        uint8_t value;
        const char* failure;
    } steps[] = {
        {SetLedBrightness, p.ledBrightness, "Unable to set LED Brightness.."},
        {SetJackLedBrightness, p.ledColour, "Unable to set LED Color.."},
        {SetBuzzer, p.buzzer, "Unable to set Buzzer.."},
        {SetBuzzerPeriod, p.buzzerPeriod, "Unable to set Buzzer period.."},
    };
    for (const auto& step : steps) {
        if (!sent(step.command, step.value)) {
            showWarning(step.failure);
            return RestoreResult::Stopped;
        }
    }
    if (SendDeviceCommand(WriteDefaults) != LINK_OK) {
        showWarning("Unable to write default..");
        return RestoreResult::Stopped;
    }
    return RestoreResult::Restored;
}

// ------------------------------------------------------------ copies

bool CopyFileReplacing(const std::string& source, const std::string& target, AtLink atLink) {
    std::string data;
    return !source.empty() && ReadWholeFile(source, data) &&
           ReplaceFileContents(target, data, atLink);
}

bool CopyConfigFile(const std::string& source, const std::string& target) {
    std::string data;
    if (source.empty() || !ReadWholeFile(source, data))
        return false;
    if (data.compare(0, 3, "\xEF\xBB\xBF") != 0 && !holdsControlBytes(data))
        return ReplaceFileContents(target, data); // byte for byte, as chosen
    std::vector<CIniFile::Record> records;
    if (!CIniFile::Load(source, records))
        return false;
    for (auto& r : records) {
        r.Comments = commentText(r.Comments);
        r.Section = ConfigValueText(r.Section);
        r.Key = ConfigValueText(r.Key);
        r.Value = ConfigValueText(r.Value);
    }
    return CIniFile::Save(target, records);
}

bool PathIsTaken(const std::string& path) {
    std::error_code ec;
    return fs::exists(fs::symlink_status(path, ec));
}

} // namespace orvex
