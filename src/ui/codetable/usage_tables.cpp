#include "ui/codetable/usage_tables.h"

#include <cstdio>

namespace orvex {

namespace {

// Names of the usage codes 0x00 to 0xFF (the full list's spelling).
std::array<std::string, 256> usageNames() {
    std::array<std::string, 256> n;
    size_t c = 0;
    auto add = [&](std::initializer_list<const char*> names) {
        for (const char* name : names)
            n[c++] = name;
    };
    add({"Reserved", "ErrorRollOver", "POSTFail", "ErrorUndefined"});
    for (char letter = 'a'; letter <= 'z'; ++letter)
        n[c++] = std::string(1, letter);
    add({"1", "2", "3", "4", "5", "6", "7", "8", "9", "0"});
    add({"Enter", "Escape", "Backspace", "Tab", "Spacebar", "Minus", "Equal", "LeftBracket",
         "RightBracket", "Backslash", "VerticalBar", "Semicolon", "Apostrophe", "Tilde", "Comma",
         "Period", "Slash", "CapsLock"});
    for (int f = 1; f <= 12; ++f)
        n[c++] = "F" + std::to_string(f);
    add({"PrintScreen", "ScrollLock", "Pause", "Insert", "Home", "PageUp", "DeleteForward", "End",
         "PageDown", "RightArrow", "LeftArrow", "DownArrow", "UpArrow", "KeypadNumlock",
         "KeypadSlash", "KeypadAsterisk", "KeypadMinus", "KeypadPlus", "KeypadEnter"});
    for (int k = 1; k <= 9; ++k)
        n[c++] = "Keypad" + std::to_string(k);
    add({"Keypad0", "KeypadPeriod", "NonUsBackslash", "WindowsKey", "Power", "KeypadEqual"});
    for (int f = 13; f <= 24; ++f)
        n[c++] = "F" + std::to_string(f);
    add({"Execute", "Help", "Menu", "Select", "Stop", "Again", "Undo", "Cut", "Copy", "Paste",
         "Find", "Mute", "VolumeUp", "VolumneDown"});
    add({"LockingCapsLock", "LockingNumLock", "LockingScrollLock", "KeypadComma",
         "AS400KeypadEqual"});
    for (int i = 1; i <= 9; ++i)
        n[c++] = "International" + std::to_string(i);
    for (int i = 1; i <= 9; ++i)
        n[c++] = "Lang" + std::to_string(i);
    add({"AlternateErase", "SysReq", "Cancel", "Clear", "Prior", "Return", "Separator", "Out",
         "Oper", "ClearAgain", "CrSelProps", "ExSel"});
    while (c < 0xE0)
        n[c++] = "Undefine";
    add({"LeftControl", "LeftShift", "LeftAlt", "LeftGUI", "RightControl", "RightShift", "RightAlt",
         "RightGUI"});
    while (c < 256)
        n[c++] = "Undefine";
    return n;
}

std::vector<std::string> buildList(UsageListSize size) {
    const auto names = usageNames();
    const int count = static_cast<int>(size);
    std::vector<std::string> list;
    list.reserve(static_cast<size_t>(count));
    for (int code = 0; code < count; ++code) {
        // Three entries were always written with one space less.
        const bool narrow = code == 0x0A || code == 0x10 || code == 0x1A;
        list.push_back(CodeLabel(code) + (narrow ? "   " : "    ") +
                       names[static_cast<size_t>(code)]);
    }
    if (size == UsageListSize::Short)
        list[0x81] = CodeLabel(0x81) + "    VolumeDown";
    return list;
}

} // namespace

const std::vector<std::string>& UsageList(UsageListSize size) {
    static const std::vector<std::string> full = buildList(UsageListSize::Full);
    static const std::vector<std::string> shortList = buildList(UsageListSize::Short);
    return size == UsageListSize::Short ? shortList : full;
}

std::string CodeLabel(int code) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", static_cast<unsigned>(code) & 0xFFu);
    return text;
}

int ModifierIndexFromCode(uint8_t byte) {
    return byte >= 0xE0 ? byte - 0xDF : byte;
}

uint8_t ModifierCodeFromIndex(int index) {
    return index <= 0 ? 0x00 : static_cast<uint8_t>(index + 0xDF);
}

bool ModifierIsListed(uint8_t byte) {
    return static_cast<size_t>(ModifierIndexFromCode(byte)) < ModifierList.size();
}

std::string ModifierText(uint8_t byte) {
    if (ModifierIsListed(byte))
        return std::string(ModifierList[static_cast<size_t>(ModifierIndexFromCode(byte))]);
    return "Mod " + CodeLabel(byte);
}

} // namespace orvex
