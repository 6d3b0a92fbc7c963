#include "platform/qt_prompter.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QMessageBox>
#include <QThread>

namespace orvex {

namespace {

template <typename F> auto onGuiThread(F&& f) -> decltype(f()) {
    if (QThread::currentThread() == qApp->thread())
        return f();
    decltype(f()) result{};
    QMetaObject::invokeMethod(
        qApp, [&] { result = f(); }, Qt::BlockingQueuedConnection);
    return result;
}

QString q(const std::string& s) {
    return QString::fromUtf8(s.data(), static_cast<int>(s.size()));
}

} // namespace

MsgAnswer QtPrompter::message(const std::string& text, const std::string& caption,
                              MsgButtons buttons, MsgIcon icon) {
    return onGuiThread([&] {
        QMessageBox box(icon == MsgIcon::Warning    ? QMessageBox::Warning
                        : icon == MsgIcon::Question ? QMessageBox::Question
                                                    : QMessageBox::Information,
                        q(caption), q(text),
                        buttons == MsgButtons::YesNo ? QMessageBox::Yes | QMessageBox::No
                                                     : QMessageBox::Ok,
                        QApplication::activeWindow());
        // Several questions lead to an erase or an overwrite: Enter alone
        // never confirms one.
        if (buttons == MsgButtons::YesNo)
            box.setDefaultButton(QMessageBox::No);
        const int r = box.exec();
        if (buttons == MsgButtons::Ok)
            return MsgAnswer::Ok;
        return r == QMessageBox::Yes ? MsgAnswer::Yes : MsgAnswer::No;
    });
}

std::optional<std::string> QtPrompter::openFile(const std::string& title,
                                                const std::string& filter) {
    return openFileIn({}, title, filter);
}

std::optional<std::string> QtPrompter::openFileIn(const std::string& folder,
                                                  const std::string& title,
                                                  const std::string& filter) {
    return onGuiThread([&]() -> std::optional<std::string> {
        const QString f = QFileDialog::getOpenFileName(QApplication::activeWindow(), q(title),
                                                       q(folder), q(filter));
        if (f.isEmpty())
            return std::nullopt;
        return f.toStdString();
    });
}

std::optional<std::string> QtPrompter::pickFolder(const std::string& title) {
    return onGuiThread([&]() -> std::optional<std::string> {
        // Starts in the home folder, not wherever the program was started from.
        const QString d = QFileDialog::getExistingDirectory(QApplication::activeWindow(), q(title),
                                                            QDir::homePath());
        if (d.isEmpty())
            return std::nullopt;
        return d.toStdString();
    });
}

} // namespace orvex
