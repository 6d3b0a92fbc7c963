// Start-up time and resident memory of orvex-config-virtual, launched as it
// is under the offscreen platform, next to an empty Qt window program. The
// probe module (startup_probe.cpp) is preloaded into both and reports the
// moments its windows appear; the programs are not changed.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

#include "bench.h"

extern char** environ;

namespace orvex::bench {

namespace {

constexpr int64_t kLaunchTimeoutNs = 30LL * 1000000000;

struct Launch {
    bool ok = false;
    std::string error;
    std::map<std::string, double> ms; // probe times relative to the launch
    double rssKb = 0;
    double hwmKb = 0;
    double cpuMs = 0; // user + system CPU time of the whole run, launch to exit
};

Launch Run(const Options& options, const std::string& program, const std::string& window,
           const std::string& splash, const std::string& work) {
    Launch l;
    const std::string out = work + "/probe.txt";
    std::filesystem::remove(out);

    // The child's environment: ours without the variables that would change
    // what it does, plus the platform, the probe and private data folders.
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string v = *e;
        const std::string key = v.substr(0, v.find('='));
        if (key == "QT_QPA_PLATFORM" || key == "LD_PRELOAD" || key == "ORVEX_VIRTUAL_STATE" ||
            key.rfind("XDG_", 0) == 0 || key.rfind("ORVEX_BENCH_", 0) == 0)
            continue;
        env.push_back(v);
    }
    env.push_back("QT_QPA_PLATFORM=offscreen");
    env.push_back("LD_PRELOAD=" + options.probe);
    env.push_back("ORVEX_BENCH_PROBE_OUT=" + out);
    env.push_back("ORVEX_BENCH_PROBE_WINDOW=" + window);
    env.push_back("ORVEX_BENCH_PROBE_SPLASH=" + splash);
    env.push_back("XDG_DATA_HOME=" + work + "/data");
    env.push_back("XDG_CONFIG_HOME=" + work + "/config");
    env.push_back("XDG_CACHE_HOME=" + work + "/cache");
    env.push_back("XDG_RUNTIME_DIR=" + work + "/runtime");
    std::vector<char*> envp;
    for (auto& v : env)
        envp.push_back(v.data());
    envp.push_back(nullptr);
    std::string arg0 = program;
    char* argv[] = {arg0.data(), nullptr};

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, (work + "/stderr.txt").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    const int64_t t0 = MonotonicNs();
    const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        l.error = "cannot start " + program;
        return l;
    }
    int status = 0;
    for (;;) {
        rusage usage{};
        const pid_t done = wait4(pid, &status, WNOHANG, &usage);
        if (done == pid) {
            auto ms = [](const timeval& t) { return t.tv_sec * 1e3 + t.tv_usec / 1e3; };
            l.cpuMs = ms(usage.ru_utime) + ms(usage.ru_stime);
            break;
        }
        if (MonotonicNs() - t0 > kLaunchTimeoutNs) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            l.error = program + " did not show its window within 30 s";
            return l;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }

    std::ifstream in(out);
    std::string key;
    double value = 0;
    bool complete = false;
    while (in >> key) {
        if (key == "end") {
            complete = true;
            break;
        }
        in >> value;
        if (key == "rss_kb")
            l.rssKb = value;
        else if (key == "hwm_kb")
            l.hwmKb = value;
        else if (key == "qt_multimedia_mapped")
            continue; // a yes/no, checked by the start-up test
        else if (value > 0)
            l.ms[key] = (value - static_cast<double>(t0)) / 1e6;
    }
    if (!complete || !l.ms.count("main_painted")) {
        l.error =
            program + " exited without the probe's report (status " + std::to_string(status) + ")";
        return l;
    }
    l.ok = true;
    return l;
}

struct Series {
    std::vector<double> excl; // start-up without the splash wait
    std::vector<double> rss;
    std::vector<double> cpu;
    std::map<std::string, std::vector<double>> parts;
    std::string error;
};

void Add(Series& s, const Launch& l, bool hasSplash) {
    if (!l.ok) {
        s.error = l.error;
        return;
    }
    if (hasSplash && (!l.ms.count("splash_shown") || !l.ms.count("timer_fired"))) {
        s.error = "the probe saw no splash or no timer showing the main window";
        return;
    }
    auto at = [&](const char* k) {
        const auto it = l.ms.find(k);
        return it == l.ms.end() ? 0.0 : it->second;
    };
    double splashWait = 0;
    if (hasSplash) {
        // From the splash on screen to the timer that shows the main window.
        splashWait = at("timer_fired") - at("splash_shown");
        s.parts["launch to QApplication"].push_back(at("app"));
        s.parts["QApplication to splash shown"].push_back(at("splash_shown") - at("app"));
        s.parts["splash wait (excluded)"].push_back(splashWait);
        s.parts["timer to main window shown (startUp)"].push_back(at("main_shown") -
                                                                  at("timer_fired"));
        s.parts["shown to first paint"].push_back(at("main_painted") - at("main_shown"));
    } else {
        s.parts["launch to QApplication"].push_back(at("app"));
        s.parts["QApplication to window painted"].push_back(at("main_painted") - at("app"));
    }
    s.excl.push_back(at("main_painted") - splashWait);
    s.rss.push_back(l.rssKb);
    s.cpu.push_back(l.cpuMs);
}

