#include "firmware/loader_store.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <system_error>

#include "bsl/bsl_protocol.h"
#include "bsl/ti_text.h"
#include "config/atomic_file.h"
#include "device/device_commands.h"
#include "firmware/loader_images.h"
#include "firmware/upgrade_sequence.h"

namespace orvex::firmware {

namespace fs = std::filesystem;

namespace {

std::mutex g_builtInMutex;
std::optional<LoaderImages> g_builtIn;

// Bytes 4 onwards of the stand-in RAM loader read this text; the real loader
// must not be mistaken for it, nor it for the real one.
constexpr std::string_view kStandInMarker = "Orvex synthetic RAM loader image";

bool readSmallFile(const fs::path& path, std::string& text, size_t limit) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    text.assign(limit, '\0');
    in.read(text.data(), static_cast<std::streamsize>(limit));
    text.resize(static_cast<size_t>(in.gcount()));
    return !in.bad();
}

std::string trimmed(std::string text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
        text.pop_back();
    size_t first = 0;
    while (first < text.size() && std::isspace(static_cast<unsigned char>(text[first])))
        ++first;
    return text.substr(first);
}

// "00.CC.AA.PP", two hex digits each, as the version check compares it.
bool isVersionText(const std::string& v) {
    if (v.size() != 11 || v.compare(0, 3, "00.") != 0)
        return false;
    for (size_t i = 3; i < v.size(); ++i)
        if ((i % 3 == 2) != (v[i] == '.') ||
            (v[i] != '.' && !std::isxdigit(static_cast<unsigned char>(v[i]))))
            return false;
    return true;
}

std::string whereToPut(const LoaderFolders& folders) {
    std::string text = folders.user;
    if (!folders.system.empty())
        text += " (or, for every user, " + folders.system.back() + ")";
    return text;
}

std::optional<fs::path> firstExisting(const LoaderFolders& folders, const char* name) {
    std::error_code ec;
    if (fs::is_regular_file(fs::path(folders.user) / name, ec))
        return fs::path(folders.user) / name;
    for (const auto& dir : folders.system)
        if (fs::is_regular_file(fs::path(dir) / name, ec))
            return fs::path(dir) / name;
    return std::nullopt;
}

std::string ramLoaderProblem(const std::string& text) {
    if (text.size() >= kRamLoaderBufferSize)
        return "it is " + std::to_string(kRamLoaderBufferSize) + " characters or longer";
    bsl::TiTextImage image;
    std::string error;
    if (!image.parse(text, error))
        return "it is not a TI-TXT image (" + error + ")";
    if (image.runs().empty() || image.runs().front().start != bsl::kRamLoaderStart)
        return "it does not load at 0x2500";
    bool entry = false;
    for (const auto& run : image.runs()) {
        if (run.start < bsl::kRamLoaderStart)
            return "it does not load at 0x2500";
        entry = entry || (run.start <= bsl::kRamLoaderEntry &&
                          bsl::kRamLoaderEntry < run.start + run.bytes.size());
    }
    if (!entry)
        return "it has no entry point at 0x2504";
    const auto& first = image.runs().front().bytes;
    if (std::string_view(reinterpret_cast<const char*>(first.data()), first.size())
            .find(kStandInMarker) != std::string_view::npos)
        return "it is the stand-in that only the virtual keypad runs";
    return {};
}

bool isPasswordImage(const std::string& text) {
    bsl::TiTextImage image;
    std::string error;
    return image.parse(text, error) && image.runs().size() == 1 &&
           image.runs()[0].start == bsl::kPasswordAddress &&
           image.runs()[0].bytes.size() == bsl::kPasswordSize;
}

std::string passwordText(const uint8_t* bytes) {
    std::string text = "@FFE0\n";
    char hex[4];
    for (size_t i = 0; i < bsl::kPasswordSize; ++i) {
        std::snprintf(hex, sizeof hex, "%02X", bytes[i]);
        text += hex;
        text += i % 16 == 15 ? "\n" : " ";
    }
    return text + "q\n";
}

} // namespace

