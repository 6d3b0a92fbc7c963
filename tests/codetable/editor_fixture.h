#pragma once

// The main window on a virtual keypad, and the editors "Customise Code Table"
// opens from it.

#include <QComboBox>
#include <QCoreApplication>
#include <QPointer>

#include <array>
#include <memory>
#include <vector>

#include "device/device_commands.h"
#include "test_env.h"
#include "ui/codetable/code_table_editor.h"
#include "ui/main/main_window.h"

namespace orvex::test {

using Table = std::array<uint8_t, 32>;

class EditorTest : public VirtualEnvTest {
protected:
    std::shared_ptr<sim::VirtualKeypad> keypad;
    std::unique_ptr<MainWindow> form;

    // A keypad on keypad type `type`, optionally with customised table
    // `table` for it, and the main window loaded; logs and messages cleared.
    void start(uint8_t type, uint8_t options = 2, const Table* table = nullptr) {
        keypad = plugKeypad();
        keypad->model.setOptions(options);
        // A status with a 32-byte table leaves room for 3 version characters.
        keypad->model.setVersion("2.1");
        auto s = keypad->model.running();
        s.keypadType = type;
        if (table)
            s.customTables[static_cast<size_t>(type / 3)] = *table;
        keypad->model.setRunning(s);
        form = std::make_unique<MainWindow>();
        form->startUp();
        keypad->model.clearLog();
        prompts.clear();
    }
    void TearDown() override {
        form.reset();
        VirtualEnvTest::TearDown();
    }
    // A fresh bus, clock and prompter for the next case of a loop.
    void restart() {
        TearDown();
        SetUp();
    }

    // "Customise Code Table"; the editor it opened, or null.
    CodeTableEditor* open() {
        const auto before = form->findChildren<CodeTableEditor*>();
        form->openCodeTableEditor();
        for (auto* e : form->findChildren<CodeTableEditor*>())
            if (!before.contains(e) && e->isVisible())
                return e;
        return nullptr;
    }

    std::vector<uint8_t> commands() const {
        std::vector<uint8_t> out;
        for (const auto& c : keypad->model.log())
            out.push_back(c.command);
        return out;
    }
    std::vector<std::vector<uint8_t>> loads() const {
        std::vector<std::vector<uint8_t>> out;
        for (const auto& c : keypad->model.log())
            if (c.command == LoadCodeTable)
                out.push_back(c.payload);
        return out;
    }

    static void pickCode(CodeTableEditor* e, int position) {
        e->keyCodeList->setCurrentIndex(position);
        emit e->keyCodeList->activated(position);
    }
    static void pickModifier(CodeTableEditor* e, int position) {
        e->modifierList->setCurrentIndex(position);
        emit e->modifierList->activated(position);
    }
    static KeyButton* key(CodeTableEditor* e, int n) {
        return e->keyButtons[static_cast<size_t>(n - 1)];
    }
    static KeyButton* mod(CodeTableEditor* e, int n) {
        return e->modifierButtons[static_cast<size_t>(n - 1)];
    }
    // Lets the windows closed with delete-on-close go.
    static void flushDeletes() {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    // Key n has usage 0x10 + n and modifier 0xE0 + (n % 8).
    static Table sampleTable(int keys) {
        Table t{};
        for (int n = 1; n <= keys; ++n) {
            t[static_cast<size_t>(2 * (n - 1))] = static_cast<uint8_t>(0xE0 + n % 8);
            t[static_cast<size_t>(2 * n - 1)] = static_cast<uint8_t>(0x10 + n);
        }
        return t;
    }
};

// Keypad type, entries and bytes sent of each layout.
struct LayoutCase {
    uint8_t type;
    int entries;
    size_t sent;
    const char* objectName;
    const char* failureCaption;
};
inline const LayoutCase kLayouts[] = {
    {2, 10, 20, "PictureTableEditor", "Halden Orvex\u2122"},
    {5, 12, 32, "TwelveKeyTableEditor", "Halden USB Encoder"},
    {8, 16, 32, "SixteenKeyTableEditor", "Halden USB Encoder"},
};

inline const QColor kRed{255, 0, 0};
inline const QColor kOrange{255, 165, 0};
inline const QColor kGreen{0, 128, 0};

} // namespace orvex::test
