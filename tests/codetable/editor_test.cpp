// The code table editors against the virtual keypad, opened from the main
// window as the user does.

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>

#include "editor_fixture.h"
#include "ui/codetable/grid_layouts.h"
#include "ui/codetable/my4way_layout.h"

using namespace orvex;
using namespace orvex::test;

namespace {

const QColor kRed{255, 0, 0};
const QColor kOrange{255, 165, 0};
const QColor kGreen{0, 128, 0};

} // namespace

TEST_F(EditorTest, OpensTheEditorOfTheKeypadTypeWithTheKeypadsTable) {
    struct Expect {
        QString title;
        QString heading;
        QSize size;
        int listEntries;
    };
    const Expect expected[] = {
        {QString::fromUtf8("Orvex™ Layout"),
         QString::fromUtf8("Customise Orvex™ Code Table\n       (USB Codes in Hex)"),
         {835, 740},
         130},
        {"Customise 12 Way Keypad Table",
         "Customise 12 Way Code Table\n    (USB Codes in Hex)",
         {944, 657},
         256},
        {"Customise 16 Way Keypad Table",
         " Customise 16 Way Code Table\n           (USB Codes in Hex)",
         {1146, 640},
         256},
    };
    for (size_t i = 0; i < std::size(kLayouts); ++i) {
        const LayoutCase& c = kLayouts[i];
        SCOPED_TRACE(c.objectName);
        start(c.type);
        const Table table = sampleTable(c.entries);
        setCustomTable(c.group, table);
        CodeTableEditor* e = open();
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(e->objectName(), c.objectName);
        EXPECT_EQ(e->windowTitle(), expected[i].title);
        EXPECT_EQ(e->label1->text(), expected[i].heading);
        EXPECT_EQ(e->size(), expected[i].size);
        EXPECT_EQ(e->entryCount(), c.entries);
        EXPECT_EQ(e->parentWidget(), form.get());
        EXPECT_FALSE(e->isModal());
        EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
        // The status read comes first, nothing else is sent.
        EXPECT_EQ(commandsOf(), std::vector<uint8_t>{GetStatus});
        EXPECT_TRUE(prompts.messages().empty());
        for (int n = 1; n <= c.entries; ++n) {
            EXPECT_EQ(keyText(e, n), QString::asprintf("0x%02X", 0x10 + n)) << n;
            EXPECT_EQ(modifierText(e, n),
                      QString::fromStdString(std::string(ModifierList[static_cast<size_t>(
                          ModifierIndexFromCode(static_cast<uint8_t>(0xE0 + n % 8)))])))
                << n;
            EXPECT_EQ(modifierFace(e, n), e->modifierNormalColour);
        }
        EXPECT_FALSE(e->selectCodeCbox->isVisible());
        EXPECT_FALSE(e->selectModifierCbox->isVisible());
        EXPECT_EQ(e->selectCodeCbox->count(), expected[i].listEntries);
        EXPECT_EQ(e->selectCodeCbox->placeholderText(), "Select Code");
        EXPECT_EQ(e->selectModifierCbox->placeholderText(), "Modifier");
        EXPECT_EQ(e->selectModifierCbox->itemText(0), " None");
        EXPECT_EQ(e->selectCodeCbox->geometry(), e->selectModifierCbox->geometry());
        restart();
    }
}

TEST_F(EditorTest, DefaultAndAlternateTablesOpenNothing) {
    for (uint8_t type : {0, 1, 3, 4, 6, 7}) {
        start(type);
        EXPECT_EQ(open(), nullptr) << int(type);
        ASSERT_EQ(prompts.messages().size(), 1u);
        EXPECT_EQ(prompts.messages()[0].text, "Please select a customise table..\n");
        EXPECT_EQ(prompts.messages()[0].caption, "Halden Orvex\u2122");
        EXPECT_EQ(prompts.messages()[0].icon, MsgIcon::Warning);
        EXPECT_EQ(commandsOf(), std::vector<uint8_t>{GetStatus});
        restart();
    }
}

