#include "ui/codetable/grid_table_editor.h"

namespace orvex {

namespace {

constexpr int kFirstColumnX = 30;
constexpr int kColumnPitch = 230;
constexpr int kModifierWidth = 100;
constexpr int kModifierHeight = 40;
constexpr int kKeyOffset = 106; // key x from its cell's x
constexpr int kKeyWidth = 96;
constexpr int kKeyHeight = 100;

} // namespace

QRect GridTableEditor::KeyGeometry(int row, int column, int firstRowY, int rowPitch) {
    return {kFirstColumnX + column * kColumnPitch + kKeyOffset, firstRowY + row * rowPitch,
            kKeyWidth, kKeyHeight};
}

QRect GridTableEditor::ModifierGeometry(int row, int column, int firstRowY, int rowPitch) {
    return {kFirstColumnX + column * kColumnPitch,
            firstRowY + row * rowPitch + (kKeyHeight - kModifierHeight) / 2, kModifierWidth,
            kModifierHeight};
}

GridTableEditor::GridTableEditor(Design design, int rows, int columns, int firstRowY, int rowPitch,
                                 const std::array<uint8_t, 32>& table, QWidget* owner)
    : CodeTableEditor(std::move(design), owner) {
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < columns; ++c)
            addEntry(this, KeyGeometry(r, c, firstRowY, rowPitch),
                     QStringLiteral("Key %1").arg(r * columns + c + 1), keycolour::Red, this,
                     ModifierGeometry(r, c, firstRowY, rowPitch));
    LoadTable(table);
    rememberOpeningState();
    finishEditor();
}

TwelveKeyTableEditor::TwelveKeyTableEditor(const std::array<uint8_t, 32>& table, QWidget* owner)
    : GridTableEditor(
          Design{
              .objectName = "TwelveKeyTableEditor",
              .title = "Customise 12 Way Keypad Table",
              .heading = "Customise 12 Way Code Table\n    (USB Codes in Hex)",
              .headingGeometry = {218, 18, 460, 64},
              .size = {944, 657},
              .sendSize = 32,
              .keypadType = 5,
              .usage = UsageListSize::Full,
              .failureCaption = "Halden USB Encoder",
              .pickListGeometry = {736, 110, 188, 30},
              .resetGeometry = {752, 410, 156, 50},
              .applyGeometry = {752, 480, 156, 50},
              .closeGeometry = {752, 550, 156, 50},
          },
          4, 3, 110, 130, table, owner) {}

SixteenKeyTableEditor::SixteenKeyTableEditor(const std::array<uint8_t, 32>& table, QWidget* owner)
    : GridTableEditor(
          Design{
              .objectName = "SixteenKeyTableEditor",
              .title = "Customise 16 Way Keypad Table",
              .heading = " Customise 16 Way Code Table\n           (USB Codes in Hex)",
              .headingGeometry = {330, 14, 500, 64},
              .size = {1146, 640},
              .sendSize = 32,
              .keypadType = 8,
              .usage = UsageListSize::Full,
              .failureCaption = "Halden USB Encoder",
              .pickListGeometry = {956, 100, 180, 30},
              .resetGeometry = {968, 394, 156, 50},
              .applyGeometry = {968, 464, 156, 50},
              .closeGeometry = {968, 534, 156, 50},
          },
          4, 4, 100, 128, table, owner) {}

} // namespace orvex
