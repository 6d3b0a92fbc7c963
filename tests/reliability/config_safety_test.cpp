// Configuration safety: every action that writes a file (a setting, "Save
// Changes", import, export, the fresh file at start-up) runs under a file size
// limit that stops it part-way: killed by the limit's signal in a child process,
// and with the write failing at every byte in turn. Afterwards the file
// must be the old or the new whole file. A second pass kills children at random
// moments of endless rewrites, which also lands between write, sync and rename.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <thread>

#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "config/ini_file.h"
#include "config/utility_config.h"
#include "soak_support.h"
#include "test_env.h"

namespace orvex::test {
namespace {

namespace fs = std::filesystem;

std::string Slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void Spit(const fs::path& p, const std::string& text) {
    std::ofstream(p, std::ios::binary | std::ios::trunc) << text;
}

ConfigSnapshot Snapshot(int variant) {
    ConfigSnapshot s;
    s.keypadType = variant ? 5 : 2;
    s.ledBrightness = variant ? 9 : 3;
    s.jackLedBrightness = variant ? 7 : 1;
    s.buzzer = variant;
    s.buzzerPeriodIndex = variant ? 8 : 2;
    s.options = variant ? 6 : 2;
    for (size_t i = 0; i < s.codeTable.size(); ++i)
        s.codeTable[i] = static_cast<uint8_t>(variant ? 200 + i : i % 2 ? 0x1E + i : 0);
    s.serialNumber = variant ? "OVX000999888" : "OVX000123456";
    return s;
}

enum class Outcome { Completed, Failed, Killed, Other };

const char* Name(Outcome o) {
    switch (o) {
    case Outcome::Completed:
        return "completed";
    case Outcome::Failed:
        return "failed";
    case Outcome::Killed:
        return "killed";
    default:
        return "ended otherwise";
    }
}

// Runs `action` with files limited to `limit` bytes. `killed`: in a child that
// the limit's signal ends on the spot. Otherwise here, with the signal ignored,
// so the write fails and the action carries on to its own error handling.
Outcome RunLimited(uint64_t limit, bool killed, const std::function<bool()>& action) {
    if (!killed) {
        rlimit saved{};
        ::getrlimit(RLIMIT_FSIZE, &saved);
        const auto handler = ::signal(SIGXFSZ, SIG_IGN);
        const rlimit size{limit, saved.rlim_max};
        ::setrlimit(RLIMIT_FSIZE, &size);
        const bool ok = action();
        ::setrlimit(RLIMIT_FSIZE, &saved);
        ::signal(SIGXFSZ, handler);
        return ok ? Outcome::Completed : Outcome::Failed;
    }
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0)
        return Outcome::Other;
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL); // never outlive the test
        const rlimit noCore{0, 0};
        ::setrlimit(RLIMIT_CORE, &noCore);
        const rlimit size{limit, limit};
        ::setrlimit(RLIMIT_FSIZE, &size);
        ::signal(SIGXFSZ, SIG_DFL);
        const bool ok = action();
        ::_exit(ok ? 0 : 1);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ)
        return Outcome::Killed;
    if (WIFEXITED(status))
        return WEXITSTATUS(status) == 0 ? Outcome::Completed : Outcome::Failed;
    return Outcome::Other;
}

// Where the test files go: a memory file system when there is one, since every
// write is synced to disk.
fs::path ScratchBase() {
    std::error_code ec;
    return fs::is_directory("/dev/shm", ec) ? fs::path("/dev/shm") : fs::temp_directory_path();
}

class ConfigSafety : public VirtualEnvTest {
protected:
    void SetUp() override {
        VirtualEnvTest::SetUp();
        std::string t = (ScratchBase() / "orvex-safety-XXXXXX").string();
        ASSERT_NE(::mkdtemp(t.data()), nullptr);
        dir = t;
        data = dir / "share";
        PrepareConfigFileAt(data.string());
        config = FileName;
        fresh = Slurp(config);
        ASSERT_TRUE(SaveSnapshot(Snapshot(0)));
        saved = Slurp(config);
    }
    void TearDown() override {
        FileName.clear();
        std::error_code ec;
        fs::remove_all(dir, ec);
        VirtualEnvTest::TearDown();
    }