TEST_F(EditorTest, StatusFailureOpensNothing) {
    start(8);
    keypad->model.injectFault({sim::Fault::Refuse});
    EXPECT_EQ(open(), nullptr);
    EXPECT_EQ(prompts.texts(),
              std::vector<std::string>{"Load Table-Unable to get device status..\n"});
    EXPECT_EQ(prompts.messages()[0].caption, "Halden Orvex\u2122");

    // The type is read at each opening: switching to the customised table
    // afterwards is enough.
    prompts.clear();
    start(0);
    ASSERT_EQ(SendDeviceCommandByte(SetKeypadType, 5), 0);
    CodeTableEditor* e = open();
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->objectName(), "My12way_layout");
}

TEST_F(EditorTest, SeveralEditorsMayBeOpenWhileTheMainWindowStaysUsable) {
    start(8);
    CodeTableEditor* first = open();
    CodeTableEditor* second = open();
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first, second);
    EXPECT_EQ(openEditors().size(), 2u);
    // Each works on its own copy.
    clickKey(first, 1);
    pickCode(first, 0x29);
    EXPECT_EQ(keyText(second, 1), "0x04");
    EXPECT_TRUE(form->button1->isEnabled());
}

TEST_F(EditorTest, MarkingKeysTwoAndFiveThenPickingACode) {
    for (const LayoutCase& c : kLayouts) {
        SCOPED_TRACE(c.objectName);
        start(c.type);
        CodeTableEditor* e = open();
        ASSERT_NE(e, nullptr);
        const QString key1 = keyText(e, 1);
        clickKey(e, 2);
        EXPECT_EQ(keyFace(e, 2), kOrange);
        EXPECT_TRUE(e->selectCodeCbox->isVisible());
        EXPECT_FALSE(e->selectModifierCbox->isVisible());
        clickKey(e, 5);
        EXPECT_EQ(e->keySelected, 0b10010u);
        pickCode(e, 0x28);
        for (int n : {2, 5}) {
            EXPECT_EQ(keyText(e, n), "0x28");
            EXPECT_EQ(e->entries[static_cast<size_t>(n - 1)].code, 0x28);
            EXPECT_EQ(keyFace(e, n), kGreen);
        }
        EXPECT_EQ(e->keySelected, 0u);
        EXPECT_FALSE(e->selectCodeCbox->isVisible());
        EXPECT_EQ(keyText(e, 1), key1);
        EXPECT_EQ(keyFace(e, 1), e->entries[0].idleFace);
        EXPECT_EQ(commandsOf(), std::vector<uint8_t>{GetStatus});
        restart();
    }
}

TEST_F(EditorTest, MarksToggleAndEachKindShowsItsOwnList) {
    start(5);
    CodeTableEditor* e = open();
    ASSERT_NE(e, nullptr);
    clickKey(e, 3);
    clickKey(e, 3);
    EXPECT_EQ(keyFace(e, 3), kRed);
    EXPECT_EQ(e->keySelected, 0u);
    // Unmarking the last key leaves the code list up.
    EXPECT_TRUE(e->selectCodeCbox->isVisible());

    clickKey(e, 4);
    clickModifier(e, 1);
    EXPECT_EQ(modifierFace(e, 1), kOrange);
    EXPECT_TRUE(e->selectModifierCbox->isVisible());
    EXPECT_FALSE(e->selectCodeCbox->isVisible());
    EXPECT_EQ(e->keySelected, 0b1000u); // marks of the other kind stay
    clickModifier(e, 1);
    EXPECT_EQ(modifierFace(e, 1), e->modifierNormalColour);
    EXPECT_EQ(e->modSelected, 0u);

    // Several modifiers at once.
    clickModifier(e, 2);
    clickModifier(e, 12);
    pickModifier(e, 6);
    for (int n : {2, 12}) {
        EXPECT_EQ(modifierText(e, n), "Right Shift");
        EXPECT_EQ(e->entries[static_cast<size_t>(n - 1)].modifier, 6);
        EXPECT_EQ(modifierFace(e, n), e->modifierNormalColour);
    }
    EXPECT_EQ(e->modSelected, 0u);
    EXPECT_FALSE(e->selectModifierCbox->isVisible());
    EXPECT_EQ(e->keySelected, 0b1000u);
    // The list opens on its placeholder again.
    EXPECT_EQ(e->selectModifierCbox->currentIndex(), -1);
}

