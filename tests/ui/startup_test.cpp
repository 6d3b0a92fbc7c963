#include <gtest/gtest.h>

#include <QFile>
#include <QLabel>
#include <QPixmap>
#include <QProcess>
#include <QTemporaryDir>

#include <map>
#include <string>

#include "ui/main/splash_screen.h"

// orvex-config-virtual up to its painted main window, run under the start-up
// probe: Qt Multimedia, which only the self test's "Record" needs, is not
// loaded by then.
TEST(ProgramStartUp, MainWindowShowsWithoutLoadingQtMultimedia) {
    QTemporaryDir work;
    ASSERT_TRUE(work.isValid());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("ORVEX_VIRTUAL_STATE");
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("LD_PRELOAD", ORVEX_STARTUP_PROBE);
    env.insert("ASAN_OPTIONS", "verify_asan_link_order=0:detect_leaks=0");
    env.insert("ORVEX_BENCH_PROBE_OUT", work.filePath("probe"));
    env.insert("ORVEX_BENCH_PROBE_WINDOW", "orvex::MainWindow");
    for (const char* xdg : {"XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_STATE_HOME"})
        env.insert(xdg, work.filePath(xdg));
    QProcess program;
    program.setProcessEnvironment(env);
    program.start(ORVEX_CONFIG_VIRTUAL, {});
    ASSERT_TRUE(program.waitForFinished(60000)) << "the program did not quit";

    QFile report(work.filePath("probe"));
    ASSERT_TRUE(report.open(QIODevice::ReadOnly))
        << "no probe report; program output: " << program.readAllStandardError().toStdString();
    std::map<std::string, std::string> values;
    for (const QByteArray& line : report.readAll().split('\n'))
        if (const auto parts = line.split(' '); parts.size() == 2)
            values[parts[0].toStdString()] = parts[1].toStdString();
    ASSERT_NE(values["main_painted"], "0");
    EXPECT_EQ(values["qt_multimedia_mapped"], "0");
}

// The decoded splash picture (1.2 MiB) has no other owner than the splash, so
// it is freed when the splash closes rather than kept for the whole run.
TEST(ProgramStartUp, SplashPictureGoesWithTheSplash) {
    auto* splash = new orvex::SplashScreen;
    const auto* label = splash->findChild<QLabel*>("pictureLabel");
    ASSERT_NE(label, nullptr);
    const QPixmap picture = label->pixmap();
    ASSERT_EQ(picture.size(), QSize(725, 419));
    delete splash;
    EXPECT_TRUE(picture.isDetached()) << "a copy of the splash picture outlives the splash";
}
