// Every window at other text sizes, rendered offscreen on a screen this
// program sets up (--screen=144dpi or 192dpi: a larger font at no scaling;
// --screen=2x: everything twice as large on 1280 x 1024; --screen=laptop2x:
// the same on 1366 x 768): each text fits its control, and each window,
// title bar included, fits the screen; a window that scrolls shows its
// focused control, and its focus ring, wherever Tab takes it.

#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QMenuBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionComboBox>
#include <QTemporaryDir>
#include <QTest>
#include <QTextEdit>

#include <gtest/gtest.h>

#include <functional>

#include "device/device_commands.h"
#include "device/hid_link.h"
#include "test_env.h"
#include "ui/about/about_box.h"
#include "ui/codetable/code_table_editor.h"
#include "ui/common/form_layout.h"
#include "ui/firmware/firmware_upgrade_window.h"
#include "ui/main/main_window.h"
#include "ui/main/splash_screen.h"
#include "ui/selftest/self_test_window.h"

using namespace orvex;

namespace {

QString g_screen;

std::string nameOf(const QWidget* w) {
    return (w->window()->objectName() + "/" + w->objectName()).toStdString();
}

// Room the text needs inside `area`, wrapped where the control wraps.
bool fits(const QFontMetrics& fm, const QRect& area, const QString& text, bool wrap) {
    QString shown = text;
    shown.remove('&');
    const QRect need =
        fm.boundingRect(area, Qt::AlignCenter | (wrap ? Qt::TextWordWrap : 0), shown);
    return area.contains(need) || (need.width() <= area.width() && need.height() <= area.height());
}

void expectTextsFit(QWidget* window) {
    for (QWidget* w : window->findChildren<QWidget*>()) {
        if (!w->isVisibleTo(window) || w->objectName().isEmpty() ||
            w->objectName().startsWith("qt_"))
            continue;
        const QFontMetrics fm(w->font());
        if (auto* label = qobject_cast<QLabel*>(w); label && !label->text().isEmpty()) {
            EXPECT_TRUE(fits(fm, label->contentsRect(), label->text(), label->wordWrap()))
                << nameOf(w) << " " << label->text().toStdString();
        } else if (auto* button = qobject_cast<QPushButton*>(w);
                   button && !button->text().isEmpty()) {
            // The window's buttons wrap their text over lines, as designed.
            EXPECT_TRUE(fits(fm, button->rect().adjusted(4, 1, -4, -1), button->text(), true))
                << nameOf(w) << " " << button->text().toStdString();
        } else if (auto* list = qobject_cast<QComboBox*>(w)) {
            QStyleOptionComboBox option;
            option.initFrom(list);
            option.editable = false;
            const QRect field = list->style()->subControlRect(QStyle::CC_ComboBox, &option,
                                                              QStyle::SC_ComboBoxEditField, list);
            QStringList texts{list->placeholderText()};
            for (int i = 0; i < list->count() && i < 20; ++i)
                texts << list->itemText(i);
            for (const QString& t : texts)
                EXPECT_TRUE(fits(fm, field, t, false)) << nameOf(w) << " " << t.toStdString();
        } else if (auto* group = qobject_cast<QGroupBox*>(w)) {
            EXPECT_LE(fm.horizontalAdvance(group->title()), group->width()) << nameOf(w);
        } else if (auto* text = qobject_cast<QTextEdit*>(w);
                   text && text->verticalScrollBarPolicy() == Qt::ScrollBarAlwaysOff) {
            // A panel without scroll bars shows all its lines whole.
            const QSizeF need = text->document()->size();
            EXPECT_LE(need.width(), text->viewport()->width()) << nameOf(w);
            EXPECT_LE(need.height(), text->viewport()->height()) << nameOf(w);
        } else if (auto* bar = qobject_cast<QMenuBar*>(w)) {
            for (QAction* a : bar->actions())
                EXPECT_TRUE(bar->rect().contains(bar->actionGeometry(a)))
                    << nameOf(w) << " " << a->text().toStdString();
        }
    }
}

void expectFitsScreen(QWidget* window) {
    const QRect available = window->screen()->availableGeometry();
    const QRect frame = window->frameGeometry();
    EXPECT_TRUE(available.contains(frame))
        << window->objectName().toStdString() << " frame " << frame.x() << "," << frame.y() << " "
        << frame.width() << "x" << frame.height() << " on " << available.width() << "x"
        << available.height();
}

class TextSizeTest : public test::KeypadTest {
protected:
    // Shows the window where its opener puts it, then checks it.
    void check(QWidget* window) {
        window->show();
        QApplication::processEvents();
        SCOPED_TRACE(window->objectName().toStdString());
        expectFitsScreen(window);
        expectTextsFit(window);
    }
};

TEST_F(TextSizeTest, ScreenIsTheOneAskedFor) {
    QScreen* screen = QGuiApplication::primaryScreen();
    if (g_screen.endsWith("dpi")) {
        EXPECT_NEAR(ui::fontScale(), g_screen == "144dpi" ? 1.5 : 2.0, 0.1);
        EXPECT_DOUBLE_EQ(screen->devicePixelRatio(), 1.0);
    } else {
        EXPECT_DOUBLE_EQ(ui::fontScale(), 1.0);
        EXPECT_EQ(screen->geometry().size(), g_screen == "2x" ? QSize(640, 512) : QSize(683, 384));
    }
}

QScrollArea* scrollAreaOf(QWidget* window) {
    return window->findChild<QScrollArea*>("formScrollArea");
}

// `w` lies whole in the part of its scroll area that shows.
bool inView(QScrollArea* area, QWidget* w) {
    const QRect place(w->mapTo(area->viewport(), QPoint(0, 0)), w->size());
    return area->viewport()->rect().contains(place);
}

// A window that scrolls opens on its focused control; one only a little too
// tall gets one scroll bar, not a second one that cuts its buttons.
TEST_F(TextSizeTest, ScrolledWindowsOpenOnTheirFocusWithOneBarWhereOneDoes) {
    MainWindow form;
    form.startUp();
    AboutBox about;
    prompts.answerYes(); // the microphone
    SelfTestWindow test;
    for (QWidget* window : std::initializer_list<QWidget*>{&form, &about, &test}) {
        window->move(0, 0);
        window->show();
        QApplication::processEvents();
        SCOPED_TRACE(window->objectName().toStdString());
        QScrollArea* area = scrollAreaOf(window);
        if (!area)
            continue;
        QWidget* focus = window->focusWidget();
        ASSERT_TRUE(focus);
        EXPECT_TRUE(inView(area, focus)) << focus->objectName().toStdString();
        if (window == &about && g_screen == "laptop2x") {
            // Only a little too tall there: a bar down the side, Close whole.
            EXPECT_TRUE(area->verticalScrollBar()->isVisible());
            EXPECT_FALSE(area->horizontalScrollBar()->isVisible());
            EXPECT_TRUE(inView(area, about.closeButton));
        }
        window->hide();
    }
    if (g_screen == "laptop2x") {
        EXPECT_TRUE(scrollAreaOf(&about)) << "the about box fits; the case is not tried";
    }
}

// The focus ring is on the control Tab went to, also after the Tab scrolled
// the window to bring it into view.
TEST_F(TextSizeTest, FocusRingFollowsATabThatScrolls) {
    MainWindow form;
    form.startUp();
    form.move(0, 0);
    form.show();
    form.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
    QScrollArea* area = scrollAreaOf(&form);
    if (!area)
        GTEST_SKIP() << "the main window does not scroll on this screen";
    form.scanButton->setFocus(Qt::TabFocusReason);
    int scrolls = 0;
    for (int i = 0; i < 14; ++i) {
        const QPoint before(area->horizontalScrollBar()->value(),
                            area->verticalScrollBar()->value());
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QApplication::processEvents();
        QWidget* focus = QApplication::focusWidget();
        ASSERT_TRUE(focus);
        SCOPED_TRACE(focus->objectName().toStdString());
        if (QPoint(area->horizontalScrollBar()->value(), area->verticalScrollBar()->value()) !=
            before)
            ++scrolls;
        auto* ring = form.findChild<QWidget*>("qt_focus_ring");
        ASSERT_TRUE(ring);
        EXPECT_TRUE(ring->isVisible());
        const QRect around(focus->mapToGlobal(QPoint(-3, -3)), focus->size() + QSize(6, 6));
        EXPECT_EQ(QRect(ring->mapToGlobal(QPoint(0, 0)), ring->size()), around);
    }
    EXPECT_GT(scrolls, 0) << "no Tab scrolled the window";
}

TEST_F(TextSizeTest, EveryWindowFitsItsTextsAndTheScreen) {
    SplashScreen splash;
    ui::centreOnScreen(&splash);
    check(&splash);

    MainWindow form;
    form.startUp();
    ui::centreOnScreen(&form);
    check(&form);

    AboutBox about;
    about.move(form.pos());
    check(&about);

    for (uint8_t type : {2, 5, 8}) {
        keypad->model.setVersion("2.1");
        ASSERT_EQ(SendDeviceCommandByte(SetKeypadType, type), LINK_OK);
        form.openCodeTableEditor();
        auto editors = form.findChildren<CodeTableEditor*>();
        ASSERT_EQ(editors.size(), 1);
        editors.front()->selectKey(editors.front()->entryCount()); // the code list shows
        check(editors.front());
        delete editors.front();
    }

    prompts.answerYes(); // the microphone: the Record button shows
    SelfTestWindow test;
    test.move(form.pos());
    check(&test);

    FirmwareUpgradeWindow firmware;
    firmware.CentreOnScreen();
    check(&firmware);
}

} // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (QString(argv[i]).startsWith("--screen="))
            g_screen = QString(argv[i]).mid(9);
    const QStringList screens{"144dpi", "192dpi", "2x", "laptop2x"};
    if (!screens.contains(g_screen)) {
        std::fprintf(stderr, "usage: %s --screen=%s [gtest options]\n", argv[0],
                     qPrintable(screens.join('|')));
        return 2;
    }
    QTemporaryDir scratch;
    const QString config = scratch.filePath("screen.json");
    QFile file(config);
    if (!file.open(QIODevice::WriteOnly))
        return 2;
    const bool largerFont = g_screen.endsWith("dpi");
    const QByteArray size = g_screen == "laptop2x" ? R"("width": 1366, "height": 768)"
                                                   : R"("width": 1280, "height": 1024)";
    const QByteArray density =
        largerFont ? R"("logicalDpi": )" + g_screen.left(3).toLatin1() : QByteArray(R"("dpr": 2)");
    file.write(R"({"screens": [{"name": "a", )" + size + ", " + density + "}]}");
    file.close();
    qputenv("QT_QPA_PLATFORM", "offscreen:configfile=" + QFile::encodeName(config));
    // A larger font, not larger pixels; or everything twice as large, so the
    // 1280 x 1024 screen holds 640 x 512.
    if (largerFont)
        qputenv("QT_ENABLE_HIGHDPI_SCALING", "0");
    else
        qputenv("QT_SCALE_FACTOR", "2");
    qputenv("XDG_DATA_HOME", scratch.path().toLocal8Bit());
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
