// One window per user for the real keypad: two windows would fight over one
// keypad. The first program listens on a per-user local socket; a second one
// that reaches it asks it to come to the front and ends.

#include <QApplication>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QStandardPaths>

#include <cstdio>

#include "ui/main/instance_folder.h"
#include "ui/main/main_window.h"
#include "ui/main/program_setup.h"

namespace orvex {

namespace {

constexpr int kConnectWaitMs = 1000;
// A second program starting at the same moment waits this long for the first
// to listen; a lock held longer belongs to one that hangs.
constexpr int kStartupLockWaitMs = 5000;

// In the user's runtime folder ($XDG_RUNTIME_DIR), which only the user can
// enter; Qt makes a private one when the desktop has none, and when Qt finds
// none it can use, a folder of this user's own in the temporary folder. Never
// a name in a shared folder: another user could hold it first. Empty when
// there is no such folder.
QString socketPath() {
    QString why;
    const QString folder = InstanceFolder(
        QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation), QDir::tempPath(), &why);
    if (folder.isEmpty()) {
        std::fprintf(stderr, "orvex-config: cannot make sure it runs only once (%s)\n",
                     qPrintable(why));
        return {};
    }
    return folder + QStringLiteral("/orvex-config.instance");
}

void bringToFront(QWidget& window) {
    // Still behind its splash: it shows by itself in a moment.
    if (!window.isVisible())
        return;
    window.setWindowState(window.windowState() & ~Qt::WindowMinimized);
    window.raise();
    window.activateWindow();
}

// Asks a running program to come to the front; false when none answers.
bool askRunningProgram(const QString& path) {
    QLocalSocket socket;
    socket.connectToServer(path);
    if (!socket.waitForConnected(kConnectWaitMs))
        return false;
    socket.write("front\n");
    socket.waitForBytesWritten(kConnectWaitMs);
    socket.disconnectFromServer();
    return true;
}

} // namespace

bool SetUpProgram(MainWindow& window) {
    const QString path = socketPath();
    if (path.isEmpty())
        return true;
    // Two programs starting together: the second waits until the first listens.
    QLockFile starting(path + QStringLiteral(".lock"));
    if (!TakeStartupLock(starting, kStartupLockWaitMs))
        std::fprintf(stderr,
                     "orvex-config: another orvex-config has been starting for %d s; "
                     "starting all the same\n",
                     kStartupLockWaitMs / 1000);
    if (askRunningProgram(path)) {
        std::fprintf(stderr, "orvex-config is already running; its window was brought to the "
                             "front.\n");
        return false;
    }
    auto* server = new QLocalServer(qApp);
    server->setSocketOptions(QLocalServer::UserAccessOption);
    // No program answered: a socket still there was left by one that ended
    // without removing it.
    QLocalServer::removeServer(path);
    if (!server->listen(path)) {
        std::fprintf(stderr, "orvex-config: cannot make sure it runs only once (%s)\n",
                     qPrintable(server->errorString()));
        delete server;
        return true;
    }
    QObject::connect(server, &QLocalServer::newConnection, &window, [server, &window] {
        while (QLocalSocket* socket = server->nextPendingConnection()) {
            QObject::connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            bringToFront(window);
        }
    });
    return true;
}

} // namespace orvex
