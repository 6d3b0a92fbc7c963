#pragma once

// The 12-way and 16-way editors: keys in a grid, each with its modifier
// button to its left.

#include "ui/codetable/code_table_editor.h"

namespace orvex {

class GridTableEditor : public CodeTableEditor {
    Q_OBJECT
public:
    // Geometry of one grid cell's buttons, for the key in row r, column c.
    static QRect KeyGeometry(int row, int column, int firstRowY, int rowPitch);
    static QRect ModifierGeometry(int row, int column, int firstRowY, int rowPitch);

protected:
    GridTableEditor(Design design, int rows, int columns, int firstRowY, int rowPitch,
                    const std::array<uint8_t, 32>& table, QWidget* owner);
};

// Customised table of keypad type 5.
class TwelveKeyTableEditor : public GridTableEditor {
    Q_OBJECT
public:
    explicit TwelveKeyTableEditor(const std::array<uint8_t, 32>& table, QWidget* owner = nullptr);
};

// Customised table of keypad type 8.
class SixteenKeyTableEditor : public GridTableEditor {
    Q_OBJECT
public:
    explicit SixteenKeyTableEditor(const std::array<uint8_t, 32>& table, QWidget* owner = nullptr);
};

} // namespace orvex
