// The usage and modifier pick lists and their conversions.

#include <gtest/gtest.h>

#include <algorithm>

#include "ui/codetable/usage_tables.h"

using namespace orvex;

TEST(UsageList, EntriesAreCodeAndNameWithTheirOddities) {
    const auto& full = UsageList(UsageListSize::Full);
    const auto& shortList = UsageList(UsageListSize::Short);
    ASSERT_EQ(full.size(), 256u);
    ASSERT_EQ(shortList.size(), 130u);
    EXPECT_EQ(full.front(), "0x00    Reserved");
    EXPECT_EQ(full.back(), "0xFF    Undefine");
    EXPECT_EQ(full[0x81], "0x81    VolumneDown");
    EXPECT_EQ(shortList.back(), "0x81    VolumeDown");
    EXPECT_TRUE(std::equal(shortList.begin(), shortList.end() - 1, full.begin()));
    EXPECT_EQ(full[0x0A], "0x0A   g");
    EXPECT_EQ(full[0x10], "0x10   m");
    EXPECT_EQ(full[0x1A], "0x1A   w");
    EXPECT_EQ(std::count_if(full.begin(), full.end(),
                            [](const std::string& e) { return e.substr(4, 4) != "    "; }),
              3);
    for (size_t code = 0; code < full.size(); ++code)
        EXPECT_EQ(full[code].substr(0, 4), CodeLabel(static_cast<int>(code))) << code;
    // Both ends of each run of names.
    const std::pair<int, const char*> names[] = {
        {0x03, "ErrorUndefined"},
        {0x04, "a"},
        {0x1D, "z"},
        {0x1E, "1"},
        {0x27, "0"},
        {0x28, "Enter"},
        {0x39, "CapsLock"},
        {0x3A, "F1"},
        {0x45, "F12"},
        {0x58, "KeypadEnter"},
        {0x59, "Keypad1"},
        {0x62, "Keypad0"},
        {0x67, "KeypadEqual"},
        {0x68, "F13"},
        {0x73, "F24"},
        {0x80, "VolumeUp"},
        {0x86, "AS400KeypadEqual"},
        {0x8F, "International9"},
        {0x98, "Lang9"},
        {0xA4, "ExSel"},
        {0xA5, "Undefine"},
        {0xDF, "Undefine"},
        {0xE0, "LeftControl"},
        {0xE7, "RightGUI"},
        {0xE8, "Undefine"},
    };
    for (const auto& [code, name] : names)
        EXPECT_EQ(full[static_cast<size_t>(code)], CodeLabel(code) + "    " + name);
}

TEST(CodeLabel, TwoUpperCaseHexDigits) {
    EXPECT_EQ(CodeLabel(0x00), "0x00");
    EXPECT_EQ(CodeLabel(0x0F), "0x0F");
    EXPECT_EQ(CodeLabel(0xFF), "0xFF");
}

TEST(ModifierList, TextsConversionsAndUnlistedBytes) {
    const char* texts[] = {" None",       "Left  Ctrl",   "Left Shift",
                           "Left    Alt", "Left   Gui",   "Right  Ctrl",
                           "Right Shift", "Right    Alt", "Right   Gui"};
    ASSERT_EQ(ModifierList.size(), 9u);
    for (int i = 0; i < 9; ++i) {
        EXPECT_EQ(ModifierList[static_cast<size_t>(i)], texts[i]);
        const uint8_t byte = i == 0 ? 0x00 : static_cast<uint8_t>(0xDF + i);
        EXPECT_EQ(ModifierIndexFromCode(byte), i);
        EXPECT_EQ(ModifierCodeFromIndex(i), byte);
        EXPECT_EQ(ModifierText(byte), texts[i]);
        // Small bytes are taken as the index itself.
        EXPECT_EQ(ModifierIndexFromCode(static_cast<uint8_t>(i)), i);
    }
    for (int byte : {0x09, 0x3C, 0xDF, 0xE8, 0xFF}) {
        EXPECT_FALSE(ModifierIsListed(static_cast<uint8_t>(byte))) << byte;
        EXPECT_EQ(ModifierText(static_cast<uint8_t>(byte)), "Mod " + CodeLabel(byte));
    }
}
