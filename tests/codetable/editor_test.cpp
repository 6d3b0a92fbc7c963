// The code table editors against the virtual keypad, opened from the main
// window as the user does.

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QPointer>
#include <QTest>

#include "editor_fixture.h"
#include "ops/change_lock.h"

using namespace orvex;
using namespace orvex::test;

TEST_F(EditorTest, OpensTheEditorOfTheCustomisedTypesOnly) {
    const struct {
        QString title;
        QString heading;
        QSize size;
        int listEntries;
    } expected[] = {
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
    for (uint8_t type = 0; type <= 8; ++type) {
        SCOPED_TRACE(int(type));
        const Table table = sampleTable(16);
        start(type, 2, &table);
        CodeTableEditor* e = open();
        EXPECT_EQ(commands(), std::vector<uint8_t>{GetStatus}); // the status read comes first
        if (!IsCustomisedType(type)) {
            EXPECT_EQ(e, nullptr);
            ASSERT_EQ(prompts.messages().size(), 1u);
            EXPECT_EQ(prompts.messages()[0].text, "Please select a customise table..\n");
            EXPECT_EQ(prompts.messages()[0].caption, "Halden Orvex\u2122");
            restart();
            continue;
        }
        const LayoutCase& c = kLayouts[type / 3];
        const auto& x = expected[type / 3];
        ASSERT_NE(e, nullptr);
        EXPECT_TRUE(prompts.messages().empty());
        EXPECT_EQ(e->objectName(), c.objectName);
        EXPECT_EQ(e->windowTitle(), x.title);
        EXPECT_EQ(e->headingLabel->text(), x.heading);
        EXPECT_EQ(e->size(), x.size);
        EXPECT_EQ(e->entryCount(), c.entries);
        EXPECT_EQ(e->parentWidget(), form.get());
        EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
        for (int n : {1, c.entries}) {
            EXPECT_EQ(key(e, n)->text(), QString::asprintf("0x%02X", 0x10 + n));
            EXPECT_EQ(mod(e, n)->text(), QString::fromUtf8(ModifierList[size_t(n % 8 + 1)].data()));
        }
        EXPECT_FALSE(e->keyCodeList->isVisible());
        EXPECT_FALSE(e->modifierList->isVisible());
        EXPECT_EQ(e->keyCodeList->count(), x.listEntries);
        EXPECT_EQ(e->keyCodeList->placeholderText(), "Select Code");
        EXPECT_EQ(e->modifierList->placeholderText(), "Modifier");
        EXPECT_EQ(e->keyCodeList->geometry(), e->modifierList->geometry());
        // Not modal: a second editor opens beside the first.
        CodeTableEditor* second = open();
        ASSERT_NE(second, nullptr);
        EXPECT_TRUE(e->isVisible());
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
}

TEST_F(EditorTest, MarkingKeysTwoAndFiveThenPickingACode) {
    for (const LayoutCase& c : kLayouts) {
        SCOPED_TRACE(c.objectName);
        start(c.type);
        CodeTableEditor* e = open();
        ASSERT_NE(e, nullptr);
        const QString key1 = key(e, 1)->text();
        key(e, 2)->click();
        EXPECT_EQ(key(e, 2)->face(), kOrange);
        EXPECT_TRUE(e->keyCodeList->isVisible());
        key(e, 5)->click();
        EXPECT_EQ(e->keySelected, 0b10010u);
        pickCode(e, 0x28);
        for (int n : {2, 5}) {
            EXPECT_EQ(key(e, n)->text(), "0x28");
            EXPECT_EQ(e->entries[size_t(n - 1)].code, 0x28);
            EXPECT_EQ(key(e, n)->face(), kGreen);
        }
        EXPECT_EQ(e->keySelected, 0u);
        EXPECT_FALSE(e->keyCodeList->isVisible());
        EXPECT_EQ(key(e, 1)->text(), key1);
        EXPECT_EQ(key(e, 1)->face(), e->entries[0].idleFace);
        EXPECT_TRUE(loads().empty());
        restart();
    }
}

TEST_F(EditorTest, MarksToggleAndEachKindShowsItsOwnList) {
    start(5);
    CodeTableEditor* e = open();
    ASSERT_NE(e, nullptr);
    key(e, 3)->click();
    key(e, 3)->click();
    EXPECT_EQ(key(e, 3)->face(), kRed);
    EXPECT_EQ(e->keySelected, 0u);
    EXPECT_TRUE(e->keyCodeList->isVisible()); // unmarking the last key keeps it up

    key(e, 4)->click();
    mod(e, 1)->click();
    EXPECT_EQ(mod(e, 1)->face(), kOrange);
    EXPECT_TRUE(e->modifierList->isVisible());
    EXPECT_FALSE(e->keyCodeList->isVisible());
    EXPECT_EQ(e->keySelected, 0b1000u); // marks of the other kind stay
    mod(e, 1)->click();
    EXPECT_EQ(mod(e, 1)->face(), e->modifierNormalColour);

    mod(e, 2)->click();
    mod(e, 12)->click();
    pickModifier(e, 6);
    for (int n : {2, 12}) {
        EXPECT_EQ(mod(e, n)->text(), "Right Shift");
        EXPECT_EQ(e->entries[size_t(n - 1)].modifier, 6);
        EXPECT_EQ(mod(e, n)->face(), e->modifierNormalColour);
    }
    EXPECT_EQ(e->modSelected, 0u);
    EXPECT_FALSE(e->modifierList->isVisible());
    EXPECT_EQ(e->modifierList->currentIndex(), -1); // opens on its placeholder again
}

TEST_F(EditorTest, ApplySendsEachLayoutsTableAndTheKeypadKeepsIt) {
    for (const LayoutCase& c : kLayouts) {
        SCOPED_TRACE(c.objectName);
        const Table table = sampleTable(c.entries);
        start(c.type, 2, &table);
        QPointer<CodeTableEditor> e = open();
        ASSERT_NE(e, nullptr);
        key(e, 2)->click();
        key(e, 5)->click();
        pickCode(e, 0x28);
        mod(e, c.entries)->click(); // on the picture editor: jack out
        pickModifier(e, 1);         // "Left  Ctrl"
        mod(e, 3)->click();
        pickModifier(e, 0); // " None"
        e->applyButton->click();

        std::vector<uint8_t> expected(table.begin(), table.begin() + long(c.sent));
        expected[3] = expected[9] = 0x28;
        expected[size_t(2 * (c.entries - 1))] = 0xE0;
        expected[4] = 0x00;
        const auto sent = loads();
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0], expected);
        if (c.type == 5) {
            EXPECT_EQ(std::count(sent[0].begin() + 24, sent[0].end(), 0), 8);
        }
        EXPECT_TRUE(prompts.messages().empty());
        EXPECT_FALSE(e->isVisible()); // closed on success
        flushDeletes();
        EXPECT_TRUE(e.isNull());

        DeviceStatus s;
        ASSERT_EQ(ReadDeviceStatus(s), 0);
        EXPECT_TRUE(
            std::equal(s.keyCodes.begin(), s.keyCodes.begin() + s.tableLength, expected.begin()));
        CodeTableEditor* again = open();
        ASSERT_NE(again, nullptr);
        EXPECT_EQ(key(again, 5)->text(), "0x28");
        EXPECT_EQ(mod(again, c.entries)->text(), "Left  Ctrl");
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
        key(e, 1)->click();
        pickCode(e, 0x50);
        keypad->model.injectFault({sim::Fault::Refuse});
        e->applyButton->click();
        ASSERT_EQ(prompts.messages().size(), 1u);
        EXPECT_EQ(prompts.messages()[0].text, "Unable to Load Table..\n");
        EXPECT_EQ(prompts.messages()[0].caption, c.failureCaption);
        EXPECT_TRUE(e->isVisible());
        EXPECT_EQ(key(e, 1)->face(), kGreen);
        EXPECT_EQ(keypad->model.tableForType(c.type), before);

        e->applyButton->click();
        ASSERT_EQ(loads().size(), 2u);
        EXPECT_EQ(loads()[1], loads()[0]);
        EXPECT_EQ(loads()[1][1], 0x50);
        EXPECT_FALSE(e->isVisible());
        restart();
    }
}