    // Files in a folder, temporary ones included.
    static std::set<std::string> Listing(const fs::path& folder) {
        std::set<std::string> names;
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(folder, ec))
            names.insert(e.path().filename().string());
        return names;
    }
    static void RemoveTemporaries(const fs::path& folder, const std::set<std::string>& keep) {
        for (const auto& name : Listing(folder))
            if (!keep.count(name))
                fs::remove(folder / name);
    }

    // Limits from nothing to past the whole new file, in both ways of stopping:
    // failing writes at every byte; kills (a child each) at a few small limits
    // and densely from `dense` on, where the old and new files end.
    // `judge` returns "" or what is wrong with the target afterwards.
    void Sweep(const fs::path& target, uint64_t dense, uint64_t upTo,
               const std::function<void()>& reset, const std::function<bool()>& action,
               const std::function<std::string(uint64_t, Outcome)>& judge) {
        // The action ends the way the limit says, or not at all when it is not reached.
        const auto expected = [](bool fits, bool killed) {
            return fits ? Outcome::Completed : killed ? Outcome::Killed : Outcome::Failed;
        };
        const fs::path folder = target.parent_path();
        int reported = 0;
        for (const bool killed : {true, false}) {
            std::set<uint64_t> limits;
            const uint64_t step = killed ? std::max<uint64_t>(1, (upTo - dense) / 120) : 1;
            for (uint64_t limit = killed ? dense : 0; limit <= upTo; limit += step)
                limits.insert(limit);
            limits.insert({0, 1, dense / 2, upTo - 1, upTo});
            if (exactEnds)
                limits.insert({exactEnds - 1, exactEnds});
            for (const uint64_t limit : limits) {
                reset();
                const auto before = Listing(folder);
                const Outcome o = RunLimited(limit, killed, action);
                std::string why = judge(limit, o);
                if (exactEnds && o != expected(limit >= exactEnds, killed))
                    why += std::string(" ended ") + Name(o) + " instead of " +
                           Name(expected(limit >= exactEnds, killed));
                const auto after = Listing(folder);
                // A write that failed cleans up after itself; a killed one cannot.
                if (o != Outcome::Killed && after.size() > before.size() + 1)
                    why += " temporary file left behind";
                ++(killed ? kills : failures);
                if (!why.empty() && ++reported <= 10)
                    ADD_FAILURE() << (killed ? "killed" : "failing") << " at " << limit
                                  << " bytes: " << why;
                RemoveTemporaries(folder, before);
            }
        }
    }
    void Report(const char* what) const {
        std::printf("%s: %llu killed children, %llu failing writes\n", what,
                    static_cast<unsigned long long>(kills),
                    static_cast<unsigned long long>(failures));
    }

    fs::path dir, data, config;
    std::string fresh, saved;
    uint64_t kills = 0, failures = 0;
    // When set, the size of the one file the action writes: below it the child
    // must be killed or fail, from it on complete.
    uint64_t exactEnds = 0;
};

// One key rewritten (a settings change, the firmware window's last file).
TEST_F(ConfigSafety, SettingAValueLeavesTheOldOrTheNewFile) {
    ASSERT_TRUE(SetSettings("FirmwareFile", "/home/user/firmware/orvex_fw_2_09.txt"));
    const std::string updated = Slurp(config);
    exactEnds = updated.size();
    Sweep(
        config, std::min(saved.size(), updated.size()) - 8, updated.size(),
        [&] { Spit(config, saved); },
        [&] { return SetSettings("FirmwareFile", "/home/user/firmware/orvex_fw_2_09.txt"); },
        [&](uint64_t, Outcome o) -> std::string {
            return Slurp(config) == (o == Outcome::Completed ? updated : saved)
                       ? ""
                       : "file is neither old nor new";
        });
    Report("setting a value");
}

// "Save Changes": the nine keys in one write. Killed at every byte of it, or
// with the write failing there, the file holds the old or the new snapshot
// whole, from a fresh file and from an earlier snapshot alike.
TEST_F(ConfigSafety, SavingTheSnapshotLeavesTheOldOrTheNewSnapshot) {
    Spit(config, fresh);
    ASSERT_TRUE(SaveSnapshot(Snapshot(1)));
    const std::string updated = Slurp(config);
    exactEnds = updated.size();
    for (const std::string& old : {fresh, saved}) {
        std::set<std::string> states;
        Sweep(
            config, std::min(old.size(), updated.size()) - 8, updated.size() + 16,
            [&] { Spit(config, old); }, [&] { return SaveSnapshot(Snapshot(1)); },
            [&](uint64_t, Outcome o) -> std::string {
                const std::string now = Slurp(config);
                states.insert(now);
                if (o == Outcome::Completed)
                    return now == updated ? "" : "completed but not the new snapshot";
                return now == old ? "" : "stopped, and the file is not the old snapshot";
            });
        EXPECT_EQ(states.size(), 2u);
    }
    Report("saving the snapshot");
}

