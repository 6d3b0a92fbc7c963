#pragma once

// The two pick lists of the code table editors (HID keyboard usages and
// modifiers) and the conversions between list positions and table bytes.
// Data and pure functions only.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace orvex {

// The 12- and 16-way editors offer every usage code; the picture editor only
// the first 130 (0x00 to 0x81).
enum class UsageListSize { Full = 256, Short = 130 };

// Entry n is the text of usage code n: "0x", two hex digits, spaces, the name.
// The entries are kept exactly as the keypad's users know them, odd spacing
// and spelling included.
const std::vector<std::string>& UsageList(UsageListSize size);

// Modifier index -> text; index 0 is no modifier.
inline constexpr std::array<std::string_view, 9> ModifierList = {
    " None",       "Left  Ctrl",  "Left Shift",   "Left    Alt", "Left   Gui",
    "Right  Ctrl", "Right Shift", "Right    Alt", "Right   Gui",
};

// "0x" and two upper-case hex digits of the code's low byte.
std::string CodeLabel(int code);

// 0xE0 and above give byte - 0xDF (0xE0..0xE7 -> 1..8); smaller bytes are the
// index unchanged. Results above 8 have no ModifierList entry.
int ModifierIndexFromCode(uint8_t byte);

// 0 -> 0x00, index n >= 1 -> n + 0xDF.
uint8_t ModifierCodeFromIndex(int index);

// Whether a stored modifier byte has a ModifierList entry (0x00 to 0x08 and
// 0xE0 to 0xE7).
bool ModifierIsListed(uint8_t byte);

// How a stored modifier byte is shown: its ModifierList entry, or
// "Mod 0xNN" for a byte the list cannot show.
std::string ModifierText(uint8_t byte);

} // namespace orvex
