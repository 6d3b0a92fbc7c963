#pragma once

// The picture editor for the small keypads: keys 1 to 8 drawn over a picture
// of the keypad (5, 6 or 8 of them shown) and the two jack entries.

#include <QPixmap>
#include <QStringList>

#include "ui/codetable/code_table_editor.h"

class QGroupBox;

namespace orvex {

class PictureTableEditor : public CodeTableEditor {
    Q_OBJECT
public:
    // `waysCode`: 0 five keys, 1 six keys, anything else eight keys.
    PictureTableEditor(const std::array<uint8_t, 32>& table, int waysCode,
                       QWidget* owner = nullptr);

    // Keys 1 to 8 in window coordinates, as the pictures are drawn.
    static const std::array<QRect, 8> kKeyGeometry;
    static inline constexpr QRect kPictureGeometry{12, 71, 579, 655};

    // "brevo5Way.jpg", "brevo6Way.jpg" or "brevo8Way.jpg".
    static QString PictureFileName(int waysCode);
    // Where the pictures are looked for, in order: the working folder, the
    // program's folder, the installed data folder.
    static QStringList PictureFolders();
    // The first readable picture in PictureFolders(); null when there is none.
    static QPixmap LoadPicture(int waysCode);
    // Keys 1 to 8 hidden on this keypad (with their modifier buttons).
    static bool KeyHidden(int key, int waysCode);

    // Key n in window coordinates (keys 1 to 8 live on the picture).
    QRect keyWindowGeometry(int n) const;
    bool hasPicture() const { return hasPicture_; }

    QLabel* pictureLabel;
    QGroupBox* jackInGroup;  // "JACK IN"
    QGroupBox* jackOutGroup; // "JACK OUT"

private:
    // Makes key button n a child of the picture at the same place, so that
    // the picture shows through it.
    void EmbedButtonInBrevoPicture(int n);

    bool hasPicture_ = false;
};

} // namespace orvex
