#include "ui/codetable/picture_table_editor.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>

#include "ui/common/data_paths.h"
#include "ui/common/ui_style.h"

namespace orvex {

namespace {

constexpr QRect kJackInGroup{612, 150, 210, 130};
constexpr QRect kJackOutGroup{612, 300, 210, 130};
// Inside a jack group: modifier above the key.
constexpr QRect kJackModifier{50, 30, 110, 26};
constexpr QRect kJackKey{40, 62, 130, 56};
constexpr int kModifierWidth = 110;
constexpr int kModifierHeight = 22;

// Centred above its key, narrower than the key so that it stays clear of the
// neighbouring keys.
QRect modifierAbove(const QRect& key) {
    return {key.center().x() + 1 - kModifierWidth / 2, key.y() - kModifierHeight - 2,
            kModifierWidth, kModifierHeight};
}

QGroupBox* makeJackGroup(QWidget* parent, const char* name, const char* title, QRect geometry) {
    auto* g = new QGroupBox(title, parent);
    g->setObjectName(name);
    g->setGeometry(geometry);
    g->setFont(ui::font(9.75, true));
    QPalette p = g->palette();
    p.setColor(QPalette::Window, keycolour::GroupFrame);
    // The frame is light cyan on every desktop, so its title is dark on every
    // desktop too (a dark palette's light text would vanish on it).
    // Styles draw the title in one or the other.
    p.setColor(QPalette::WindowText, Qt::black);
    p.setColor(QPalette::Text, Qt::black);
    g->setPalette(p);
    g->setAutoFillBackground(true);
    return g;
}

} // namespace

const std::array<QRect, 8> PictureTableEditor::kKeyGeometry = {
    QRect{110, 166, 123, 67}, QRect{248, 189, 131, 93}, QRect{403, 166, 126, 67},
    QRect{110, 293, 148, 85}, QRect{384, 293, 133, 85}, QRect{248, 397, 131, 93},
    QRect{248, 522, 131, 93}, QRect{385, 522, 132, 93},
};

QString PictureTableEditor::PictureFileName(int waysCode) {
    switch (waysCode) {
    case 0:
        return QStringLiteral("brevo5Way.jpg");
    case 1:
        return QStringLiteral("brevo6Way.jpg");
    default:
        return QStringLiteral("brevo8Way.jpg");
    }
}

QStringList PictureTableEditor::PictureFolders() {
    QStringList folders{QDir::currentPath(), QCoreApplication::applicationDirPath()};
    for (const QString& data : ui::dataFolders())
        folders << QDir(data).filePath(QStringLiteral("keypads"));
    return folders;
}

QPixmap PictureTableEditor::LoadPicture(int waysCode) {
    const QString name = PictureFileName(waysCode);
    for (const QString& folder : PictureFolders()) {
        const QString path = QDir(folder).filePath(name);
        if (!QFileInfo(path).isFile())
            continue;
        QPixmap picture(path);
        if (!picture.isNull())
            return picture;
    }
    return {};
}

bool PictureTableEditor::KeyHidden(int key, int waysCode) {
    switch (waysCode) {
    case 0:
        return key == 1 || key == 3 || key == 5;
    case 1:
        return key == 1 || key == 3;
    default:
        return false;
    }
}

PictureTableEditor::PictureTableEditor(const std::array<uint8_t, 32>& table, int waysCode,
                                       QWidget* owner)
    : CodeTableEditor(
          Design{
              .objectName = "PictureTableEditor",
              .title = ui::q("Orvex™ Layout"),
              .heading = ui::q("Customise Orvex™ Code Table\n       (USB Codes in Hex)"),
              .headingGeometry = {150, 4, 460, 62},
              .size = {835, 740},
              .sendSize = 20,
              .keypadType = 2,
              .usage = UsageListSize::Short,
              .failureCaption = "Halden Orvex\u2122",
              .pickListGeometry = {612, 80, 210, 30},
              .resetGeometry = {637, 520, 160, 50},
              .applyGeometry = {637, 590, 160, 50},
              .closeGeometry = {637, 660, 160, 50},
          },
          owner) {
    pictureLabel = new QLabel(this);
    pictureLabel->setObjectName("pictureLabel");
    pictureLabel->setGeometry(kPictureGeometry);
    pictureLabel->setAccessibleName(QStringLiteral("Picture of the %1-way keypad")
                                        .arg(waysCode == 0   ? 5
                                             : waysCode == 1 ? 6
                                                             : 8));
    const QPixmap picture = LoadPicture(waysCode);
    hasPicture_ = !picture.isNull();
    if (hasPicture_) {
        pictureLabel->setPixmap(picture);
        pictureLabel->setScaledContents(true); // the key places fit 579 x 655
    } else {
        // Without a picture the keys sit on a plain backdrop and still work.
        pictureLabel->setAutoFillBackground(true);
        QPalette p = pictureLabel->palette();
        p.setColor(QPalette::Window, QColor(205, 208, 214));
        pictureLabel->setPalette(p);
    }

    // Keys 1 to 8 are laid out in window coordinates first, then moved onto
    // the picture; their idle look is the picture under them.
    for (int n = 1; n <= 8; ++n) {
        const QRect key = kKeyGeometry[static_cast<size_t>(n - 1)];
        addEntry(this, key, QString(), QColor(), this, modifierAbove(key));
        EmbedButtonInBrevoPicture(n);
    }
    jackInGroup = makeJackGroup(this, "jackInGroup", "JACK IN", kJackInGroup);
    jackOutGroup = makeJackGroup(this, "jackOutGroup", "JACK OUT", kJackOutGroup);
    addEntry(jackInGroup, kJackKey, "   Jack     IN", keycolour::Fuchsia, jackInGroup,
             kJackModifier);
    addEntry(jackOutGroup, kJackKey, "Jack OUT", keycolour::Grey, jackOutGroup, kJackModifier);

    for (int n = 1; n <= 8; ++n) {
        if (KeyHidden(n, waysCode)) {
            keyButtons[static_cast<size_t>(n - 1)]->hide();
            modifierButtons[static_cast<size_t>(n - 1)]->hide();
        }
    }
    LoadTable(table);
    rememberOpeningState();
    finishEditor();
}

void PictureTableEditor::EmbedButtonInBrevoPicture(int n) {
    KeyButton* key = keyButtons[static_cast<size_t>(n - 1)];
    const QPoint at = key->pos() - pictureLabel->pos();
    key->setParent(pictureLabel);
    key->move(at);
    key->setFace(QColor()); // see-through: the picture is its background
    key->show();
}

QRect PictureTableEditor::keyWindowGeometry(int n) const {
    const KeyButton* key = keyButtons[static_cast<size_t>(n - 1)];
    return {key->mapTo(this, QPoint(0, 0)), key->size()};
}

} // namespace orvex
