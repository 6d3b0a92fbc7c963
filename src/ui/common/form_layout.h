#pragma once

// Windows laid out at fixed places, as a form designer draws them, that still
// work at any text size: every place and size follows the font, as form
// toolkits that scale by font do, and a window larger than the screen
// scrolls instead of running off it.

#include <QRect>
#include <QSize>
#include <QString>

#include <functional>
#include <vector>

class QWidget;

namespace orvex::ui {

// Height of the forms' design font now over its height at 96 dpi: 1.0 at the
// default font, 1.5 with a 144-dpi font.
double fontScale();

// A design rectangle at `scale`; neighbouring rectangles stay neighbours.
QRect scaled(const QRect& design, double scale);

// How assistive technology sees a window.
enum class WindowKind { Frame, Dialog };

struct FormOptions {
    WindowKind kind = WindowKind::Dialog;
    // Escape runs it (a dialog's or editor's close); none for the main window.
    std::function<void()> onEscape;
    // Tab order, in reading order; controls not listed keep their place after.
    std::vector<QWidget*> tabOrder;
    // Bars that stay in place when the window must scroll (menu bar, status strip).
    QWidget* pinnedTop = nullptr;
    QWidget* pinnedBottom = nullptr;
};

// Finishes a window whose controls sit at design places inside `designSize`:
// scales them and the window by fontScale(), makes it scroll where it would
// not fit the screen, keeps its title bar on screen when shown, and gives it
// the keyboard handling and accessibility every window shares. Call once, at
// the end of the window's construction.
void finishForm(QWidget* window, QSize designSize, const FormOptions& options);

// The most a window may take of the screen it is on, frame left out.
QSize usableScreenSize(const QWidget* window);

// Moves a window so that its frame, title bar included, lies on the screen
// that holds `topLeft` (or the nearest one).
void placeOnScreen(QWidget* window, QPoint topLeft);
void centreOnScreen(QWidget* window);

} // namespace orvex::ui
