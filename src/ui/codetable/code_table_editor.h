#pragma once

// The pattern shared by the three code table editors: one key button and one
// modifier button per entry, the two pick lists, Reset, Apply and Close. Each
// layout only places its controls.

#include <QColor>
#include <QPushButton>
#include <QRect>
#include <QSize>
#include <QString>
#include <QWidget>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "ui/codetable/usage_tables.h"

class QComboBox;
class QLabel;
class QPainter;

namespace orvex {

// A key or modifier button painted in one flat colour, or left see-through
// (no colour) so that the keypad picture behind it shows.
class KeyButton : public QPushButton {
    Q_OBJECT
public:
    using QPushButton::QPushButton;
    void setFace(const QColor& colour);
    // Invalid while the button is see-through.
    QColor face() const { return face_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void drawMark(QPainter& p) const;

    QColor face_;
};

namespace keycolour {
inline const QColor Red{255, 0, 0};
inline const QColor Orange{255, 165, 0};
inline const QColor Green{0, 128, 0};
inline const QColor Fuchsia{255, 0, 255};
inline const QColor Grey{128, 128, 128};
inline const QColor ModifierNormal{240, 240, 240};
inline const QColor GroupFrame{192, 255, 255};
} // namespace keycolour

class CodeTableEditor : public QWidget {
    Q_OBJECT
public:
    // What distinguishes one layout from another.
    struct Design {
        const char* objectName;
        QString title;
        QString heading; // two lines
        QRect headingGeometry;
        QSize size;
        uint32_t sendSize; // bytes of the LoadCodeTable payload
        int keypadType;    // the customised table it edits (2, 5 or 8)
        UsageListSize usage;
        std::string failureCaption;
        QRect pickListGeometry; // both pick lists share it
        QRect resetGeometry;
        QRect applyGeometry;
        QRect closeGeometry;
    };

    // Per entry (key n is entries[n-1]).
    struct Entry {
        int code = 0;
        int codeAtOpening = 0;
        int modifier = 0; // ModifierList position; above 8 for an unlisted byte
        int modifierAtOpening = 0;
        uint8_t modifierByteAtOpening = 0;
        QString keyTextAtOpening;
        QString modifierTextAtOpening;
        QColor idleFace; // the key's colour at opening; unmarked and Reset keys turn red
    };

    int entryCount() const { return static_cast<int>(entries.size()); }
    // The LoadCodeTable payload Apply would send now.
    std::vector<uint8_t> TableBytes() const;
    const Design& design() const { return design_; }

    std::vector<Entry> entries;
    uint32_t keySelected = 0;
    uint32_t modSelected = 0;
    QColor modifierNormalColour;

    // --- controls ---
    QLabel* headingLabel;
    QComboBox* keyCodeList;
    QComboBox* modifierList;
    QPushButton* resetButton;
    QPushButton* applyButton;
    QPushButton* closeButton;
    std::vector<KeyButton*> keyButtons;      // keyButton1 ...
    std::vector<KeyButton*> modifierButtons; // modifierButton1 ...

public slots:
    void selectKey(int n);
    void selectModifier(int n);
    void keyCodePicked(int position);
    void modifierPicked(int position);
    void resetTable();
    void applyTable();
    void closeWindow();

signals:
    // The keypad took the table (Apply succeeded); the editor closes next.
    void tableApplied();

protected:
    CodeTableEditor(Design design, QWidget* owner);

    // Creates entry n (the next one): its key button on `keyParent` at `key`
    // and its modifier button on `modifierParent` at `modifier`, both in
    // coordinates of their parents.
    void addEntry(QWidget* keyParent, QRect key, const QString& designText, const QColor& idleFace,
                  QWidget* modifierParent, QRect modifier);
    // Takes the keypad's table: current codes, modifiers and key texts.
    void LoadTable(const std::array<uint8_t, 32>& table);
    // Start of the editor: remembers the opening state. Call once, last.
    void rememberOpeningState();
    // Scales and fits the window, keyboard order and accessibility; call at
    // the end of the layout's constructor.
    void finishEditor();

private:
    // "Key 3", "Key 9, jack in": how entry n is spoken.
    QString EntryName(int n) const;
    // Checked state and spoken names of every key and modifier button.
    void updateEntryViews();
    void showListAfter(QComboBox* list, QWidget* button);
    void returnFocusFrom(QComboBox* list);
    void setKeyFace(int n, const QColor& colour);
    uint8_t modifierByte(const Entry& e) const;

    Design design_;
    QWidget* listAnchor_ = nullptr;
};

} // namespace orvex
