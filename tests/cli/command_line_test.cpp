// orvexctl-virtual as a script runs it: GNU options, help for every command,
// one usage error form, JSON output, one exit code per kind of file failure,
// serial numbers masked in the diagnosis, and the completion script.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

namespace fs = std::filesystem;

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

class CommandLine : public ::testing::Test {
protected:
    void SetUp() override {
        home = fs::temp_directory_path() /
               ("orvexctl-cmdline-" + std::to_string(getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(home);
        fs::create_directories(home / "run");
    }
    void TearDown() override { fs::remove_all(home); }

    // The built program with a data, state and runtime folder of this test.
    Outcome run(const std::vector<std::string>& args, const char* program = ORVEXCTL_VIRTUAL) {
        const fs::path out = home / "stdout", err = home / "stderr";
        const pid_t pid = fork();
        if (pid == 0) {
            std::vector<char*> argv{const_cast<char*>(program)};
            for (const auto& a : args)
                argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            setenv("HOME", home.c_str(), 1);
            setenv("XDG_DATA_HOME", home.c_str(), 1);
            setenv("XDG_STATE_HOME", home.c_str(), 1);
            setenv("XDG_RUNTIME_DIR", (home / "run").c_str(), 1);
            for (const char* name : {"ORVEX_VIRTUAL_STATE", "ORVEX_TRACE", "ORVEX_REPLAY"})
                unsetenv(name);
            dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
            dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
            if (chdir(home.c_str()) == 0)
                execv(argv[0], argv.data());
            _exit(127);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurp(out), slurp(err)};
    }
    fs::path home;
};

} // namespace

TEST_F(CommandLine, GnuOptionsInEitherFormAndPlace) {
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"--serial=OVX000123456", "status"},
             {"--serial", "OVX000123456", "status"},
             {"status", "--serial=OVX000123456"},
             {"status", "--path", "sim:1:1"},
             {"--path=sim:1:1", "status", "--mask-serial"},
         }) {
        const Outcome r = run(args);
        EXPECT_EQ(r.code, 0) << args[0] << " " << args[1] << ": " << r.err;
        EXPECT_NE(r.out.find("led-brightness: 5\n"), std::string::npos);
    }
    // `--` ends the options: a file named like one is a file.
    std::ofstream(home / "--recover") << "[appSettings]\n";
    Outcome r = run({"restore", "--", "--recover"});
    EXPECT_EQ(r.code, 6) << r.err;
    EXPECT_NE(r.err.find("holds no saved settings"), std::string::npos) << r.err;
    r = run({"--mask-serial", "restore", "--", "--recover"}); // still one word after `--`
    EXPECT_NE(r.err.find("holds no saved settings"), std::string::npos) << r.err;
    // The recording options take either form as well.
    r = run({"status", "--trace=" + (home / "t.jsonl").string()});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(slurp(home / "t.jsonl").rfind("{\"format\":\"orvex-trace\"", 0), 0u);
    r = run({"--serial=NONE", "status"});
    EXPECT_EQ(r.code, 3);
    EXPECT_EQ(r.err, "orvexctl: no keypad with serial number NONE\n");
}

TEST_F(CommandLine, HelpForEveryCommandAndOneUsageErrorForm) {
    for (const char* command : {"status", "set", "save", "restore", "export", "import", "table",
                                "factory-reset", "flash", "resume", "list", "diagnose"}) {
        const Outcome r = run({command, "--help"});
        EXPECT_EQ(r.code, 0) << command;
        EXPECT_EQ(r.out.rfind(std::string("usage: orvexctl ") + command, 0), 0u) << r.out;
        EXPECT_EQ(run({"--help", command}).out, r.out) << command;
        EXPECT_EQ(run({"help", command}).out, r.out) << command;
    }
    for (const auto& args : std::vector<std::vector<std::string>>{{"status", "--frob"},
                                                                  {"--frob", "status"},
                                                                  {"frobnicate"},
                                                                  {"status", "--serial"},
                                                                  {"--serial=", "status"},
                                                                  {"diagnose", "--output"},
                                                                  {}}) {
        const Outcome r = run(args);
        EXPECT_EQ(r.code, 2) << (args.empty() ? "" : args[0]);
        if (!args.empty()) {
            EXPECT_EQ(r.err.rfind("orvexctl: ", 0), 0u) << r.err;
            EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "one line: " << r.err;
        }
    }
    EXPECT_EQ(run({"status", "--frob"}).err,
              "orvexctl: status: unknown option '--frob' (see `orvexctl status --help`)\n");
}

