// Recorded sessions replayed by orvexctl-virtual, the program that recorded
// them: the same exit codes, output and configuration file, and a loud
// failure at the first report that differs.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "trace/trace_format.h"

namespace fs = std::filesystem;
using orvex::trace::Line;
using orvex::trace::Trace;

namespace {

struct Outcome {
    int code = -1;
    std::string out, err;
};

std::string slurp(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Runs orvexctl-virtual in `cwd` with its own data folder `home` and, when
// given, a virtual keypad that keeps its state in `state`.
// `fileLimit`: files may grow to that many bytes only (0: no limit), as on a
// disk that fills up.
Outcome orvexctl(const std::vector<std::string>& args, const fs::path& home,
                 const fs::path& state = {}, const fs::path& cwd = ORVEX_TRACES_DIR,
                 rlim_t fileLimit = 0) {
    const fs::path out = home / "stdout", err = home / "stderr";
    fs::create_directories(home);
    const pid_t pid = fork();
    if (pid == 0) {
        std::vector<char*> argv{const_cast<char*>(ORVEXCTL_VIRTUAL)};
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        setenv("XDG_DATA_HOME", home.c_str(), 1);
        // Upgrade journals and locks stay in the run's folder too.
        setenv("XDG_STATE_HOME", home.c_str(), 1);
        setenv("XDG_RUNTIME_DIR", home.c_str(), 1);
        state.empty() ? unsetenv("ORVEX_VIRTUAL_STATE")
                      : setenv("ORVEX_VIRTUAL_STATE", state.c_str(), 1);
        unsetenv("ORVEX_TRACE");
        unsetenv("ORVEX_REPLAY");
        if (fileLimit) {
            signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{fileLimit, fileLimit};
            setrlimit(RLIMIT_FSIZE, &limit);
        }
        dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
        dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
        if (chdir(cwd.c_str()) == 0)
            execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    Outcome r{WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurp(out), slurp(err)};
    // Paths inside the data folder read the same whichever folder it is.
    for (std::string* text : {&r.out, &r.err})
        for (size_t at; (at = text->find(home.string())) != std::string::npos;)
            text->replace(at, home.string().size(), "HOME");
    fs::remove(out);
    fs::remove(err);
    return r;
}

class TraceTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("orvex-traces-" + std::to_string(getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
    fs::path dir;
};

std::vector<std::string> replayArgs(const fs::path& trace, const Line& header) {
    std::vector<std::string> args{"--replay", trace.string()};
    for (const auto& a : header.list("args"))
        args.push_back(a);
    return args;
}

class RecordedTrace : public TraceTest, public ::testing::WithParamInterface<std::string> {};

// The traces orvexctl (either backend) recorded; other programs replay theirs.
std::vector<std::string> recordedTraces() {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(ORVEX_TRACES_DIR)) {
        Trace t;
        std::string error;
        if (e.path().extension() == ".jsonl" &&
            (!orvex::trace::ReadTrace(e.path().string(), t, error) ||
             t.header.text("program").rfind("orvexctl", 0) == 0))
            names.push_back(e.path().stem().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace

// Each recorded session replays to its end with the exit code it recorded.
TEST_P(RecordedTrace, ReplaysToTheEnd) {
    const fs::path file = fs::path(ORVEX_TRACES_DIR) / (GetParam() + ".jsonl");
    Trace trace;
    std::string error;
    ASSERT_TRUE(orvex::trace::ReadTrace(file.string(), trace, error)) << error;
    ASSERT_FALSE(trace.events.empty());
    ASSERT_EQ(trace.events.back().text("ev"), "exit");
    const Outcome r = orvexctl(replayArgs(file, trace.header), dir / "home");
    EXPECT_EQ(r.code, trace.events.back().number("code")) << r.err;
    EXPECT_EQ(r.err.find("replay:"), std::string::npos) << r.err;
}

INSTANTIATE_TEST_SUITE_P(Traces, RecordedTrace, ::testing::ValuesIn(recordedTraces()),
                         [](const auto& info) { return info.param; });

// Live runs on one virtual keypad, each recorded; each recording replayed in
// a second data folder gives the same output, exit code and configuration file.
TEST_F(TraceTest, RecordThenReplayGivesTheSameResults) {
    const std::vector<std::vector<std::string>> session = {
        {"status"},
        {"set", "table", "customise"},
        {"table", "set", "00:04 00:05 00:06 00:07 00:08 00:09 00:0A 00:0B 00:0C 00:0D"},
        {"set", "led", "2"},
        {"save"},
        {"set", "led", "9"},
        {"restore"},
        {"set", "buzzer", "x"},
        {"status", "--json"}};
    const fs::path config = fs::path("HaldenInterface") / "USBOrvexIllumUtilityCfg.ini";
    for (size_t i = 0; i < session.size(); ++i) {
        const fs::path trace = dir / ("step" + std::to_string(i) + ".jsonl");
        std::vector<std::string> args{"--trace", trace.string()};
        args.insert(args.end(), session[i].begin(), session[i].end());
        const Outcome live = orvexctl(args, dir / "live", dir / "state");
        Trace t;
        std::string error;
        ASSERT_TRUE(orvex::trace::ReadTrace(trace.string(), t, error)) << error;
        const Outcome replay = orvexctl(replayArgs(trace, t.header), dir / "replay");
        SCOPED_TRACE(session[i][0]);
        EXPECT_EQ(replay.code, live.code);
        EXPECT_EQ(replay.out, live.out);
        EXPECT_EQ(replay.err, live.err);
        EXPECT_EQ(slurp(dir / "replay" / config), slurp(dir / "live" / config));
    }
    EXPECT_NE(slurp(dir / "live" / config).find("LedBrightness=2"), std::string::npos);
}

// One byte changed in a written report: the replay names that event with the
// recorded and the actual bytes, and the command fails.
TEST_F(TraceTest, EditedReportIsReportedAtItsEvent) {
    const fs::path source = fs::path(ORVEX_TRACES_DIR) / "set_led.jsonl";
    Trace trace;
    std::string error;
    ASSERT_TRUE(orvex::trace::ReadTrace(source.string(), trace, error)) << error;
    int event = 0;
    std::string actual;
    for (size_t i = 0; i < trace.events.size() && !event; ++i)
        if (trace.events[i].text("ev") == "write") {
            event = static_cast<int>(i) + 1;
            actual = trace.events[i].text("data");
        }
    ASSERT_GT(event, 0);
    std::string expected = actual;
    expected[15] = expected[15] == '7' ? '6' : '7'; // the brightness digit of "set led 7"

    std::ifstream in(source);
    std::ofstream edited(dir / "edited.jsonl");
    int n = -1;
    for (std::string line; std::getline(in, line); ++n) {
        if (n + 1 == event)
            line.replace(line.find(actual), actual.size(), expected);
        edited << line << "\n";
    }
    edited.close();
    const Outcome r = orvexctl(replayArgs(dir / "edited.jsonl", trace.header), dir / "home");
    EXPECT_EQ(r.code, 4);
    EXPECT_NE(r.err.find("replay: event " + std::to_string(event) + " differs: expected " +
                         expected + ", actual " + actual + "\n"),
              std::string::npos)
        << r.err;
}

TEST_F(TraceTest, UnknownVersionIsRefused) {
    std::ofstream(dir / "future.jsonl") << "{\"format\":\"orvex-trace\",\"version\":2}\n";
    const Outcome r =
        orvexctl({"--replay", (dir / "future.jsonl").string(), "status"}, dir / "home");
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.err, "orvexctl: " + (dir / "future.jsonl").string() +
                         " is a trace of version 2; this program reads version 1 only\n");
}

// A recording that cannot be written, from its first line (a full device) or
// part-way (a file size limit): exit 6 with one line saying so, after the
// command itself did its work.
TEST_F(TraceTest, UnwritableRecordingFailsTheRun) {
    Outcome r = orvexctl({"--trace", "/dev/full", "status"}, dir / "home");
    EXPECT_EQ(r.code, 6);
    EXPECT_EQ(r.err, "orvexctl: cannot write the trace /dev/full: No space left on device\n");

    const fs::path trace = dir / "limited.jsonl";
    r = orvexctl({"--trace", trace.string(), "status"}, dir / "home", {}, ORVEX_TRACES_DIR, 1024);
    EXPECT_EQ(r.code, 6);
    EXPECT_EQ(r.err, "orvexctl: cannot write the trace " + trace.string() + ": File too large\n");
    EXPECT_NE(r.out.find("serial-number: OVX000123456\n"), std::string::npos);

    // A command that failed keeps its own code; the recording's line follows.
    r = orvexctl({"--trace", trace.string(), "--serial", "NONE", "status"}, dir / "home", {},
                 ORVEX_TRACES_DIR, 300);
    EXPECT_EQ(r.code, 3);
    EXPECT_EQ(r.err, "orvexctl: no keypad with serial number NONE\n"
                     "orvexctl: cannot write the trace " +
                         trace.string() + ": File too large\n");
}

// --mask-serial leaves no serial number anywhere in the recording: not in the
// arguments (given with --serial), the status answers or the strings.
TEST_F(TraceTest, MaskedRecordingHoldsNoSerialNumber) {
    const fs::path trace = dir / "masked.jsonl";
    const Outcome r = orvexctl(
        {"--trace", trace.string(), "--mask-serial", "--serial", "OVX000123456", "set", "led", "3"},
        dir / "home");
    ASSERT_EQ(r.code, 0) << r.err;
    const std::string text = slurp(trace);
    EXPECT_EQ(text.find("OVX000123456"), std::string::npos) << text.substr(0, 400);
    EXPECT_EQ(text.find("4f5658303030313233343536"), std::string::npos); // nor as report bytes
    Trace t;
    std::string error;
    ASSERT_TRUE(orvex::trace::ReadTrace(trace.string(), t, error)) << error;
    EXPECT_EQ(t.header.list("args"),
              (std::vector<std::string>{"--serial", "XXXXXXXXXXXX", "set", "led", "3"}));
}

// The reader takes time in proportion to a line's length: one event line of
// most of a megabyte holding sixty thousand numbers reads in well under a
// second (copying the rest of the line per number took a minute).
TEST_F(TraceTest, LongLineReadsInLinearTime) {
    std::string line = "{\"n\":1,\"t\":0,\"ev\":\"polls\"";
    while (line.size() < orvex::trace::kMaxLineBytes - 100)
        line += ",\"count\":12345";
    line += "}";
    std::ofstream(dir / "long.jsonl") << "{\"format\":\"orvex-trace\",\"version\":1,\"args\":[]}\n"
                                      << line << "\n";
    Trace t;
    std::string error;
    const auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(orvex::trace::ReadTrace((dir / "long.jsonl").string(), t, error)) << error;
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(t.events.at(0).number("count"), 12345);
    EXPECT_LT(took, std::chrono::seconds(5));
}

// A line longer than any recording writes is refused where it passes the
// bound: a file without line breaks is never read into memory whole.
TEST_F(TraceTest, OverlongLineIsRefusedAtTheBound) {
    {
        std::ofstream f(dir / "endless.jsonl");
        f << "{\"format\":\"orvex-trace\",\"version\":1,\"args\":[]}\n{\"n\":1,\"ev\":\"";
        f << std::string(orvex::trace::kMaxLineBytes + 10, 'a');
    }
    Trace t;
    std::string error;
    EXPECT_FALSE(orvex::trace::ReadTrace((dir / "endless.jsonl").string(), t, error));
    EXPECT_EQ(error, (dir / "endless.jsonl").string() + " line 2 is longer than 1048576 bytes: "
                                                        "not a session trace");

    const Outcome r = orvexctl({"--replay", "/dev/zero", "status"}, dir / "home");
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.err,
              "orvexctl: /dev/zero line 1 is longer than 1048576 bytes: not a session trace\n");
}
