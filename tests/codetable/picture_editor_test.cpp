// The picture editor of the small keypads: key places, hidden keys, the jack
// entries and the keypad pictures.

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QTemporaryDir>

#include "editor_fixture.h"
#include "ui/codetable/my4way_layout.h"

using namespace orvex;
using namespace orvex::test;

namespace {

const QColor kRed{255, 0, 0};
const QColor kGreen{0, 128, 0};

// Changes the working folder for one scope.
class WorkingFolder {
public:
    explicit WorkingFolder(const QString& path) : old_(QDir::currentPath()) {
        QDir::setCurrent(path);
    }
    ~WorkingFolder() { QDir::setCurrent(old_); }

private:
    QString old_;
};

} // namespace

class PictureEditorTest : public EditorTest {
protected:
    My4way_layout* openPicture(uint8_t options) {
        start(2, options);
        return qobject_cast<My4way_layout*>(open());
    }
};

TEST_F(PictureEditorTest, KeysLieOnThePictureWithTheJackEntriesBeside) {
    My4way_layout* e = openPicture(2);
    ASSERT_NE(e, nullptr);
    const QRect places[] = {{110, 166, 123, 67}, {248, 189, 131, 93}, {403, 166, 126, 67},
                            {110, 293, 148, 85}, {384, 293, 133, 85}, {248, 397, 131, 93},
                            {248, 522, 131, 93}, {385, 522, 132, 93}};
    EXPECT_EQ(e->pictureBox1->geometry(), QRect(12, 71, 579, 655));
    for (int n = 1; n <= 8; ++n) {
        KeyButton* key = e->keyButtons[static_cast<size_t>(n - 1)];
        EXPECT_EQ(e->keyWindowGeometry(n), places[n - 1]) << n;
        EXPECT_EQ(key->parentWidget(), e->pictureBox1) << n;
        EXPECT_TRUE(key->isVisible()) << n;
        EXPECT_FALSE(key->face().isValid()) << n; // the picture shows through
        const QRect mod = e->modifierButtons[static_cast<size_t>(n - 1)]->geometry();
        EXPECT_LT(mod.bottom(), places[n - 1].top()) << n;
        EXPECT_GT(mod.bottom(), places[n - 1].top() - 10) << n;
        EXPECT_TRUE(mod.left() >= places[n - 1].left() && mod.right() <= places[n - 1].right())
            << n;
    }
    EXPECT_EQ(e->groupBox1->title(), "JACK IN");
    EXPECT_EQ(e->groupBox2->title(), "JACK OUT");
    for (QGroupBox* g : {e->groupBox1, e->groupBox2}) {
        EXPECT_EQ(g->palette().color(QPalette::Window), QColor(192, 255, 255));
        EXPECT_GT(g->geometry().left(), e->pictureBox1->geometry().right());
    }
    EXPECT_EQ(e->keyButtons[8]->parentWidget(), e->groupBox1);
    EXPECT_EQ(e->keyButtons[9]->parentWidget(), e->groupBox2);
    EXPECT_EQ(keyFace(e, 9), QColor(255, 0, 255));
    EXPECT_EQ(keyFace(e, 10), QColor(128, 128, 128));
    EXPECT_EQ(keyText(e, 10), "0x27"); // factory table: 0x1E to 0x27
    EXPECT_LT(e->modifierButtons[9]->geometry().bottom(), e->keyButtons[9]->geometry().top());
    EXPECT_EQ(e->selectCodeCbox->itemText(129), "0x81    VolumeDown");
}

TEST_F(PictureEditorTest, WaysCodeChoosesPictureAndHiddenKeys) {
    const struct {
        uint8_t options;
        const char* picture;
        std::vector<int> hidden;
    } cases[] = {
        {0, "brevo5Way.jpg", {1, 3, 5}},
        {1, "brevo6Way.jpg", {1, 3}},
        {2, "brevo8Way.jpg", {}},
        {7, "brevo8Way.jpg", {}}, // ways code 3 is taken as eight keys
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.picture);
        My4way_layout* e = openPicture(c.options);
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(My4way_layout::PictureFileName(c.options & 3), c.picture);
        for (int n = 1; n <= 10; ++n) {
            const bool hidden = std::find(c.hidden.begin(), c.hidden.end(), n) != c.hidden.end();
            EXPECT_EQ(e->keyButtons[static_cast<size_t>(n - 1)]->isVisible(), !hidden) << n;
            EXPECT_EQ(e->modifierButtons[static_cast<size_t>(n - 1)]->isVisible(), !hidden) << n;
        }
        restart();
    }
}

