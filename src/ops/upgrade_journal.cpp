#include "ops/upgrade_journal.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <system_error>

#include <nlohmann/json.hpp>
#include <openssl/evp.h>

#include "config/atomic_file.h"
#include "device/device_commands.h"
#include "device/hid_link.h"
#include "device/keypad_identity.h"

namespace orvex::firmware {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

// 2: "download_started" added; a journal of format 1 is read as one whose
// download may have started.
constexpr int kJournalFormat = 2;
constexpr const char* kJournalName = "upgrade-journal.json";

std::string hexOf(const std::string& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 0x0F];
    }
    return out;
}

bool bytesOfHex(const std::string& hex, std::string& bytes) {
    if (hex.size() % 2)
        return false;
    bytes.clear();
    for (size_t i = 0; i < hex.size(); i += 2) {
        char* end = nullptr;
        const std::string pair = hex.substr(i, 2);
        const long v = std::strtol(pair.c_str(), &end, 16);
        if (end != pair.c_str() + 2)
            return false;
        bytes += static_cast<char>(v);
    }
    return true;
}

// An integer in [low, high]; throws json::exception otherwise. Read as
// 64 bits first, so 4294967301 is refused rather than taken as 5.
int inRange(const json& v, const std::string& what, int low, int high) {
    if (!v.is_number_integer())
        throw json::other_error::create(501, what + " is not a whole number", &v);
    if (v.is_number_unsigned()) {
        if (v.get<uint64_t>() > static_cast<uint64_t>(high))
            throw json::other_error::create(501, what + " out of range", &v);
    } else {
        const int64_t n = v.get<int64_t>();
        if (n < low || n > high)
            throw json::other_error::create(501, what + " out of range", &v);
    }
    return static_cast<int>(v.get<int64_t>());
}

int number(const json& j, const char* key, int low, int high) {
    return inRange(j.at(key), key, low, high);
}

std::string textAt(const json& j, const char* key) {
    const json& v = j.at(key);
    if (!v.is_string())
        throw json::other_error::create(501, std::string(key) + " is not a text", &v);
    return v.get<std::string>();
}

std::string heldBy(int fd) {
    char text[128] = {};
    const ssize_t got = ::pread(fd, text, sizeof text - 1, 0);
    std::string holder = got > 0 ? std::string(text, static_cast<size_t>(got)) : std::string();
    while (!holder.empty() && (holder.back() == '\n' || holder.back() == '\0'))
        holder.pop_back();
    // "PID PROGRAM"
    const auto space = holder.find(' ');
    if (space == std::string::npos)
        return "another program";
    return holder.substr(space + 1) + ", process " + holder.substr(0, space);
}

} // namespace

std::string StateFolder() {
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state && *state && fs::path(state).is_absolute())
        return (fs::path(state) / "orvex-config").string();
    const char* home = std::getenv("HOME");
    if (!home || !*home)
        return {};
    return (fs::path(home) / ".local" / "state" / "orvex-config").string();
}

std::string UpgradeJournalPath() {
    const std::string folder = StateFolder();
    return folder.empty() ? std::string() : (fs::path(folder) / kJournalName).string();
}

bool WriteUpgradeJournal(const UpgradeJournal& journal, std::string& error) {
    const std::string path = UpgradeJournalPath();
    if (path.empty()) {
        error = "no folder for the upgrade journal (XDG_STATE_HOME and HOME are unset)";
        return false;
    }
    const KeypadSettingsHandOver& s = journal.settings;
    json j = {
        {"format", kJournalFormat},
        {"program", journal.program},
        {"started_at", journal.startedAt},
        {"usb_port", s.usbPort},
        {"serial_number", PrintableText(s.serialNumber)},
        {"serial_number_hex", hexOf(s.serialNumber)},
        {"settings_read", s.captured},
        {"options", s.no_of_keys},
        {"keypad_type", s.keypad_table},
        {"led_brightness", s.led_brightness},
        {"buzzer", s.buzzer_enable},
        {"buzzer_period_index", s.buzzer_period},
        {"key_codes", s.key_codes},
        {"image", journal.imagePath},
        {"image_sha256", journal.imageSha256},
        {"download_started", journal.downloadStarted},
    };
    std::error_code ec;
    fs::create_directories(fs::path(path).parent_path(), ec);
    // A file name need not be UTF-8; the image path is only a reminder.
    const std::string text = j.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
    // A link put at the journal's path is replaced, never written through.
    if (!ReplaceFileContents(path, text, AtLink::Replace)) {
        error = "cannot write the upgrade journal " + path;
        return false;
    }
    return true;
}

