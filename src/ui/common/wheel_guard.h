#pragma once

class QComboBox;

namespace orvex::ui {

// A list whose pick is sent to the keypad at once must not change under a
// wheel that only passes over it: the wheel changes the list only while the
// list has the keyboard focus (taken by a click or Tab, not by the wheel).
// Otherwise the wheel goes on to the window behind. Keys are left alone.
void TakeWheelOnlyWithFocus(QComboBox* list);

} // namespace orvex::ui