void UseBuiltInLoaderImages(std::optional<LoaderImages> images) {
    std::lock_guard lock(g_builtInMutex);
    g_builtIn = std::move(images);
}

std::optional<LoaderImages> BuiltInLoaderImages() {
    std::lock_guard lock(g_builtInMutex);
    return g_builtIn;
}

LoaderFolders LoaderFolders::ForDataHome(const std::string& dataHome) {
    LoaderFolders f;
    f.user = (fs::path(dataHome) / "HaldenInterface" / "loader").string();
    const char* dirs = std::getenv("XDG_DATA_DIRS");
    std::stringstream list(dirs && *dirs ? dirs : "/usr/local/share/:/usr/share/");
    for (std::string dir; std::getline(list, dir, ':');)
        if (!dir.empty() && fs::path(dir).is_absolute())
            f.system.push_back((fs::path(dir) / "orvex-config" / "loader").string());
    return f;
}

LoaderFolders LoaderFolders::FromEnvironment() {
    const char* xdg = std::getenv("XDG_DATA_HOME");
    if (xdg && *xdg && fs::path(xdg).is_absolute())
        return ForDataHome(xdg);
    const char* home = std::getenv("HOME");
    return ForDataHome((fs::path(home ? home : "") / ".local" / "share").string());
}

std::string MissingRamLoaderText(const LoaderFolders& folders) {
    return std::string("The USB RAM loader image ") + kRamLoaderFile +
           " was not found, so the keypad cannot be upgraded. Put the RAM loader of the MSP430 "
           "USB bootstrap loader (from Texas Instruments) and its version file " +
           kRamLoaderVersionFile + " into " + whereToPut(folders) + ".";
}

std::string BlankPasswordText() {
    uint8_t blank[bsl::kPasswordSize];
    std::fill(std::begin(blank), std::end(blank), 0xFF);
    return passwordText(blank);
}

bool PlanUpgrade(const LoaderFolders& folders, const std::string& serialNumber, UpgradePlan& plan,
                 std::string& error) {
    plan = UpgradePlan{};
    if (auto builtIn = BuiltInLoaderImages()) {
        plan.images = std::move(*builtIn);
        return true;
    }
    plan.images.forcedBor = std::string(LoaderResource("Forced_BOR.Text"));

    const auto ram = firstExisting(folders, kRamLoaderFile);
    if (!ram) {
        error = MissingRamLoaderText(folders);
        return false;
    }
    std::string text;
    if (!readSmallFile(*ram, text, kRamLoaderBufferSize)) {
        error = "The RAM loader image " + ram->string() + " cannot be read.";
        return false;
    }
    if (const std::string why = ramLoaderProblem(text); !why.empty()) {
        error = "The RAM loader image " + ram->string() + " cannot be used: " + why +
                ". Put the RAM loader of the MSP430 USB bootstrap loader (from Texas "
                "Instruments) there instead.";
        return false;
    }
    plan.images.ramLoader = text;

    const fs::path versionFile = ram->parent_path() / kRamLoaderVersionFile;
    std::string version;
    if (!readSmallFile(versionFile, version, 64) || !isVersionText(version = trimmed(version))) {
        error = "The RAM loader version file " + versionFile.string() +
                " is missing or does not hold a version such as 00.06.05.34.";
        return false;
    }
    plan.images.ramLoaderVersion = version;

    // Only a password kept for this keypad's serial number is known to match
    // it; a shared one may belong to other firmware, and a password that does
    // not match makes the loader mass-erase the keypad.
    const std::string serial = SerialFolderName(serialNumber);
    const fs::path user(folders.user);
    if (!serial.empty())
        plan.keepPasswordAs = (user / serial / kPasswordFile).string();
    std::vector<fs::path> candidates;
    if (!serial.empty())
        candidates.push_back(user / serial / kPasswordFile);
    candidates.push_back(user / kPasswordFile);
    for (const auto& dir : folders.system)
        candidates.push_back(fs::path(dir) / kPasswordFile);
    for (size_t i = 0; i < candidates.size(); ++i) {
        const fs::path& file = candidates[i];
        std::error_code ec;
        if (!fs::is_regular_file(file, ec))
            continue;
        if (!readSmallFile(file, text, kPasswordBufferSize + 1) ||
            text.size() > kPasswordBufferSize || !isPasswordImage(text)) {
            error = "The password image " + file.string() +
                    " is not 32 bytes at 0xFFE0 in TI-TXT; correct or remove it.";
            return false;
        }
        plan.images.password = text;
        plan.passwordFile = file.string();
        plan.needsConsent = serial.empty() || i > 0;
        return true;
    }
    plan.images.password = BlankPasswordText();
    plan.massEraseFirst = true;
    plan.needsConsent = true;
    return true;
}

