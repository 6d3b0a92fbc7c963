// Loaded with LD_PRELOAD into a Qt program that orvex-bench starts: notes
// when the QApplication is built, when the splash and the main window are
// shown and first painted, and when the single-shot timer that showed the main
// window fired; then, after a short settle, the resident memory and whether
// Qt Multimedia is loaded. Writes
// "key value" lines to $ORVEX_BENCH_PROBE_OUT and quits the program. The
// program itself is not changed.
//
// ORVEX_BENCH_PROBE_WINDOW: class name of the main window (for example
// "orvex::MainWindow"); ORVEX_BENCH_PROBE_SPLASH: class name of the splash, if any.

#include <time.h>

#include <QCoreApplication>
#include <QEvent>
#include <QTimer>
#include <QWidget>

#include <cstdlib>
#include <fstream>
#include <string>

namespace {

constexpr int kSettleMs = 500;

long long NowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

std::string Env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

// VmRSS or VmHWM of this process in kB.
long StatusKb(const std::string& key) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(key + ":", 0) == 0)
            return std::atol(line.c_str() + key.size() + 1);
    return -1;
}

// 1 when Qt Multimedia is mapped into this process.
int QtMultimediaMapped() {
    std::ifstream in("/proc/self/maps");
    std::string line;
    while (std::getline(in, line))
        if (line.find("libQt6Multimedia") != std::string::npos)
            return 1;
    return 0;
}

class Probe : public QObject {
public:
    Probe()
        : appNs_(NowNs()), out_(Env("ORVEX_BENCH_PROBE_OUT")),
          window_(Env("ORVEX_BENCH_PROBE_WINDOW")), splash_(Env("ORVEX_BENCH_PROBE_SPLASH")) {}

    bool eventFilter(QObject* object, QEvent* event) override {
        switch (event->type()) {
        case QEvent::Timer:
            // The main window is shown from inside a single-shot timer's
            // event: the latest one seen before the show is that timer.
            if (std::string(object->metaObject()->className()) == "QSingleShotTimer")
                lastTimerNs_ = NowNs();
            break;
        case QEvent::Show:
            if (object->isWidgetType() && static_cast<QWidget*>(object)->isWindow()) {
                const std::string cls = object->metaObject()->className();
                if (cls == window_ && !shownNs_) {
                    shownNs_ = NowNs();
                    timerAtShowNs_ = lastTimerNs_;
                } else if (!splash_.empty() && cls == splash_ && !splashNs_) {
                    splashNs_ = NowNs();
                }
            }
            break;
        case QEvent::Paint:
            if (shownNs_ && !paintedNs_ && object->isWidgetType() &&
                std::string(object->metaObject()->className()) == window_) {
                paintedNs_ = NowNs();
                QTimer::singleShot(0, this, [this] { paintDoneNs_ = NowNs(); });
                QTimer::singleShot(kSettleMs, this, [this] { finish(); });
            }
            break;
        default:
            break;
        }
        return false;
    }

private:
    void finish() {
        std::ofstream out(out_);
        out << "app " << appNs_ << "\n"
            << "splash_shown " << splashNs_ << "\n"
            << "timer_fired " << timerAtShowNs_ << "\n"
            << "main_shown " << shownNs_ << "\n"
            << "main_painted " << paintedNs_ << "\n"
            << "paint_done " << paintDoneNs_ << "\n"
            << "rss_kb " << StatusKb("VmRSS") << "\n"
            << "hwm_kb " << StatusKb("VmHWM") << "\n"
            << "qt_multimedia_mapped " << QtMultimediaMapped() << "\n"
            << "end\n";
        out.close();
        QCoreApplication::quit();
    }

    long long appNs_;
    long long splashNs_ = 0;
    long long lastTimerNs_ = 0;
    long long timerAtShowNs_ = 0;
    long long shownNs_ = 0;
    long long paintedNs_ = 0;
    long long paintDoneNs_ = 0;
    std::string out_;
    std::string window_;
    std::string splash_;
};

void StartProbe() {
    if (Env("ORVEX_BENCH_PROBE_OUT").empty() || !QCoreApplication::instance())
        return;
    QCoreApplication::instance()->installEventFilter(new Probe);
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(StartProbe)