TEST_F(EditorTest, ModifierPicksAreSentAsTheirBytes) {
    start(8);
    setCustomTable(2, sampleTable(16)); // key 3 has 0xE3, key 4 0xE4
    CodeTableEditor* e = open();
    ASSERT_NE(e, nullptr);
    clickModifier(e, 3);
    pickModifier(e, 1); // "Left  Ctrl"
    EXPECT_EQ(modifierText(e, 3), "Left  Ctrl");
    clickModifier(e, 4);
    pickModifier(e, 0); // " None"
    EXPECT_EQ(modifierText(e, 4), " None");
    const std::vector<uint8_t> before = e->TableBytes();
    e->applyBtn->click();
    ASSERT_EQ(loads().size(), 1u);
    const auto sent = loads()[0];
    EXPECT_EQ(sent[4], 0xE0);
    EXPECT_EQ(sent[6], 0x00);
    EXPECT_EQ(sent, before);
    // Building the bytes does not change the editor's own indexes.
    DeviceStatus s;
    ASSERT_EQ(ReadDeviceStatus(s), 0);
    EXPECT_EQ(s.keyCodes[4], 0xE0);
    EXPECT_EQ(s.keyCodes[6], 0x00);
}

TEST_F(EditorTest, ResetReturnsToTheOpeningState) {
    start(5);
    setCustomTable(1, sampleTable(12));
    CodeTableEditor* e = open();
    ASSERT_NE(e, nullptr);
    std::vector<QString> keys, modifiers;
    for (int n = 1; n <= 12; ++n) {
        keys.push_back(keyText(e, n));
        modifiers.push_back(modifierText(e, n));
    }
    const std::vector<uint8_t> opening = e->TableBytes();
    clickKey(e, 1);
    clickKey(e, 12);
    pickCode(e, 0x3A);
    clickModifier(e, 7);
    pickModifier(e, 8);
    clickKey(e, 6);      // still marked
    clickModifier(e, 9); // still marked
    ASSERT_NE(e->TableBytes(), opening);

    e->resetBtn->click();
    for (int n = 1; n <= 12; ++n) {
        EXPECT_EQ(keyText(e, n), keys[static_cast<size_t>(n - 1)]) << n;
        EXPECT_EQ(modifierText(e, n), modifiers[static_cast<size_t>(n - 1)]) << n;
        EXPECT_EQ(keyFace(e, n), kRed) << n;
        EXPECT_EQ(modifierFace(e, n), e->modifierNormalColour) << n;
        const auto& entry = e->entries[static_cast<size_t>(n - 1)];
        EXPECT_EQ(entry.code, entry.codeAtOpening);
        EXPECT_EQ(entry.modifier, entry.modifierAtOpening);
    }
    EXPECT_EQ(e->keySelected, 0u);
    EXPECT_EQ(e->modSelected, 0u);
    // The lists keep their visibility.
    EXPECT_TRUE(e->selectModifierCbox->isVisible());
    e->applyBtn->click();
    ASSERT_EQ(loads().size(), 1u);
    EXPECT_EQ(loads()[0], opening);
}