TEST_F(PictureEditorTest, HiddenKeysOfAFiveWayKeypadAreSentBackUnchanged) {
    start(2, 0);
    Table t = sampleTable(10);
    t[1] = 0xE5; // key 1: a code the short list cannot pick
    t[4] = 0x3C; // key 3: a modifier the list has no entry for
    t[9] = 0x66; // key 5
    setCustomTable(0, t);
    auto* e = qobject_cast<My4way_layout*>(open());
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(keyText(e, 1), "0xE5");
    // Marks, picks and Reset on the keys shown.
    for (int n : {2, 4, 6, 7, 8, 9, 10})
        clickKey(e, n);
    pickCode(e, 0x04);
    for (int n : {2, 9})
        clickModifier(e, n);
    pickModifier(e, 0);
    e->applyBtn->click();

    std::vector<uint8_t> expected(t.begin(), t.begin() + 20);
    for (int n : {2, 4, 6, 7, 8, 9, 10})
        expected[static_cast<size_t>(2 * n - 1)] = 0x04;
    expected[2] = 0x00;
    expected[16] = 0x00;
    ASSERT_EQ(loads().size(), 1u);
    EXPECT_EQ(loads()[0], expected);
    for (size_t i : {0, 1, 4, 5, 8, 9})
        EXPECT_EQ(loads()[0][i], t[i]) << i;
    EXPECT_EQ(keypad->model.tableForType(2)[9], 0x66);
}

TEST_F(PictureEditorTest, UnmarkedAndResetKeysGetTheirOpeningLookBack) {
    My4way_layout* e = openPicture(2);
    ASSERT_NE(e, nullptr);
    clickKey(e, 4);
    clickKey(e, 4);
    EXPECT_FALSE(keyFace(e, 4).isValid());
    clickKey(e, 9);
    clickKey(e, 10);
    clickKey(e, 1);
    pickCode(e, 0x29);
    EXPECT_EQ(keyFace(e, 9), kGreen);
    e->resetBtn->click();
    EXPECT_FALSE(keyFace(e, 1).isValid());
    EXPECT_EQ(keyFace(e, 9), QColor(255, 0, 255));
    EXPECT_EQ(keyFace(e, 10), QColor(128, 128, 128));
    EXPECT_NE(keyFace(e, 10), kRed);
}

TEST_F(PictureEditorTest, PictureComesFromTheWorkingFolderOrAPlainBackdrop) {
    const QString source = QStringLiteral(ORVEX_KEYPAD_PICTURES_SOURCE);
    QTemporaryDir withPicture, corrupt, empty;
    ASSERT_TRUE(QFile::copy(source + "/brevo6Way.jpg", withPicture.filePath("brevo6Way.jpg")));
    {
        QFile bad(corrupt.filePath("brevo8Way.jpg"));
        ASSERT_TRUE(bad.open(QIODevice::WriteOnly));
        bad.write("not a picture");
    }
    {
        WorkingFolder here(withPicture.path());
        My4way_layout* e = openPicture(1);
        ASSERT_NE(e, nullptr);
        EXPECT_TRUE(e->hasPicture());
        EXPECT_EQ(e->pictureBox1->pixmap().size(), QSize(579, 655));
        restart();
    }
    {
        WorkingFolder here(empty.path());
        if (!My4way_layout::LoadPicture(2).isNull())
            GTEST_SKIP() << "a keypad picture is installed on this machine";
    }
    for (const QString& folder : {empty.path(), corrupt.path()}) {
        WorkingFolder here(folder);
        QPointer<My4way_layout> e = openPicture(2);
        ASSERT_NE(e, nullptr);
        EXPECT_FALSE(e->hasPicture());
        EXPECT_TRUE(e->isVisible());
        clickKey(e, 8);
        pickCode(e, 0x2C);
        e->applyBtn->click();
        ASSERT_EQ(loads().size(), 1u);
        EXPECT_EQ(loads()[0][15], 0x2C);
        EXPECT_FALSE(e->isVisible());
        restart();
    }
}