// Import: the chosen exchange copy replaces the configuration file.
// Export: the configuration file replaces (or creates) the copy in a folder.
TEST_F(ConfigSafety, ImportAndExportLeaveTheOldOrTheNewFile) {
    const fs::path exchangeFolder = dir / "usb-stick";
    fs::create_directories(exchangeFolder);
    const fs::path exchange = exchangeFolder / kExchangeFileName;
    // An exchange copy from another machine: other values, a comment, longer.
    const std::string imported = "# from the workshop PC\r\n" + [&] {
        const fs::path other = dir / "other.ini";
        Spit(other, saved);
        FileName = other.string();
        (void)SaveSnapshot(Snapshot(1));
        FileName = config.string();
        return Slurp(other);
    }();

    // Import over the saved configuration.
    Spit(exchange, imported);
    exactEnds = imported.size();
    Sweep(
        config, std::min(saved.size(), imported.size()) - 8, imported.size(),
        [&] { Spit(config, saved); },
        [&] { return CopyFileReplacing(exchange.string(), config.string()); },
        [&](uint64_t, Outcome o) -> std::string {
            return Slurp(config) == (o == Outcome::Completed ? imported : saved)
                       ? ""
                       : "neither old nor new";
        });

    // Export over an older exported copy.
    exactEnds = saved.size();
    Sweep(
        exchange, std::min(saved.size(), imported.size()) - 8, saved.size(),
        [&] {
            Spit(config, saved);
            Spit(exchange, imported);
        },
        [&] { return CopyFileReplacing(config.string(), exchange.string()); },
        [&](uint64_t, Outcome o) -> std::string {
            return Slurp(exchange) == (o == Outcome::Completed ? saved : imported)
                       ? ""
                       : "neither old nor new";
        });

    // Export to a folder without a copy yet: no file or the whole file.
    exactEnds = saved.size();
    Sweep(
        exchange, saved.size() - 8, saved.size(), [&] { fs::remove(exchange); },
        [&] { return CopyFileReplacing(config.string(), exchange.string()); },
        [&](uint64_t, Outcome o) -> std::string {
            if (o != Outcome::Completed)
                return fs::exists(exchange) ? "a partial copy appeared" : "";
            return Slurp(exchange) == saved ? "" : "copy differs";
        });
    Report("import and export");
}

// Start-up's fresh file, the section and its ten empty keys in one write.
// Stopped anywhere, there is no file or the whole fresh file.
TEST_F(ConfigSafety, FreshFileIsAbsentOrWhole) {
    const fs::path share = dir / "fresh-share";
    const fs::path file = share / kConfigFolderName / kConfigFileName;
    exactEnds = fresh.size();
    Sweep(
        file, 0, fresh.size() + 8,
        [&] {
            fs::remove_all(share);
            fs::create_directories(share);
        },
        [&] {
            PrepareConfigFileAt(share.string());
            return Slurp(file) == fresh;
        },
        [&](uint64_t, Outcome o) -> std::string {
            if (!fs::exists(file))
                return o == Outcome::Completed ? "completed without a file" : "";
            return Slurp(file) == fresh ? "" : "a part of the fresh file";
        });
    Report("fresh file");
    // The next start-up finds whatever is there and leaves it alone.
}

// Children rewriting the file without end, killed at random moments.
TEST_F(ConfigSafety, KilledAtRandomMomentsTheFileIsAlwaysWhole) {
    Random rnd(EnvNumber("ORVEX_SOAK_SEED", 20250611));
    const fs::path other = dir / "other.ini";
    ASSERT_TRUE(SetSettings("LedBrightness", "9"));
    const std::string nine = Slurp(config);
    Spit(config, saved);
    Spit(other, nine);

    const struct {
        const char* name;
        std::function<void(bool)> step;
    } writers[] = {
        {"setting", [](bool odd) { (void)SetSettings("LedBrightness", odd ? "9" : "3"); }},
        {"copy",
         [&](bool odd) {
             (void)CopyFileReplacing(odd ? other.string() : (dir / "saved.ini").string(),
                                     config.string());
         }},
    };
    Spit(dir / "saved.ini", saved);
    const auto before = Listing(config.parent_path());
    for (const auto& w : writers) {
        for (int round = 0; round < 60; ++round) {
            Spit(config, saved);
            std::fflush(nullptr);
            const pid_t pid = ::fork();
            ASSERT_GE(pid, 0);
            if (pid == 0) {
                ::prctl(PR_SET_PDEATHSIG, SIGKILL);
                for (uint64_t n = 1;; ++n)
                    w.step(n % 2 == 1);
            }
            std::this_thread::sleep_for(std::chrono::microseconds(rnd.range(200, 20000)));
            ::kill(pid, SIGKILL);
            int status = 0;
            ::waitpid(pid, &status, 0);
            ++kills;
            const std::string now = Slurp(config);
            EXPECT_TRUE(now == saved || now == nine)
                << w.name << " round " << round << ": neither whole file (" << now.size()
                << " bytes)";
            RemoveTemporaries(config.parent_path(), before);
        }
    }
    std::printf("random kills: %llu\n", static_cast<unsigned long long>(kills));
}

} // namespace
} // namespace orvex::test