TEST_F(CommandLine, JsonOutputWithNamesBesideNumbers) {
    Outcome r = run({"list", "--json"});
    ASSERT_EQ(r.code, 0) << r.err;
    const auto list = nlohmann::json::parse(r.out);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0]["kind"], "keypad");
    EXPECT_EQ(list[0]["usb_id"], "2047:09bf");
    EXPECT_EQ(list[0]["path"], "sim:1:1");
    EXPECT_EQ(list[0]["serial_number"], "OVX000123456");
    EXPECT_EQ(list[0]["firmware_version"], "2.7");
    EXPECT_TRUE(list[0]["problem"].is_null());

    r = run({"status", "--json"});
    ASSERT_EQ(r.code, 0) << r.err;
    const auto status = nlohmann::json::parse(r.out);
    EXPECT_EQ(status["keypad_type"], 0);
    EXPECT_EQ(status["keypad_type_name"], "default");
    EXPECT_EQ(status["keys"], 10);
    EXPECT_EQ(status["buzzer"], true);
    EXPECT_EQ(status["key_codes"].size(), 20u);
}

// A file that can be read but is not what the command wants: one code, 6.
TEST_F(CommandLine, ReadableFileOfTheWrongKindIsOneExitCode) {
    std::ofstream(home / "notes.txt") << "hello\n";
    std::ofstream(home / "broken.ini") << "[appSettings\nFirstUp=Yes\n";
    for (const auto& args : std::vector<std::vector<std::string>>{{"flash", "notes.txt"},
                                                                  {"import", "notes.txt"},
                                                                  {"restore", "notes.txt"},
                                                                  {"import", "broken.ini"},
                                                                  {"restore", "broken.ini"}}) {
        const Outcome r = run(args);
        EXPECT_EQ(r.code, 6) << args[0] << " " << args[1] << ": " << r.err;
    }
}

// Completion offers any file to import and restore: a backup has any name.
TEST_F(CommandLine, CompletionOffersAnyFileForImportAndRestore) {
    std::ofstream(home / "keypad.backup") << "";
    for (const char* command : {"import", "restore"}) {
        const std::string script = std::string("cd '") + home.string() + "' && source '" +
                                   ORVEX_COMPLETION + "' && COMP_WORDS=(orvexctl --serial=X " +
                                   command +
                                   " k) && COMP_CWORD=3 && _orvexctl && "
                                   "printf '%s\\n' \"${COMPREPLY[@]}\" > completion.out";
        ASSERT_EQ(run({"-c", script}, "/bin/bash").code, 0);
        EXPECT_EQ(slurp(home / "completion.out"), "keypad.backup\n") << command;
    }
}

// --mask-serial masks the serial number wherever the diagnosis shows it: the
// keypad's, the one asked for with --serial and the unfinished upgrade's.
TEST_F(CommandLine, DiagnoseMasksEverySerialNumber) {
    fs::create_directories(home / "orvex-config");
    std::ofstream(home / "orvex-config/upgrade-journal.json") << "not JSON OVXJOURNAL01";
    const Outcome r = run({"--mask-serial", "--serial=OVX000123456", "diagnose"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out.find("OVX000123456"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("XXXXXXXXXXXX"), std::string::npos);
    const Outcome missing = run({"diagnose", "--serial", "OVXMISSING99", "--mask-serial"});
    EXPECT_EQ(missing.out.find("OVXMISSING99"), std::string::npos) << missing.out;
}
