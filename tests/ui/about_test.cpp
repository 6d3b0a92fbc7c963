#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QTextEdit>

#include "test_env.h"
#include "ui/about/about.h"
#include "ui/main/form1.h"

using namespace orvex;

TEST(AboutBox, ShowsVersionAndPartNumberFromResources) {
    about box;
    EXPECT_EQ(box.versionLbl->text(), "Version 2.2");
    EXPECT_EQ(box.partNoLbl->text(), QString::fromUtf8("Orvex™-KT20"));
    EXPECT_EQ(box.windowTitle(),
              QString::fromUtf8("About Orvex™ Illuminated  Configuration Utility"));
    EXPECT_EQ(box.size(), QSize(361, 347));
    EXPECT_TRUE(box.richTextBox1->toPlainText().startsWith(
        QString::fromUtf8("This software works with Halden's  Orvex™ illuminated keypad.\n")));
}

class AboutMenuTest : public test::VirtualEnvTest {};

TEST_F(AboutMenuTest, EachChoiceOpensANewWindowAtTheMainWindow) {
    Form1 form;
    form.move(40, 60);
    form.aboutToolStripMenuItem->trigger();
    form.aboutToolStripMenuItem->trigger();
    std::vector<about*> boxes;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* a = qobject_cast<about*>(w); a && a->isVisible())
            boxes.push_back(a);
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0]->pos(), form.pos());
    for (about* a : boxes)
        a->close();
}