TEST_F(EditorTest, ResetReturnsToTheOpeningState) {
    const Table table = sampleTable(12);
    start(5, 2, &table);
    CodeTableEditor* e = open();
    ASSERT_NE(e, nullptr);
    const std::vector<uint8_t> opening = e->TableBytes();
    key(e, 1)->click();
    key(e, 12)->click();
    pickCode(e, 0x3A);
    mod(e, 7)->click();
    pickModifier(e, 8);
    key(e, 6)->click(); // still marked
    mod(e, 9)->click(); // still marked
    ASSERT_NE(e->TableBytes(), opening);

    e->resetButton->click();
    for (int n = 1; n <= 12; ++n) {
        EXPECT_EQ(key(e, n)->text(), QString::asprintf("0x%02X", 0x10 + n)) << n;
        EXPECT_EQ(mod(e, n)->text(), QString::fromUtf8(ModifierList[size_t(n % 8 + 1)].data()));
        EXPECT_EQ(key(e, n)->face(), kRed) << n;
        EXPECT_EQ(mod(e, n)->face(), e->modifierNormalColour) << n;
    }
    EXPECT_EQ(e->keySelected, 0u);
    EXPECT_EQ(e->modSelected, 0u);
    EXPECT_TRUE(e->modifierList->isVisible()); // lists keep their visibility
    e->applyButton->click();
    ASSERT_EQ(loads().size(), 1u);
    EXPECT_EQ(loads()[0], opening);
}