TEST_F(EditorTest, ApplySendsTheTableOfEachLayoutAndTheKeypadKeepsIt) {
    for (const LayoutCase& c : kLayouts) {
        SCOPED_TRACE(c.objectName);
        start(c.type);
        const Table table = sampleTable(c.entries);
        setCustomTable(c.group, table);
        QPointer<CodeTableEditor> e = open();
        ASSERT_NE(e, nullptr);
        clickKey(e, 2);
        clickKey(e, 5);
        pickCode(e, 0x28);
        clickModifier(e, c.entries); // last entry: the jack out on the picture editor
        pickModifier(e, 1);
        e->applyBtn->click();

        std::vector<uint8_t> expected(table.begin(), table.begin() + static_cast<long>(c.sent));
        expected[3] = 0x28;
        expected[9] = 0x28;
        expected[static_cast<size_t>(2 * (c.entries - 1))] = 0xE0;
        if (c.type == 5) {
            for (size_t i = 24; i < 32; ++i)
                EXPECT_EQ(expected[i], 0x00);
        }
        ASSERT_EQ(loads().size(), 1u);
        EXPECT_EQ(loads()[0].size(), c.sent);
        EXPECT_EQ(loads()[0], expected);
        EXPECT_TRUE(prompts.messages().empty());
        // Closed on success.
        ASSERT_FALSE(e.isNull());
        EXPECT_FALSE(e->isVisible());
        flushDeletes();
        EXPECT_TRUE(e.isNull());

        // The keypad reports the new table.
        DeviceStatus s;
        ASSERT_EQ(ReadDeviceStatus(s), 0);
        EXPECT_EQ(s.keypadType, c.type);
        const size_t n = static_cast<size_t>(s.tableLength);
        EXPECT_TRUE(std::equal(s.keyCodes.begin(), s.keyCodes.begin() + static_cast<long>(n),
                               expected.begin()));
        // And a new editor starts from it.
        CodeTableEditor* again = open();
        ASSERT_NE(again, nullptr);
        EXPECT_EQ(keyText(again, 2), "0x28");
        EXPECT_EQ(modifierText(again, c.entries), "Left  Ctrl");
        restart();
    }
}

TEST_F(EditorTest, FailedApplyKeepsTheEditorAndASecondApplySendsTheSame) {
    for (const LayoutCase& c : kLayouts) {
        SCOPED_TRACE(c.objectName);
        start(c.type);
        const Table before = keypad->model.tableForType(c.type);
        CodeTableEditor* e = open();
        ASSERT_NE(e, nullptr);
        clickKey(e, 1);
        pickCode(e, 0x50);
        keypad->model.injectFault({sim::Fault::Refuse});
        e->applyBtn->click();
        ASSERT_EQ(prompts.messages().size(), 1u);
        EXPECT_EQ(prompts.messages()[0].text, "Unable to Load Table..\n");
        EXPECT_EQ(prompts.messages()[0].caption, c.failureCaption);
        EXPECT_TRUE(e->isVisible());
        EXPECT_EQ(keyText(e, 1), "0x50");
        EXPECT_EQ(keyFace(e, 1), kGreen);
        EXPECT_EQ(keypad->model.tableForType(c.type), before);

        e->applyBtn->click();
        const auto sent = loads();
        ASSERT_EQ(sent.size(), 2u);
        EXPECT_EQ(sent[1], sent[0]);
        EXPECT_EQ(sent[1][1], 0x50);
        EXPECT_FALSE(e->isVisible());
        EXPECT_EQ(prompts.messages().size(), 1u);
        restart();
    }
}

TEST_F(EditorTest, ApplyWithTheKeypadGoneShowsTheFailure) {
    start(8);
    CodeTableEditor* e = open();
    ASSERT_NE(e, nullptr);
    sim::VirtualBus::instance().unplug(keypad);
    e->applyBtn->click();
    EXPECT_EQ(prompts.texts(), std::vector<std::string>{"Unable to Load Table..\n"});
    EXPECT_TRUE(e->isVisible());
}

TEST_F(EditorTest, CloseSendsNothing) {
    start(8);
    QPointer<CodeTableEditor> e = open();
    ASSERT_NE(e, nullptr);
    clickKey(e, 1);
    pickCode(e, 0x30);
    e->closeBtn->click();
    EXPECT_FALSE(e->isVisible());
    flushDeletes();
    EXPECT_TRUE(e.isNull());

    // The window's own close box likewise.
    e = open();
    ASSERT_NE(e, nullptr);
    clickModifier(e, 2);
    pickModifier(e, 3);
    e->close();
    EXPECT_EQ(commandsOf(), (std::vector<uint8_t>{GetStatus, GetStatus}));
    EXPECT_EQ(keypad->model.tableForType(8)[1], 0x04);
}

