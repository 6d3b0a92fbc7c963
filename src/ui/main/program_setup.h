#pragma once

namespace orvex {

class MainWindow;

// What each of the two programs adds before its window starts, built into
// that program only. orvex-config keeps to one window per user
// (single_instance.cpp): false when another one already runs and has been
// brought to the front, so this one ends. orvex-config-virtual adds its
// "Virtual keypad" menu (virtual_keypad_menu.cpp) and always goes on.
bool SetUpProgram(MainWindow& window);

} // namespace orvex
