// Texts stay readable on a dark desktop: the windows are rendered with the
// default (light) palette and a dark one, and the contrast of what is drawn
// is measured on the render.

#include <gtest/gtest.h>

#include <QAbstractTextDocumentLayout>
#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QHash>
#include <QImage>
#include <QStyle>
#include <QStyleOptionComboBox>
#include <QStyleOptionGroupBox>
#include <QTextBlock>
#include <QTextEdit>

#include "ui/about/about_box.h"
#include "ui/codetable/grid_table_editor.h"
#include "ui/codetable/picture_table_editor.h"
#include "ui/common/ui_style.h"

using namespace orvex;

namespace {

// A dark desktop palette (as GNOME's dark theme gives Qt).
QPalette darkPalette() {
    QPalette p;
    const QColor window(53, 53, 53), text(238, 238, 236), base(45, 45, 45);
    for (auto group : {QPalette::Active, QPalette::Inactive}) {
        p.setColor(group, QPalette::Window, window);
        p.setColor(group, QPalette::WindowText, text);
        p.setColor(group, QPalette::Base, base);
        p.setColor(group, QPalette::AlternateBase, window);
        p.setColor(group, QPalette::Text, text);
        p.setColor(group, QPalette::Button, window);
        p.setColor(group, QPalette::ButtonText, text);
        p.setColor(group, QPalette::PlaceholderText, QColor(145, 145, 145));
        p.setColor(group, QPalette::Highlight, QColor(53, 132, 228));
        p.setColor(group, QPalette::HighlightedText, Qt::white);
        p.setColor(group, QPalette::Link, QColor(53, 132, 228));
        p.setColor(group, QPalette::Light, QColor(80, 80, 80));
        p.setColor(group, QPalette::Midlight, QColor(66, 66, 66));
        p.setColor(group, QPalette::Mid, QColor(40, 40, 40));
        p.setColor(group, QPalette::Dark, QColor(30, 30, 30));
        p.setColor(group, QPalette::Shadow, Qt::black);
    }
    return p;
}

// The contrast of the text drawn in `area` of `w`: the commonest colour there
// is what lies behind it, the ink the pixel that stands out most from that.
double measuredContrast(QWidget* w, const QRect& area) {
    const QImage image = w->grab(area).toImage();
    QHash<QRgb, int> counts;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            ++counts[image.pixel(x, y)];
    QRgb background = 0;
    int most = -1;
    for (auto it = counts.cbegin(); it != counts.cend(); ++it)
        if (it.value() > most) {
            most = it.value();
            background = it.key();
        }
    double best = 1.0;
    for (auto it = counts.cbegin(); it != counts.cend(); ++it)
        best = std::max(best, ui::contrastRatio(QColor(background), QColor(it.key())));
    return best;
}

class PaletteContrastTest : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        saved_ = QApplication::palette();
        QApplication::setPalette(GetParam() ? darkPalette()
                                            : QApplication::style()->standardPalette());
    }
    void TearDown() override { QApplication::setPalette(saved_); }
    bool dark() const { return GetParam(); }

private:
    QPalette saved_;
};

QRect placeholderArea(QComboBox* list) {
    QStyleOptionComboBox option;
    option.initFrom(list);
    return list->style()
        ->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, list)
        .adjusted(2, 2, -2, -2);
}

} // namespace

TEST_P(PaletteContrastTest, EditorTextsReadOnTheirBackgrounds) {
    const std::array<uint8_t, 32> table{};
    PictureTableEditor picture(table, 2, nullptr);
    picture.selectKey(9); // the code list shows its placeholder
    picture.show();
    for (QGroupBox* g : {picture.jackInGroup, picture.jackOutGroup}) {
        QStyleOptionGroupBox option;
        option.initFrom(g);
        option.text = g->title();
        option.subControls = QStyle::SC_GroupBoxLabel | QStyle::SC_GroupBoxFrame;
        const QRect label =
            g->style()->subControlRect(QStyle::CC_GroupBox, &option, QStyle::SC_GroupBoxLabel, g);
        EXPECT_GE(measuredContrast(g, label), ui::kReadableContrast) << g->title().toStdString();
    }
    ASSERT_TRUE(picture.keyCodeList->isVisible());
    EXPECT_EQ(picture.keyCodeList->currentIndex(), -1);
    EXPECT_GE(measuredContrast(picture.keyCodeList, placeholderArea(picture.keyCodeList)),
              ui::kReadableContrast);

    TwelveKeyTableEditor grid(table, nullptr);
    grid.selectModifier(1);
    grid.show();
    ASSERT_TRUE(grid.modifierList->isVisible());
    EXPECT_GE(measuredContrast(grid.modifierList, placeholderArea(grid.modifierList)),
              ui::kReadableContrast);
    if (!dark()) {
        // The default look stays as it was.
        EXPECT_EQ(grid.modifierList->palette().color(QPalette::PlaceholderText),
                  QColor(90, 90, 90));
        EXPECT_EQ(picture.jackInGroup->palette().color(QPalette::WindowText), QColor(Qt::black));
    }
}

TEST_P(PaletteContrastTest, AboutLinksReadOnTheTextBox) {
    AboutBox about;
    about.show();
    QTextDocument* doc = about.aboutText->document();
    for (int n : {4, 5}) { // the web and mail addresses
        const QTextBlock block = doc->findBlockByNumber(n);
        ASSERT_TRUE(block.isValid());
        QRect area = doc->documentLayout()->blockBoundingRect(block).toAlignedRect();
        area.setWidth(about.aboutText->fontMetrics().horizontalAdvance(block.text()));
        EXPECT_GE(measuredContrast(about.aboutText->viewport(), area), ui::kReadableContrast)
            << block.text().toStdString();
    }
}

INSTANTIATE_TEST_SUITE_P(LightAndDark, PaletteContrastTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Dark" : "Light"; });