TEST_F(EditorTest, ModifierBytesWithoutAnEntryAreShownAndKept) {
    start(8);
    Table t = sampleTable(16);
    t[0] = 0x3C; // key 1
    t[2] = 0xF0; // key 2
    t[4] = 0x09; // key 3
    t[6] = 0x03; // key 4: taken as index 3
    setCustomTable(2, t);
    CodeTableEditor* e = open();
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(modifierText(e, 1), "Mod 0x3C");
    EXPECT_EQ(modifierText(e, 2), "Mod 0xF0");
    EXPECT_EQ(modifierText(e, 3), "Mod 0x09");
    EXPECT_EQ(modifierText(e, 4), "Left    Alt");
    std::vector<uint8_t> expected(t.begin(), t.end());
    expected[6] = 0xE2;
    EXPECT_EQ(e->TableBytes(), expected);

    // A pick replaces the byte; Reset brings it back.
    clickModifier(e, 1);
    pickModifier(e, 5);
    EXPECT_EQ(e->TableBytes()[0], 0xE4);
    e->resetBtn->click();
    EXPECT_EQ(modifierText(e, 1), "Mod 0x3C");
    e->applyBtn->click();
    ASSERT_EQ(loads().size(), 1u);
    EXPECT_EQ(loads()[0], expected);
}

TEST_F(EditorTest, GridKeysSitInRowsWithTheirModifierOnTheLeft) {
    for (const LayoutCase& c : {kLayouts[1], kLayouts[2]}) {
        SCOPED_TRACE(c.objectName);
        start(c.type);
        CodeTableEditor* e = open();
        ASSERT_NE(e, nullptr);
        const int columns = c.entries / 4;
        for (int n = 1; n <= c.entries; ++n) {
            const QRect key = e->keyButtons[static_cast<size_t>(n - 1)]->geometry();
            const QRect mod = e->modifierButtons[static_cast<size_t>(n - 1)]->geometry();
            EXPECT_EQ(e->keyButtons[static_cast<size_t>(n - 1)]->objectName(),
                      QStringLiteral("keyBtn%1").arg(n));
            EXPECT_LT(mod.right(), key.left()) << n;
            EXPECT_TRUE(key.contains(QPoint(key.center().x(), mod.center().y()))) << n;
            EXPECT_TRUE(e->rect().contains(key)) << n;
            EXPECT_EQ(keyFace(e, n), kRed);
            if (n > 1) {
                const QRect prev = e->keyButtons[static_cast<size_t>(n - 2)]->geometry();
                if ((n - 1) % columns == 0) { // first of a new row
                    EXPECT_GT(key.top(), prev.bottom()) << n;
                } else {
                    EXPECT_EQ(key.top(), prev.top()) << n;
                    EXPECT_GT(mod.left(), prev.right()) << n;
                }
            }
        }
        restart();
    }
}

TEST_F(EditorTest, NoTwoControlsOverlap) {
    for (const LayoutCase& c : kLayouts) {
        SCOPED_TRACE(c.objectName);
        start(c.type);
        CodeTableEditor* e = open();
        ASSERT_NE(e, nullptr);
        std::vector<std::pair<QString, QRect>> places;
        for (QWidget* w : e->findChildren<QWidget*>()) {
            if (!w->isVisible() || !qobject_cast<QPushButton*>(w))
                continue;
            places.emplace_back(w->objectName(), QRect(w->mapTo(e, QPoint(0, 0)), w->size()));
        }
        places.emplace_back("lists", e->selectCodeCbox->geometry());
        places.emplace_back("label1", e->label1->geometry());
        for (size_t i = 0; i < places.size(); ++i) {
            EXPECT_TRUE(e->rect().contains(places[i].second)) << places[i].first.toStdString();
            for (size_t j = i + 1; j < places.size(); ++j)
                EXPECT_FALSE(places[i].second.intersects(places[j].second))
                    << places[i].first.toStdString() << " / " << places[j].first.toStdString();
        }
        restart();
    }
}
