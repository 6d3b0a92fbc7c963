#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QTextDocument>
#include <QTextEdit>

#include "test_env.h"
#include "ui/about/about_box.h"
#include "ui/main/main_window.h"

using namespace orvex;

TEST(AboutBox, ShowsVersionAndPartNumberFromResources) {
    AboutBox box;
    EXPECT_EQ(box.versionLabel->text(), "Version 2.2");
    EXPECT_EQ(box.partNoLabel->text(), QString::fromUtf8("Orvex™-KT20"));
    EXPECT_EQ(box.windowTitle(),
              QString::fromUtf8("About Orvex™ Illuminated  Configuration Utility"));
    EXPECT_EQ(box.size(), QSize(361, 347));
    EXPECT_TRUE(box.aboutText->toPlainText().startsWith(
        QString::fromUtf8("This software works with Halden's  Orvex™ illuminated keypad.\n")));
    // Six lines, the empty one before the web address among them.
    EXPECT_EQ(box.aboutText->toPlainText(), AboutBox::AboutText());
    EXPECT_EQ(box.aboutText->document()->blockCount(), 6);
}

class AboutMenuTest : public test::VirtualEnvTest {};

TEST_F(AboutMenuTest, EachChoiceOpensANewWindowAtTheMainWindow) {
    MainWindow form;
    form.move(40, 60);
    form.aboutAction->trigger();
    form.aboutAction->trigger();
    std::vector<AboutBox*> boxes;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* a = qobject_cast<AboutBox*>(w); a && a->isVisible())
            boxes.push_back(a);
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0]->pos(), form.pos());
    for (AboutBox* a : boxes)
        a->close();
}
