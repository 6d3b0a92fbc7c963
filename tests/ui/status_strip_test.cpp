// The main window's status strip: what each action leaves in it, that a
// screen reader is told each message, that the next action clears it, and
// the signs of work while the window waits for the keypad to restart.

#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QComboBox>
#include <QCursor>
#include <QMouseEvent>
#include <QPushButton>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTextEdit>

#include <functional>
#include <vector>

#include "config/utility_config.h"
#include "device/device_commands.h"
#include "device/hid_link.h"
#include "test_env.h"
#include "ui/codetable/code_table_editor.h"
#include "ui/main/main_window.h"

using namespace orvex;

namespace {

// Texts of the notifications shown to assistive technology, in order. A
// widget shown is what Qt turns into the AT-SPI event (ObjectShow, "showing"
// for a notification) that screen readers speak; the offscreen platform has
// no accessibility bridge, so the showing itself is watched.
std::vector<QString> g_spoken;

class NotificationWatch : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::Show)
            return false;
        QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(watched);
        if (iface && iface->role() == QAccessible::Notification)
            g_spoken.push_back(iface->text(QAccessible::Name));
        return false;
    }
};

// A click as the window system delivers it, queued behind the blocked window.
void queueClick(QWidget* w) {
    const QPointF at = QRectF(w->rect()).center();
    for (auto type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease})
        QCoreApplication::postEvent(
            w, new QMouseEvent(type, at, w->mapToGlobal(at), Qt::LeftButton,
                               type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton,
                               Qt::NoModifier));
}

class StatusStripTest : public test::KeypadTest {
protected:
    std::unique_ptr<MainWindow> form;

    void SetUp() override {
        test::KeypadTest::SetUp();
        g_spoken.clear();
        keypad->model.setOptions(7);
        form = std::make_unique<MainWindow>();
        for (QWidget* w : form->findChildren<QWidget*>())
            if (QAccessible::queryAccessibleInterface(w) &&
                QAccessible::queryAccessibleInterface(w)->role() == QAccessible::Notification)
                w->installEventFilter(new NotificationWatch(w));
        form->startUp();
        form->show(); // announcements are shown, and only a shown window shows them
        QCoreApplication::processEvents();
        keypad->model.clearLog();
        g_spoken.clear();
    }
    void TearDown() override {
        form.reset();
        test::KeypadTest::TearDown();
    }
    // The strip says `text` and a screen reader was told just that.
    void expectSaidAndSpoken(const QString& text) {
        EXPECT_EQ(form->statusBar->currentMessage(), text);
        ASSERT_FALSE(g_spoken.empty()) << text.toStdString();
        EXPECT_EQ(g_spoken.back(), text);
        g_spoken.clear();
    }
};

} // namespace

// Every action leaves its result, spoken; the next action replaces or clears it.
TEST_F(StatusStripTest, EachActionLeavesItsSpokenResultUntilTheNext) {
    form->scanButton->click();
    expectSaidAndSpoken(MainWindow::ScanFoundText());

    // A pick clears it: the keypad found is no longer the news.
    form->ledBrightnessList->setCurrentIndex(3);
    emit form->ledBrightnessList->activated(3);
    EXPECT_TRUE(form->statusBar->currentMessage().isEmpty());

    form->saveChangesButton->click();
    expectSaidAndSpoken(MainWindow::SavedText());

    // A code table applied.
    ASSERT_EQ(SendDeviceCommandByte(SetKeypadType, 2), LINK_OK);
    form->codeTableButton->click();
    EXPECT_TRUE(form->statusBar->currentMessage().isEmpty());
    auto* editor = form->findChild<CodeTableEditor*>();
    ASSERT_TRUE(editor);
    editor->applyButton->click();
    expectSaidAndSpoken(MainWindow::TableLoadedText());

    // Scan For Device that finds nothing says so.
    sim::VirtualBus::instance().unplug(keypad);
    CloseDevice();
    form->scanButton->click();
    EXPECT_EQ(prompts.texts(), std::vector<std::string>{"Halden Orvex\u2122 not connected..\n"});
    expectSaidAndSpoken(MainWindow::NoKeypadText());
    EXPECT_TRUE(form->statusPanel->toPlainText().endsWith("None"));
}

// The lists give assistive technology the entry they show as their text.
TEST_F(StatusStripTest, SettingListsExposeTheirEntryAsText) {
    for (QComboBox* list :
         {form->ledBrightnessList, form->buzzerPeriodList, form->keypadTypeList}) {
        QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(list);
        ASSERT_TRUE(iface && iface->textInterface()) << list->objectName().toStdString();
        QAccessibleTextInterface* text = iface->textInterface();
        EXPECT_EQ(text->text(0, text->characterCount()), list->currentText());
    }
    form->ledBrightnessList->setCurrentIndex(2);
    QAccessibleTextInterface* text =
        QAccessible::queryAccessibleInterface(form->ledBrightnessList)->textInterface();
    EXPECT_EQ(text->text(0, text->characterCount()), "LED Brightness - 2");
}

// While the keypad restarts the window shows a busy cursor and names the
// wait in the strip, spoken; clicks made meanwhile do not run afterwards.
TEST_F(StatusStripTest, RestartWaitsShowTheirWorkAndDropClicksMadeMeanwhile) {
    ASSERT_TRUE(form->SaveToConfigFile()); // a file to restore from
    QSignalSpy exits(form.get(), &MainWindow::exitRequested);
    test::WaitHookClock hooked(clock);
    setClock(&hooked);
    const std::pair<QPushButton*, QString> waits[] = {
        {form->factoryResetButton, MainWindow::RestoringFactoryText()},
        {form->restoreFromFileButton, MainWindow::RestoringSavedText()},
    };
    for (const auto& [button, waitText] : waits) {
        SCOPED_TRACE(waitText.toStdString());
        g_spoken.clear();
        keypad->model.clearLog();
        QString shownDuring;
        Qt::CursorShape cursorDuring = Qt::ArrowCursor;
        std::vector<QString> spokenDuring;
        hooked.during = [&] {
            shownDuring = form->statusBar->currentMessage();
            cursorDuring = QApplication::overrideCursor() ? QApplication::overrideCursor()->shape()
                                                          : Qt::ArrowCursor;
            spokenDuring = g_spoken;
            queueClick(form->exitButton);
        };
        button->click();
        for (int i = 0; i < 5; ++i)
            QCoreApplication::processEvents();
        EXPECT_EQ(shownDuring, waitText);
        EXPECT_EQ(cursorDuring, Qt::WaitCursor);
        ASSERT_FALSE(spokenDuring.empty());
        EXPECT_EQ(spokenDuring.back(), waitText);
        EXPECT_EQ(QApplication::overrideCursor(), nullptr);
        EXPECT_EQ(exits.count(), 0) << "a click made during the wait ran after it";
        EXPECT_NE(form->statusBar->currentMessage(), waitText);
        EXPECT_TRUE(form->saveChangesButton->isEnabled());
    }
    EXPECT_EQ(form->statusBar->currentMessage(), MainWindow::RestoredText());
    setClock(&clock);
}