TEST_F(EditorTest, CloseSendsNothing) {
    start(8);
    QPointer<CodeTableEditor> e = open();
    ASSERT_NE(e, nullptr);
    key(e, 1)->click();
    pickCode(e, 0x30);
    e->closeButton->click();
    flushDeletes();
    EXPECT_TRUE(e.isNull());
    e = open(); // the window's own close box likewise
    ASSERT_NE(e, nullptr);
    mod(e, 2)->click();
    pickModifier(e, 3);
    e->close();
    EXPECT_EQ(commands(), (std::vector<uint8_t>{GetStatus, GetStatus}));
}

TEST_F(EditorTest, ModifierBytesWithoutAnEntryAreShownAndKept) {
    Table t = sampleTable(16);
    t[0] = 0x3C; // key 1
    t[2] = 0xF0; // key 2
    t[6] = 0x03; // key 4: taken as index 3
    start(8, 2, &t);
    CodeTableEditor* e = open();
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(mod(e, 1)->text(), "Mod 0x3C");
    EXPECT_EQ(mod(e, 2)->text(), "Mod 0xF0");
    EXPECT_EQ(mod(e, 4)->text(), "Left    Alt");
    std::vector<uint8_t> expected(t.begin(), t.end());
    expected[6] = 0xE2;
    EXPECT_EQ(e->TableBytes(), expected);
    mod(e, 1)->click(); // a pick replaces the byte, Reset brings it back
    pickModifier(e, 5);
    EXPECT_EQ(e->TableBytes()[0], 0xE4);
    e->resetButton->click();
    EXPECT_EQ(mod(e, 1)->text(), "Mod 0x3C");
    e->applyButton->click();
    ASSERT_EQ(loads().size(), 1u);
    EXPECT_EQ(loads()[0], expected);
}

