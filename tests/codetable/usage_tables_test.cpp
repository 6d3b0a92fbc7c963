// The usage and modifier pick lists and their conversions.

#include <gtest/gtest.h>

#include <algorithm>

#include "ui/codetable/usage_tables.h"

using namespace orvex;

TEST(UsageList, LengthsEndsAndTheOddEntries) {
    const auto& full = UsageList(UsageListSize::Full);
    const auto& shortList = UsageList(UsageListSize::Short);
    ASSERT_EQ(full.size(), 256u);
    ASSERT_EQ(shortList.size(), 130u);
    EXPECT_EQ(full.front(), "0x00    Reserved");
    EXPECT_EQ(full.back(), "0xFF    Undefine");
    EXPECT_EQ(shortList.back(), "0x81    VolumeDown");
    EXPECT_EQ(full[0x81], "0x81    VolumneDown");
    // Only entry 0x81 differs between the lists.
    for (size_t code = 0; code < 0x81; ++code)
        EXPECT_EQ(shortList[code], full[code]) << code;
    // Three entries have one space less than the others.
    EXPECT_EQ(full[0x0A], "0x0A   g");
    EXPECT_EQ(full[0x10], "0x10   m");
    EXPECT_EQ(full[0x1A], "0x1A   w");
    EXPECT_EQ(std::count_if(full.begin(), full.end(),
                            [](const std::string& e) { return e.substr(4, 4) != "    "; }),
              3);
}

TEST(UsageList, EachEntryIsItsCodeAndTheNameOfThatCode) {
    const auto& full = UsageList(UsageListSize::Full);
    for (size_t code = 0; code < full.size(); ++code)
        EXPECT_EQ(full[code].substr(0, 4), CodeLabel(static_cast<int>(code))) << code;
    // Start and end of each run of names.
    const std::pair<int, const char*> names[] = {
        {0x03, "ErrorUndefined"},
        {0x04, "a"},
        {0x1D, "z"},
        {0x1E, "1"},
        {0x27, "0"},
        {0x28, "Enter"},
        {0x2C, "Spacebar"},
        {0x39, "CapsLock"},
        {0x3A, "F1"},
        {0x45, "F12"},
        {0x46, "PrintScreen"},
        {0x58, "KeypadEnter"},
        {0x59, "Keypad1"},
        {0x61, "Keypad9"},
        {0x62, "Keypad0"},
        {0x63, "KeypadPeriod"},
        {0x67, "KeypadEqual"},
        {0x68, "F13"},
        {0x73, "F24"},
        {0x74, "Execute"},
        {0x80, "VolumeUp"},
        {0x82, "LockingCapsLock"},
        {0x86, "AS400KeypadEqual"},
        {0x87, "International1"},
        {0x8F, "International9"},
        {0x90, "Lang1"},
        {0x98, "Lang9"},
        {0x99, "AlternateErase"},
        {0xA4, "ExSel"},
        {0xA5, "Undefine"},
        {0xDF, "Undefine"},
        {0xE0, "LeftControl"},
        {0xE7, "RightGUI"},
        {0xE8, "Undefine"},
    };
    for (const auto& [code, name] : names) {
        const std::string& entry = full[static_cast<size_t>(code)];
        EXPECT_EQ(entry.substr(entry.find_last_of(' ') + 1), name) << entry;
    }
    EXPECT_EQ(full[0x04], "0x04    a");
    EXPECT_EQ(full[0xE7], "0xE7    RightGUI");
}

TEST(CodeLabel, TwoUpperCaseHexDigits) {
    EXPECT_EQ(CodeLabel(0x00), "0x00");
    EXPECT_EQ(CodeLabel(0x0F), "0x0F");
    EXPECT_EQ(CodeLabel(0xE0), "0xE0");
    EXPECT_EQ(CodeLabel(0xFF), "0xFF");
}

TEST(ModifierList, TextsAndConversions) {
    const char* texts[] = {" None",       "Left  Ctrl",   "Left Shift",
                           "Left    Alt", "Left   Gui",   "Right  Ctrl",
                           "Right Shift", "Right    Alt", "Right   Gui"};
    ASSERT_EQ(ModifierList.size(), 9u);
    for (size_t i = 0; i < ModifierList.size(); ++i)
        EXPECT_EQ(ModifierList[i], texts[i]);

    EXPECT_EQ(ModifierIndexFromCode(0x00), 0);
    EXPECT_EQ(ModifierCodeFromIndex(0), 0x00);
    for (int i = 1; i <= 8; ++i) {
        const uint8_t byte = static_cast<uint8_t>(0xDF + i);
        EXPECT_EQ(ModifierIndexFromCode(byte), i);
        EXPECT_EQ(ModifierCodeFromIndex(i), byte);
        // Small bytes are taken as the index itself.
        EXPECT_EQ(ModifierIndexFromCode(static_cast<uint8_t>(i)), i);
    }
    EXPECT_EQ(ModifierText(0x00), " None");
    EXPECT_EQ(ModifierText(0xE7), "Right   Gui");
    EXPECT_EQ(ModifierText(0xE0), "Left  Ctrl");
    EXPECT_EQ(ModifierText(0x02), "Left Shift");
}

TEST(ModifierList, BytesWithoutAnEntryAreShownByValue) {
    for (int byte : {0x09, 0x3C, 0xDF, 0xE8, 0xFF}) {
        EXPECT_FALSE(ModifierIsListed(static_cast<uint8_t>(byte))) << byte;
        EXPECT_EQ(ModifierText(static_cast<uint8_t>(byte)), "Mod " + CodeLabel(byte));
    }
    for (int byte : {0x00, 0x08, 0xE0, 0xE7})
        EXPECT_TRUE(ModifierIsListed(static_cast<uint8_t>(byte))) << byte;
}
