#pragma once

// What the self-test window's two halves, its controls and its worker, share:
// captions, the states a screen reader hears, and how rows and indicators are
// coloured.

#include <QColor>

class QLabel;
class QPushButton;

namespace orvex::selftest {

inline constexpr const char* kLinkCaption = "Halden USB Encoder";
inline constexpr const char* kKeypadCaption = "Orvex\u2122 Keypad";

// What a phase's check box tells a screen reader besides its tick.
inline constexpr const char* kWaiting = "Waiting";
inline constexpr const char* kRunning = "Running";
inline constexpr const char* kPassed = "Passed";
inline constexpr const char* kFailed = "Failed";
inline constexpr const char* kStopped = "Stopped";

// A row's background while its phase runs.
inline const QColor kLightGreen(144, 238, 144);
// The indicators of a small keypad before their key arrives.
inline const QColor kGrey(128, 128, 128);
// Greyed row text on light green: 5:1 there.
inline const QColor kGreyedOnGreen(88, 88, 88);

// The greyed text of a row drawn disabled on `background`: the label's own
// text colour taken towards the background as far as it still reads.
QColor GreyedTextOn(const QColor& background, const QColor& text);

// A row label on `background`, its greyed text readable on it. Light green
// has its text fixed with it; any other background takes the palette's text.
void PaintRow(QLabel* label, const QColor& background);

// Indicators show their colour flat (styles shade a button's palette colour),
// with black or white text, whichever reads better on it.
void SetIndicatorColour(QPushButton* b, const QColor& colour);

} // namespace orvex::selftest