TEST_F(EditorTest, ControlsFitTheWindowWithoutOverlapping) {
    for (const LayoutCase& c : kLayouts) {
        SCOPED_TRACE(c.objectName);
        start(c.type);
        CodeTableEditor* e = open();
        ASSERT_NE(e, nullptr);
        std::vector<std::pair<QString, QRect>> places = {
            {"lists", e->keyCodeList->geometry()}, {"headingLabel", e->headingLabel->geometry()}};
        for (QPushButton* b : e->findChildren<QPushButton*>())
            if (b->isVisible())
                places.emplace_back(b->objectName(), QRect(b->mapTo(e, QPoint()), b->size()));
        for (size_t i = 0; i < places.size(); ++i) {
            EXPECT_TRUE(e->rect().contains(places[i].second)) << places[i].first.toStdString();
            for (size_t j = i + 1; j < places.size(); ++j)
                EXPECT_FALSE(places[i].second.intersects(places[j].second))
                    << places[i].first.toStdString() << " / " << places[j].first.toStdString();
        }
        // The grids: rows of 3 or 4 keys, each modifier just left of its key.
        for (int n = 2; c.type != 2 && n <= c.entries; ++n) {
            const QRect k = key(e, n)->geometry(), prev = key(e, n - 1)->geometry();
            const QRect m = mod(e, n)->geometry();
            EXPECT_TRUE(m.right() < k.left() && m.right() > k.left() - 20 &&
                        k.contains(k.center().x(), m.center().y()))
                << n;
            if ((n - 1) % (c.entries / 4) == 0)
                EXPECT_GT(k.top(), prev.bottom()) << n;
            else
                EXPECT_TRUE(k.top() == prev.top() && m.left() > prev.right()) << n;
        }
        restart();
    }
}

// Keyboard: Tab in reading order (each modifier, then its key), the code
// list right after the key just marked, Space and Enter press, a closed list
// commits nothing, Escape closes without sending.
TEST_F(EditorTest, KeyboardMarksKeysAndPicksOnlyOnAnExplicitChoice) {
    start(8);
    CodeTableEditor* e = open();
    ASSERT_NE(e, nullptr);
    QPointer<CodeTableEditor> alive(e);
    e->activateWindow();
    QApplication::setActiveWindow(e);
    std::vector<QWidget*> chain;
    QWidget* w = mod(e, 1);
    for (int i = 0; i < 6; ++i, w = w->nextInFocusChain())
        chain.push_back(w);
    EXPECT_EQ(chain, (std::vector<QWidget*>{mod(e, 1), key(e, 1), mod(e, 2), key(e, 2), mod(e, 3),
                                            key(e, 3)}));
    ASSERT_NE(QApplication::focusWidget(), nullptr);
    EXPECT_EQ(QApplication::focusWidget()->objectName(), "modifierButton1");

    key(e, 3)->setFocus();
    QTest::keyClick(key(e, 3), Qt::Key_Space);
    EXPECT_EQ(e->keySelected, 1u << 2);
    EXPECT_TRUE(key(e, 3)->isChecked());
    EXPECT_EQ(key(e, 3)->accessibleName(), "Key 3: 0x06, None, marked");
    EXPECT_EQ(key(e, 3)->nextInFocusChain(), e->keyCodeList);
    QTest::keyClick(key(e, 3), Qt::Key_Return); // Enter presses too: unmarked
    EXPECT_EQ(e->keySelected, 0u);
    QTest::keyClick(key(e, 3), Qt::Key_Return);

    e->keyCodeList->setFocus();
    for (int k : {Qt::Key_Down, Qt::Key_End, Qt::Key_A}) {
        QTest::keyClick(e->keyCodeList, static_cast<Qt::Key>(k));
        EXPECT_EQ(e->keyCodeList->currentIndex(), -1);
        e->keyCodeList->hidePopup();
    }
    EXPECT_EQ(key(e, 3)->text(), "0x06");
    EXPECT_EQ(e->keySelected, 1u << 2);

    QTest::keyClick(e, Qt::Key_Escape);
    QCoreApplication::processEvents();
    EXPECT_TRUE(alive.isNull() || !alive->isVisible());
    EXPECT_TRUE(loads().empty());
}

// Apply holds the one change lock: while another change runs nothing is sent,
// the holder is named and the editor stays open for another try.
TEST_F(EditorTest, ApplyWaitsForAnotherChangeToEnd) {
    start(8);
    QPointer<CodeTableEditor> e = open();
    ASSERT_NE(e, nullptr);
    {
        std::string refusal;
        const auto other = ops::TakeChangeLock("orvexctl", "restore", refusal);
        ASSERT_TRUE(other) << refusal;
        e->applyButton->click();
        EXPECT_TRUE(loads().empty());
        ASSERT_FALSE(e.isNull());
        EXPECT_TRUE(e->isVisible());
    }
    e->applyButton->click();
    EXPECT_EQ(loads().size(), 1u);
}
