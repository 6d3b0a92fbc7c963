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
#include "ui/main/form1.h"

namespace orvex::test {

using Table = std::array<uint8_t, 32>;

class EditorTest : public VirtualEnvTest {
protected:
    std::shared_ptr<sim::VirtualKeypad> keypad;
    std::unique_ptr<Form1> form;

    // A keypad with the given ways code on keypad type `type`, the main
    // window loaded, and logs and messages cleared.
    void start(uint8_t type, uint8_t options = 2) {
        keypad = plugKeypad();
        keypad->model.setOptions(options);
        // A status with a 32-byte table leaves room for 3 version characters
        // in one report.
        keypad->model.setVersion("2.1");
        auto s = keypad->model.running();
        s.keypadType = type;
        keypad->model.setRunning(s);
        form = std::make_unique<Form1>();
        form->Form1_Load();
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

    std::vector<uint8_t> commandsOf() const {
        std::vector<uint8_t> out;
        for (const auto& c : keypad->model.log())
            out.push_back(c.command);
        return out;
    }

    // Replaces the customised table of a group (0: type 2, 1: type 5, 2: type 8).
    void setCustomTable(int group, const Table& table) {
        auto s = keypad->model.running();
        s.customTables[static_cast<size_t>(group)] = table;
        keypad->model.setRunning(s);
    }

    std::vector<CodeTableEditor*> openEditors() const {
        std::vector<CodeTableEditor*> out;
        for (auto* e : form->findChildren<CodeTableEditor*>())
            if (e->isVisible())
                out.push_back(e);
        return out;
    }

    // "Customise Code Table"; the editor it opened, or null.
    CodeTableEditor* open() {
        const auto before = openEditors();
        form->button1_Click();
        for (auto* e : openEditors())
            if (std::find(before.begin(), before.end(), e) == before.end())
                return e;
        return nullptr;
    }

    std::vector<std::vector<uint8_t>> loads() const {
        std::vector<std::vector<uint8_t>> out;
        for (const auto& c : keypad->model.log())
            if (c.command == LoadCodeTable)
                out.push_back(c.payload);
        return out;
    }

    static void pickCode(CodeTableEditor* e, int position) {
        e->selectCodeCbox->setCurrentIndex(position);
        emit e->selectCodeCbox->activated(position);
    }
    static void pickModifier(CodeTableEditor* e, int position) {
        e->selectModifierCbox->setCurrentIndex(position);
        emit e->selectModifierCbox->activated(position);
    }
    static void clickKey(CodeTableEditor* e, int n) {
        e->keyButtons[static_cast<size_t>(n - 1)]->click();
    }
    static void clickModifier(CodeTableEditor* e, int n) {
        e->modifierButtons[static_cast<size_t>(n - 1)]->click();
    }
    static QString keyText(CodeTableEditor* e, int n) {
        return e->keyButtons[static_cast<size_t>(n - 1)]->text();
    }
    static QString modifierText(CodeTableEditor* e, int n) {
        return e->modifierButtons[static_cast<size_t>(n - 1)]->text();
    }
    static QColor keyFace(CodeTableEditor* e, int n) {
        return e->keyButtons[static_cast<size_t>(n - 1)]->face();
    }
    static QColor modifierFace(CodeTableEditor* e, int n) {
        return e->modifierButtons[static_cast<size_t>(n - 1)]->face();
    }
    // Lets the windows closed with delete-on-close go.
    static void flushDeletes() {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    // A table where key n has usage 0x10 + n and modifier 0xE0 + (n % 8).
    static Table sampleTable(int keys) {
        Table t{};
        for (int n = 1; n <= keys; ++n) {
            t[static_cast<size_t>(2 * (n - 1))] = static_cast<uint8_t>(0xE0 + n % 8);
            t[static_cast<size_t>(2 * n - 1)] = static_cast<uint8_t>(0x10 + n);
        }
        return t;
    }
};

// Keypad type, customised-table group, entries and bytes sent of each layout.
struct LayoutCase {
    uint8_t type;
    int group;
    int entries;
    size_t sent;
    const char* objectName;
    const char* failureCaption;
};
inline const LayoutCase kLayouts[] = {
    {2, 0, 10, 20, "My4way_layout", "Halden Orvex\u2122"},
    {5, 1, 12, 32, "My12way_layout", "Halden USB Encoder"},
    {8, 2, 16, 32, "My16way_layout", "Halden USB Encoder"},
};

} // namespace orvex::test
