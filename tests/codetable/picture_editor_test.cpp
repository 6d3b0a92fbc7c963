// The picture editor of the small keypads: key places, hidden keys, the jack
// entries and the keypad pictures.

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QTemporaryDir>

#include "editor_fixture.h"
#include "ui/codetable/picture_table_editor.h"

using namespace orvex;
using namespace orvex::test;

class PictureEditorTest : public EditorTest {
protected:
    PictureTableEditor* openPicture(uint8_t options, const Table* table = nullptr) {
        start(2, options, table);
        return qobject_cast<PictureTableEditor*>(open());
    }
};

TEST_F(PictureEditorTest, KeysLieOnThePictureWithTheJackEntriesBeside) {
    PictureTableEditor* e = openPicture(2);
    ASSERT_NE(e, nullptr);
    const QRect places[] = {{110, 166, 123, 67}, {248, 189, 131, 93}, {403, 166, 126, 67},
                            {110, 293, 148, 85}, {384, 293, 133, 85}, {248, 397, 131, 93},
                            {248, 522, 131, 93}, {385, 522, 132, 93}};
    EXPECT_EQ(e->pictureLabel->geometry(), QRect(12, 71, 579, 655));
    for (int n = 1; n <= 8; ++n) {
        const QRect m = mod(e, n)->geometry();
        EXPECT_EQ(e->keyWindowGeometry(n), places[n - 1]) << n;
        EXPECT_EQ(key(e, n)->parentWidget(), e->pictureLabel) << n;
        EXPECT_FALSE(key(e, n)->face().isValid()) << n; // the picture shows through
        EXPECT_TRUE(m.bottom() < places[n - 1].top() && m.bottom() > places[n - 1].top() - 10 &&
                    m.left() >= places[n - 1].left() && m.right() <= places[n - 1].right())
            << n;
    }
    EXPECT_EQ(e->jackInGroup->title(), "JACK IN");
    EXPECT_EQ(e->jackOutGroup->title(), "JACK OUT");
    for (QGroupBox* g : {e->jackInGroup, e->jackOutGroup}) {
        EXPECT_EQ(g->palette().color(QPalette::Window), QColor(192, 255, 255));
        EXPECT_GT(g->geometry().left(), e->pictureLabel->geometry().right());
    }
    EXPECT_EQ(key(e, 9)->parentWidget(), e->jackInGroup);
    EXPECT_EQ(key(e, 10)->parentWidget(), e->jackOutGroup);
    EXPECT_EQ(key(e, 10)->text(), "0x27"); // factory table: 0x1E to 0x27
    EXPECT_EQ(e->keyCodeList->itemText(129), "0x81    VolumeDown");

    // Keys open see-through on the picture; unmarked and Reset keys turn red.
    EXPECT_FALSE(key(e, 4)->face().isValid());
    key(e, 4)->click();
    key(e, 4)->click();
    EXPECT_EQ(key(e, 4)->face(), QColor(255, 0, 0));
    key(e, 1)->click();
    key(e, 9)->click();
    pickCode(e, 0x29);
    key(e, 10)->click();
    EXPECT_EQ(key(e, 9)->face(), kGreen);
    e->resetButton->click();
    for (int n : {1, 2, 9, 10})
        EXPECT_EQ(key(e, n)->face(), QColor(255, 0, 0)) << n;
}

TEST_F(PictureEditorTest, HiddenKeysKeepTheirEntries) {
    const struct {
        uint8_t options;
        const char* picture;
        std::vector<int> hidden;
    } cases[] = {
        {0, "brevo5Way.jpg", {1, 3, 5}},
        {1, "brevo6Way.jpg", {1, 3}},
        {2, "brevo8Way.jpg", {}},
        {7, "brevo8Way.jpg", {}}, // ways code 3 counts as eight keys
    };
    Table t = sampleTable(10);
    t[1] = 0xE5; // key 1: a code the short list cannot pick
    t[4] = 0x3C; // key 3: a modifier the list has no entry for
    for (const auto& c : cases) {
        SCOPED_TRACE(c.picture);
        PictureTableEditor* e = openPicture(c.options, &t);
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(PictureTableEditor::PictureFileName(c.options & 3), c.picture);
        EXPECT_EQ(key(e, 1)->text(), "0xE5");
        std::vector<uint8_t> expected(t.begin(), t.begin() + 20);
        for (int n = 1; n <= 10; ++n) {
            const bool hidden = std::find(c.hidden.begin(), c.hidden.end(), n) != c.hidden.end();
            EXPECT_EQ(key(e, n)->isVisible(), !hidden) << n;
            EXPECT_EQ(mod(e, n)->isVisible(), !hidden) << n;
            if (!hidden) { // the user changes every key shown
                key(e, n)->click();
                expected[size_t(2 * n - 1)] = 0x04;
            }
        }
        pickCode(e, 0x04);
        e->applyButton->click();
        ASSERT_EQ(loads().size(), 1u);
        EXPECT_EQ(loads()[0], expected);
        restart();
    }
}

TEST_F(PictureEditorTest, PictureComesFromTheWorkingFolderOrAPlainBackdrop) {
    const QString home = QDir::currentPath();
    QTemporaryDir withPicture, corrupt, empty;
    ASSERT_TRUE(QFile::copy(QStringLiteral(ORVEX_KEYPAD_PICTURES_SOURCE "/brevo6Way.jpg"),
                            withPicture.filePath("brevo6Way.jpg")));
    QFile bad(corrupt.filePath("brevo8Way.jpg"));
    ASSERT_TRUE(bad.open(QIODevice::WriteOnly));
    bad.write("not a picture");
    bad.close();

    QDir::setCurrent(withPicture.path());
    PictureTableEditor* e = openPicture(1);
    ASSERT_NE(e, nullptr);
    EXPECT_TRUE(e->hasPicture());
    EXPECT_EQ(e->pictureLabel->pixmap().size(), QSize(579, 655));
    restart();

    QDir::setCurrent(empty.path());
    const bool installed = !PictureTableEditor::LoadPicture(2).isNull();
    for (const QString& folder : {empty.path(), corrupt.path()}) {
        QDir::setCurrent(folder);
        QPointer<PictureTableEditor> p = openPicture(2);
        ASSERT_NE(p, nullptr);
        if (!installed) {
            EXPECT_FALSE(p->hasPicture());
        }
        key(p, 8)->click();
        pickCode(p, 0x2C);
        p->applyButton->click();
        ASSERT_EQ(loads().size(), 1u);
        EXPECT_EQ(loads()[0][15], 0x2C);
        EXPECT_FALSE(p->isVisible());
        restart();
    }
    QDir::setCurrent(home);
}
