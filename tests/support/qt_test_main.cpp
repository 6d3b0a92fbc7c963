// main() for test programs that build windows: a QApplication on the
// offscreen platform unless the environment picks another.

#include <QApplication>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    QTemporaryDir scratch;
    // The offscreen platform's own screen is smaller than the windows; give it
    // a desktop-sized one, so they open at their design size.
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    if (platform.isEmpty() || platform == "offscreen") {
        const QString config = scratch.filePath("screen.json");
        QFile file(config);
        if (file.open(QIODevice::WriteOnly))
            file.write(R"({"screens": [{"name": "desktop", "width": 1920, "height": 1200}]})");
        file.close();
        qputenv("QT_QPA_PLATFORM", "offscreen:configfile=" + QFile::encodeName(config));
    }
    // Windows create the user's configuration file at start-up: keep it out of
    // the real home folder.
    QTemporaryDir dataHome;
    qputenv("XDG_DATA_HOME", dataHome.path().toLocal8Bit());
    // Nor is an upgrade journal of the user's read.
    qputenv("XDG_STATE_HOME", dataHome.path().toLocal8Bit());
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
