#pragma once

// Keyboard use shared by every window: a focus mark that shows on any
// background, buttons that Enter presses as Space does, Escape that closes,
// tab order in reading order, and pick lists that change only on an explicit
// choice.

#include <functional>
#include <vector>

class QComboBox;
class QWidget;

namespace orvex::ui {

// Draws a two-tone ring (dark inside light, 3 px) around whichever control
// has the keyboard focus, in every window of the program. Idempotent.
void installFocusMark();

// Enter and Return press the focused push button of `window`, as Space does.
void pressButtonsOnEnter(QWidget* window);

// Escape anywhere in `window` runs `close` (popups take their own Escape first).
void closeOnEscape(QWidget* window, std::function<void()> close);

// Tab and Shift+Tab follow this order; hidden or disabled controls are skipped
// by Qt as usual.
void setTabChain(const std::vector<QWidget*>& order);

// A closed list never commits by itself: arrow, page and typed keys and the
// wheel open it instead of changing its entry; only a pick in the open list
// (click, Enter) commits.
void commitOnlyOnExplicitChoice(QComboBox* list);

} // namespace orvex::ui
