#pragma once

// Where the loader images of an upgrade come from. The RAM loader, its version
// and the password come with the loader, not with this utility: the real-keypad
// programs read them from the data folders at run time, first the user's
// ($XDG_DATA_HOME/HaldenInterface/loader), then the system's
// (<each of $XDG_DATA_DIRS>/orvex-config/loader). The -virtual programs carry
// stand-ins instead (UseBuiltInLoaderImages). Everything here is decided before
// the keypad is sent to its loader.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvex::firmware {

inline constexpr const char* kRamLoaderFile = "RAM_BSL.Text";
inline constexpr const char* kRamLoaderVersionFile = "RAM_BSL_VERSION";
inline constexpr const char* kPasswordFile = "password.Text";

// The texts the start-up and the restart send.
struct LoaderImages {
    std::string password;         // "password.Text"
    std::string ramLoader;        // "RAM_BSL.Text"
    std::string ramLoaderVersion; // "RAM_BSL_VERSION"
    std::string forcedBor;        // "Forced_BOR.Text"
};

// Makes every upgrade of this program use these images and skip the data
// folders; called once at start by the programs of the virtual keypad.
// nullopt goes back to the data folders.
void UseBuiltInLoaderImages(std::optional<LoaderImages> images);
// The images set above; nullopt in the real-keypad programs.
std::optional<LoaderImages> BuiltInLoaderImages();

struct LoaderFolders {
    std::string user;                // looked in first; passwords are kept here
    std::vector<std::string> system; // then these, in order

    // From XDG_DATA_HOME (default ~/.local/share) and XDG_DATA_DIRS (default
    // /usr/local/share:/usr/share).
    static LoaderFolders FromEnvironment();
    // The user folder under a given data home, the system folders as above.
    static LoaderFolders ForDataHome(const std::string& dataHome);
};

// Says that RAM_BSL.Text is missing and where to put it.
std::string MissingRamLoaderText(const LoaderFolders& folders);

// 32 bytes of 0xFF at 0xFFE0: the password of a blank keypad. Sent when no
// password is known; a keypad holding firmware then mass-erases its flash.
std::string BlankPasswordText();

struct UpgradePlan {
    LoaderImages images;
    // No password image: the first password is the blank one, which a
    // programmed keypad answers with a mass erase.
    bool massEraseFirst = false;
    // The password is not known to match this keypad (no password, or a
    // shared one rather than the one kept for its serial number): a mass erase
    // may follow, so the user must agree first.
    bool needsConsent = false;
    // The password image used; empty for the blank and the built-in password.
    std::string passwordFile;
    // Where the vector table of a verified image is kept as the next password:
    // the folder of this keypad's serial number; empty when nothing is kept
    // (serial number unknown, the built-in images).
    std::string keepPasswordAs;
};

// The images for an upgrade of the keypad with this serial number ("" when
// unknown). The password comes from the keypad's own folder
// (user/SERIAL/password.Text, known to match), else from a shared
// password.Text (user folder, then the system folders), else the blank one.
// False, with a message that names the missing or unusable file and where to
// put it, when the upgrade must not start.
bool PlanUpgrade(const LoaderFolders& folders, const std::string& serialNumber, UpgradePlan& plan,
                 std::string& error);

// The keypad's folder name under the user's loader folder: the serial number
// with every byte but letters, digits, '-' and '_' written as %XX, so no two
// serial numbers share one. "" when the serial number holds no letter or digit.
std::string SerialFolderName(const std::string& serialNumber);

// The question asked before a keypad whose password is not known to match is
// sent to its loader (plan.needsConsent).
std::string MassEraseQuestion(const LoaderFolders& folders, const std::string& serialNumber,
                              const UpgradePlan& plan);

// Writes the vector table (0xFFE0-0xFFFF) of a TI-TXT image, from its file
// bytes as read once, as a password image, bytes the image leaves out as
// 0xFF. Replaced whole (written, synced, renamed). False with the reason on
// failure.
bool KeepPasswordFromText(std::string_view imageText, const std::string& passwordFile,
                          std::string& error);

} // namespace orvex::firmware