std::optional<UpgradeJournal> ReadUpgradeJournal(std::string& error) {
    error.clear();
    const std::string path = UpgradeJournalPath();
    struct stat st {};
    if (path.empty() || ::lstat(path.c_str(), &st) != 0)
        return std::nullopt;
    const std::string cannot = "the upgrade journal " + PrintableText(path) + " cannot be read";
    const std::string giveUp = "; remove it to give the unfinished upgrade up";
    if (!S_ISREG(st.st_mode)) {
        error = cannot + " (it is not a regular file)" + giveUp;
        return std::nullopt;
    }
    // O_NOFOLLOW and O_NONBLOCK: a link or FIFO put there since the check
    // is neither followed nor waited on.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = cannot + " (" + std::strerror(errno) + ")" + giveUp;
        return std::nullopt;
    }
    std::string text;
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
              st.st_size <= static_cast<off_t>(kMaxJournalBytes);
    char buffer[4096];
    while (ok) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            ok = got == 0;
            break;
        }
        text.append(buffer, static_cast<size_t>(got));
        ok = text.size() <= kMaxJournalBytes;
    }
    ::close(fd);
    if (!ok) {
        error = cannot + " (not a regular file of at most " + std::to_string(kMaxJournalBytes) +
                " bytes)" + giveUp;
        return std::nullopt;
    }
    UpgradeJournal journal;
    std::string why;
    if (!ParseUpgradeJournal(text, journal, why)) {
        error = cannot + " (" + PrintableText(why) + ")" + giveUp;
        return std::nullopt;
    }
    return journal;
}

bool ParseUpgradeJournal(const std::string& text, UpgradeJournal& journal, std::string& why) {
    try {
        const json j = json::parse(text);
        if (!j.is_object())
            throw json::other_error::create(501, "not a JSON object", &j);
        const int format = number(j, "format", 1, kJournalFormat);
        journal = UpgradeJournal{};
        KeypadSettingsHandOver& s = journal.settings;
        journal.program = textAt(j, "program");
        journal.startedAt = textAt(j, "started_at");
        journal.imagePath = textAt(j, "image");
        journal.imageSha256 = textAt(j, "image_sha256");
        s.usbPort = textAt(j, "usb_port");
        if (!bytesOfHex(textAt(j, "serial_number_hex"), s.serialNumber) ||
            s.serialNumber.size() > SERIAL_LENGTH)
            throw json::other_error::create(501, "serial_number_hex is not 12 bytes in hex", &j);
        const json& read = j.at("settings_read");
        if (!read.is_boolean())
            throw json::other_error::create(501, "settings_read is not true or false", &j);
        s.captured = read.get<bool>();
        s.no_of_keys = number(j, "options", 0, 255);
        s.keypad_table = number(j, "keypad_type", 0, 255);
        s.led_brightness = number(j, "led_brightness", 0, 255);
        s.buzzer_enable = number(j, "buzzer", 0, 255);
        s.buzzer_period = number(j, "buzzer_period_index", -1, 254);
        const json& codes = j.at("key_codes");
        if (!codes.is_array() || codes.size() != s.key_codes.size())
            throw json::other_error::create(501, "key_codes is not 20 numbers", &j);
        for (size_t i = 0; i < s.key_codes.size(); ++i)
            s.key_codes[i] = inRange(codes[i], "key_codes", 0, 255);
        if (format == 1) {
            journal.downloadStarted = true;
        } else {
            const json& started = j.at("download_started");
            if (!started.is_boolean())
                throw json::other_error::create(501, "download_started is not true or false", &j);
            journal.downloadStarted = started.get<bool>();
        }
        return true;
    } catch (const json::exception& e) {
        why = e.what();
        return false;
    }
}

void RemoveUpgradeJournal() {
    const std::string path = UpgradeJournalPath();
    std::error_code ec;
    if (!path.empty())
        fs::remove(path, ec);
}

std::string DescribeUpgradeJournal(const UpgradeJournal& j, const std::string& indent) {
    std::string text =
        indent + "keypad: serial number " + PrintableSerial(j.settings.serialNumber) +
        ", USB port " +
        (j.settings.usbPort.empty() ? "unknown" : PrintableText(j.settings.usbPort)) + "\n";
    text += indent + "started: " + PrintableText(j.startedAt) + " by " + PrintableText(j.program) +
            "\n";
    text += indent + "image: " +
            (j.imagePath.empty()
                 ? "not chosen yet"
                 : PrintableText(j.imagePath) + " (SHA-256 " + PrintableText(j.imageSha256) + ")") +
            "\n";
    text += indent + "settings to send back: " +
            (j.settings.captured
                 ? "options " + std::to_string(j.settings.no_of_keys) + ", keypad type " +
                       std::to_string(j.settings.keypad_table) + ", LED " +
                       std::to_string(j.settings.led_brightness) + ", buzzer " +
                       std::to_string(j.settings.buzzer_enable) + ", buzzer period " +
                       std::to_string(j.settings.buzzer_period + 1) + ", 20 code table bytes"
                 : std::string("none (they could not be read)")) +
            "\n";
    return text;
}