std::string SerialFolderName(const std::string& serialNumber) {
    // Letters, digits, '-' and '_' stand for themselves, every other byte is
    // %XX: two serial numbers never share a folder.
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    bool letterOrDigit = false;
    for (char ch : serialNumber) {
        const auto c = static_cast<unsigned char>(ch);
        if (std::isalnum(c) || c == '-' || c == '_') {
            out += static_cast<char>(c);
            letterOrDigit = letterOrDigit || std::isalnum(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 0x0F];
        }
    }
    // Blank or unset serial numbers are shared by many keypads.
    return letterOrDigit ? out : std::string();
}

std::string MassEraseQuestion(const LoaderFolders& folders, const std::string& serialNumber,
                              const UpgradePlan& plan) {
    const std::string serial = PrintableSerial(serialNumber, "");
    const std::string keypad =
        "this keypad" + (serial.empty() ? std::string() : " (serial number " + serial + ")");
    const std::string own = SerialFolderName(serialNumber);
    const std::string where =
        (fs::path(folders.user) / (own.empty() ? std::string("SERIAL") : own)).string();
    if (!plan.massEraseFirst)
        return "The password image " + plan.passwordFile + " is not known to match " + keypad +
               ". If it does not, the keypad's loader mass-erases its firmware before the new one "
               "is written, and if the upgrade then fails the keypad stays blank in its loader "
               "until an upgrade succeeds. To avoid the question, put the vector table of its "
               "current firmware as " +
               kPasswordFile + " into " + where + ". Go on at the risk of a mass erase?";
    return std::string("No password image (") + kPasswordFile + ") is known for " + keypad +
           ", so its loader will mass-erase the keypad's firmware before the new one is "
           "written. If the upgrade then fails, the keypad stays blank in its loader until "
           "an upgrade succeeds. To avoid the erase, put the vector table of its current "
           "firmware as " +
           kPasswordFile + " into " + where + ". Go on with the mass erase?";
}

bool KeepPasswordFromText(std::string_view imageText, const std::string& passwordFile,
                          std::string& error) {
    bsl::TiTextImage image;
    if (!image.parseFileBytes(imageText, error))
        return false;
    uint8_t table[bsl::kPasswordSize];
    std::fill(std::begin(table), std::end(table), 0xFF);
    for (const auto& run : image.runs())
        for (size_t i = 0; i < run.bytes.size(); ++i)
            if (const uint32_t a = run.start + static_cast<uint32_t>(i);
                a >= bsl::kPasswordAddress && a < bsl::kPasswordAddress + bsl::kPasswordSize)
                table[a - bsl::kPasswordAddress] = run.bytes[i];

    const fs::path target(passwordFile);
    std::error_code ec;
    fs::create_directories(target.parent_path(), ec);
    if (!ReplaceFileContents(target.string(), passwordText(table))) {
        error = "cannot write " + target.string();
        return false;
    }
    return true;
}

} // namespace orvex::firmware
