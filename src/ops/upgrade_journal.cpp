#include "ops/upgrade_journal.h"
#include "ops/journal_format.h"

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

#include <openssl/evp.h>

#include "config/atomic_file.h"
#include "device/device_commands.h"
#include "device/hid_link.h"
#include "device/keypad_identity.h"

namespace orvex::firmware {

namespace fs = std::filesystem;

namespace {

constexpr const char* kJournalName = "upgrade-journal.json";

// "Another firmware upgrade is running (orvexctl, process 1234)." or, for
// any other change, "Another change to a keypad is running (restore,
// orvex-config, process 1234)."
std::string heldBy(int fd) {
    char text[128] = {};
    const ssize_t got = ::pread(fd, text, sizeof text - 1, 0);
    std::string holder = got > 0 ? std::string(text, static_cast<size_t>(got)) : std::string();
    while (!holder.empty() && (holder.back() == '\n' || holder.back() == '\0'))
        holder.pop_back();
    holder = PrintableText(holder);
    // "PID PROGRAM [OPERATION]"
    const auto space = holder.find(' ');
    if (space == std::string::npos)
        return "Another firmware upgrade is running (another program).";
    const std::string pid = holder.substr(0, space);
    std::string program = holder.substr(space + 1);
    std::string operation;
    if (const auto second = program.find(' '); second != std::string::npos) {
        operation = program.substr(second + 1);
        program.resize(second);
    }
    if (operation.empty() || operation == "flash" || operation == "resume")
        return "Another firmware upgrade is running (" + program + ", process " + pid + ").";
    return "Another change to a keypad is running (" + operation + ", " + program + ", process " +
           pid + ").";
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
    std::error_code ec;
    fs::create_directories(fs::path(path).parent_path(), ec);
    const std::string text = UpgradeJournalText(journal);
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
    return HexOf(std::string(reinterpret_cast<const char*>(digest), length));
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

std::unique_ptr<UpgradeLock> UpgradeLock::Acquire(const std::string& program, std::string& refusal,
                                                  const std::string& operation) {
    const std::string path = LockPath();
    std::error_code ec;
    fs::create_directories(fs::path(path).parent_path(), ec);
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        refusal = "The upgrade lock " + path + " cannot be opened: " + std::strerror(errno) + ".";
        return nullptr;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        refusal = errno == EWOULDBLOCK ? heldBy(fd)
                                       : "The upgrade lock " + path +
                                             " cannot be taken: " + std::strerror(errno) + ".";
        ::close(fd);
        return nullptr;
    }
    // Who holds it, for the one that is refused.
    const std::string holder = std::to_string(::getpid()) + " " + program +
                               (operation.empty() ? "" : " " + operation) + "\n";
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