std::string UtcNowText() {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

std::string Sha256Of(const std::string& data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr) != 1)
        return {};
    return hexOf(std::string(reinterpret_cast<const char*>(digest), length));
}

JournalKeypad FindJournalKeypad(const UpgradeJournal& journal, const LoaderIds& ids) {
    const std::string& port = journal.settings.usbPort;
    const std::vector<std::string> loaders = LoaderUsbPorts(ids);
    const std::vector<std::string> keypads = KeypadCommandPaths();
    if (port.empty()) {
        if (loaders.size() == 1 && keypads.empty())
            return JournalKeypad::InLoader;
        if (loaders.empty() && keypads.size() == 1)
            return JournalKeypad::Running;
        return JournalKeypad::Absent;
    }
    for (const auto& p : loaders)
        if (p == port)
            return JournalKeypad::InLoader;
    for (const auto& path : keypads)
        if (KeypadUsbPort(path) == port)
            return JournalKeypad::Running;
    return JournalKeypad::Absent;
}

bool OpenJournalKeypad(const UpgradeJournal& journal, std::optional<DeviceStatus>& status) {
    status.reset();
    if (!RescanForKeypad({"", journal.settings.usbPort}, false))
        return false;
    DeviceStatus s;
    if (ReadDeviceStatus(s) == 0)
        status = s;
    return true;
}

bool KeypadMayTakeJournal(const UpgradeJournal& journal,
                          const std::optional<DeviceStatus>& status) {
    if (!status)
        return false;
    const std::string reported = PrintableSerial(status->serialNumber, "");
    if (!reported.empty() && status->serialNumber == journal.settings.serialNumber)
        return true;
    // What new firmware reports before anything of its own is sent back.
    return status->options == kFreshFirmwareOptions &&
           (reported.empty() || reported == kFreshFirmwareSerial);
}

std::string JournalKeypadMismatch(const UpgradeJournal& journal,
                                  const std::optional<DeviceStatus>& status) {
    const std::string& port = journal.settings.usbPort;
    const std::string keypad =
        port.empty() ? "The keypad attached" : "The keypad on USB port " + port;
    const std::string reports = status ? "reports serial number " +
                                             PrintableSerial(status->serialNumber) + " (options " +
                                             std::to_string(status->options) + ")"
                                       : "does not answer with its status";
    return keypad + " " + reports + ", but the unfinished upgrade was of the keypad with serial " +
           "number " + PrintableSerial(journal.settings.serialNumber);
}

// ------------------------------------------------------------ the lock

std::string UpgradeLock::LockPath() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime && fs::path(runtime).is_absolute())
        return (fs::path(runtime) / "orvex-config-upgrade.lock").string();
    const std::string state = StateFolder();
    if (!state.empty())
        return (fs::path(state) / "upgrade.lock").string();
    return "/tmp/orvex-config-upgrade-" + std::to_string(::getuid()) + ".lock";
}

std::unique_ptr<UpgradeLock> UpgradeLock::Acquire(const std::string& program,
                                                  std::string& refusal) {
    const std::string path = LockPath();
    std::error_code ec;
    fs::create_directories(fs::path(path).parent_path(), ec);
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        refusal = "The upgrade lock " + path + " cannot be opened: " + std::strerror(errno) + ".";
        return nullptr;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        refusal = errno == EWOULDBLOCK ? "Another firmware upgrade is running (" + heldBy(fd) + ")."
                                       : "The upgrade lock " + path +
                                             " cannot be taken: " + std::strerror(errno) + ".";
        ::close(fd);
        return nullptr;
    }
    // Who holds it, for the one that is refused.
    const std::string holder = std::to_string(::getpid()) + " " + program + "\n";
    if (::ftruncate(fd, 0) != 0 ||
        ::pwrite(fd, holder.data(), holder.size(), 0) != static_cast<ssize_t>(holder.size())) {
        // The lock holds all the same; only the name is missing.
    }
    return std::unique_ptr<UpgradeLock>(new UpgradeLock(fd));
}

UpgradeLock::~UpgradeLock() {
    // Emptied first, so a stale name is never shown.
    (void)::ftruncate(fd_, 0);
    ::close(fd_);
}

} // namespace orvex::firmware