std::string Ms(double v) {
    return Fixed(v, 1) + " ms";
}

std::string MiB(double kb) {
    return Fixed(kb / 1024, 1) + " MiB";
}

} // namespace

Section StartupBench(const Options& options) {
    Section section;
    section.title = "Start-up of orvex-config-virtual (offscreen platform)";
    section.intro =
        "The real program, launched with QT_QPA_PLATFORM=offscreen and a preloaded probe that "
        "notes when its windows are shown and first painted. Start-up runs from the launch to "
        "the main window's first paint, less the splash wait (from the splash shown to the "
        "3000 ms timer firing). Resident memory is VmRSS 500 ms after that paint. CPU time is the "
        "child's user + system time from launch to exit (the probe quits it 500 ms after the "
        "paint), which a busy machine disturbs less than the elapsed time. Limit: the "
        "same figures for a program that only shows one empty Qt window of the main window's "
        "size (orvex-bench-qt-floor), the least any Qt Widgets program costs here. Medians of " +
        std::to_string(options.startupRuns) + " launches each, after one warm-up launch.";
    section.headers = {"Figure", "orvex-config-virtual", "Limit: empty Qt window", "Ratio"};

    char dirTemplate[] = "/tmp/orvex-bench-start-XXXXXX";
    const char* dir = mkdtemp(dirTemplate);
    if (!dir) {
        section.failed = true;
        section.notes.push_back("Cannot create a temporary folder.");
        return section;
    }
    const std::string work = dir;
    for (const char* sub : {"/data", "/config", "/cache", "/runtime"})
        mkdir((work + sub).c_str(), 0700);

    Series app, floor, window;
    const bool withWindow = !options.mainWindow.empty();
    for (int i = 0; i <= options.startupRuns; ++i) {
        // Alternate, so all see the same machine load.
        const Launch a =
            Run(options, options.app, "orvex::MainWindow", "orvex::SplashScreen", work);
        const Launch f = Run(options, options.floor, "QWidget", "", work);
        const Launch w =
            withWindow ? Run(options, options.mainWindow, "orvex::MainWindow", "", work) : Launch{};
        if (i == 0 && a.ok && f.ok)
            continue; // warm-up: file cache, font cache
        Add(app, a, true);
        Add(floor, f, false);
        if (withWindow)
            Add(window, w, false);
        if (!app.error.empty() || !floor.error.empty() || !window.error.empty())
            break;
    }
    std::error_code ignored;
    std::filesystem::remove_all(work, ignored);

    if (!app.error.empty() || !floor.error.empty() || !window.error.empty()) {
        section.failed = true;
        section.notes.push_back(!app.error.empty()     ? app.error
                                : !floor.error.empty() ? floor.error
                                                       : window.error);
        return section;
    }
    const double appMs = Median(app.excl);
    const double floorMs = Median(floor.excl);
    const double appRss = Median(app.rss);
    const double floorRss = Median(floor.rss);
    section.rows.push_back({"Start-up to main window shown, without the splash wait", Ms(appMs),
                            Ms(floorMs), Ratio(appMs, floorMs)});
    section.rows.push_back({"Resident memory after start (VmRSS)", MiB(appRss), MiB(floorRss),
                            Ratio(appRss, floorRss)});
    const double appCpu = Median(app.cpu);
    const double floorCpu = Median(floor.cpu);
    section.rows.push_back({"CPU time of the whole run (user + system, launch to exit)", Ms(appCpu),
                            Ms(floorCpu), Ratio(appCpu, floorCpu)});

    std::string parts = "orvex-config-virtual, medians:";
    for (const char* k :
         {"launch to QApplication", "QApplication to splash shown", "splash wait (excluded)",
          "timer to main window shown (startUp)", "shown to first paint"})
        parts += std::string(" ") + k + " " + Ms(Median(app.parts[k])) + ";";
    parts.back() = '.';
    section.notes.push_back(parts);
    section.notes.push_back("Empty Qt window, medians: launch to QApplication " +
                            Ms(Median(floor.parts["launch to QApplication"])) +
                            "; QApplication to window painted " +
                            Ms(Median(floor.parts["QApplication to window painted"])) + ".");
    if (withWindow) {
        const double windowMs = Median(window.excl);
        const double windowRss = Median(window.rss);
        const double windowCpu = Median(window.cpu);
        section.notes.push_back(
            "Middle case, not a limit: the main window alone (orvex-bench-main-window: the same "
            "controls, texts and fonts; no splash, no device set up, no status read) starts in " +
            Ms(windowMs) + " (" + Ratio(windowMs, floorMs) + " x the empty window), holds " +
            MiB(windowRss) + " (" + Ratio(windowRss, floorRss) + " x) and uses " + Ms(windowCpu) +
            " of CPU (" + Ratio(windowCpu, floorCpu) + " x).");
    }
    std::vector<double> sorted = app.excl;
    std::sort(sorted.begin(), sorted.end());
    section.notes.push_back("Start-up spread over the launches: " + Ms(sorted.front()) + " to " +
                            Ms(sorted.back()) + " (floor " +
                            Ms(*std::min_element(floor.excl.begin(), floor.excl.end())) + " to " +
                            Ms(*std::max_element(floor.excl.begin(), floor.excl.end())) + ").");
    return section;
}

} // namespace orvex::bench
