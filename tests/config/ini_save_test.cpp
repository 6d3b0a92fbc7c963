// Saving safely: failed saves keep the old file whole; arbitrary bytes never crash Load.
#include "ini_test_util.h"

#include <csignal>
#include <random>

#include <sys/resource.h>

namespace orvex::test {
namespace {

namespace fs = std::filesystem;

using IniAtomicSave = IniFileTest;

Records bigList() {
    Records r{header("S")};
    for (int i = 0; i < 200; ++i)
        r.push_back(key("S", "key" + std::to_string(i), std::string(40, 'v')));
    return r;
}

TEST_F(IniAtomicSave, FailedWriteKeepsTheOldFileAndLeavesNoTemporary) {
    const std::string old = "[S]\nkeep=me\n";
    const std::string f = write("a.ini", old);

    // Limit file size so the write fails halfway, as on a full disk.
    struct rlimit saved {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = 512;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool saved_ok = CIniFile::Save(f, bigList());
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);

    EXPECT_FALSE(saved_ok);
    EXPECT_EQ(read(f), old);
    EXPECT_EQ(entriesInDir(), 1u);
}

TEST_F(IniAtomicSave, TargetThatIsADirectoryFailsAndStaysADirectory) {
    const std::string d = path("cfg.ini");
    fs::create_directory(d);
    write("cfg.ini/inside", "x");
    EXPECT_FALSE(CIniFile::Save(d, bigList()));
    EXPECT_FALSE(CIniFile::Create(d));
    EXPECT_TRUE(fs::is_directory(d));
    EXPECT_EQ(read(path("cfg.ini/inside")), "x");
    EXPECT_EQ(entriesInDir(), 1u);
}

TEST_F(IniAtomicSave, ReadOnlyFolderFailsAndKeepsTheOldFile) {
    if (::geteuid() == 0)
        GTEST_SKIP() << "root writes into read-only folders";
    const std::string f = write("a.ini", "[S]\nk=v\n");
    fs::permissions(dir_, fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_FALSE(CIniFile::SetValue("k", "new", "S", f));
    EXPECT_FALSE(CIniFile::Create(f));
    fs::permissions(dir_, fs::perms::owner_all);
    EXPECT_EQ(read(f), "[S]\nk=v\n");
    EXPECT_EQ(entriesInDir(), 1u);
}

TEST_F(IniAtomicSave, ReadOnlyFileIsNotReplaced) {
    if (::geteuid() == 0)
        GTEST_SKIP() << "root may write read-only files";
    const std::string f = write("a.ini", "[S]\nk=v\n");
    fs::permissions(f, fs::perms::owner_read);
    EXPECT_FALSE(CIniFile::SetValue("k", "new", "S", f));
    EXPECT_FALSE(CIniFile::Create(f));
    EXPECT_EQ(CIniFile::GetValue("k", "S", f), "v");
}

TEST_F(IniAtomicSave, PermissionsOfTheTargetAreKept) {
    const std::string f = write("a.ini", "[S]\nk=v\n");
    const auto mode = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read;
    fs::permissions(f, mode);
    ASSERT_TRUE(CIniFile::SetValue("k", "w", "S", f));
    EXPECT_EQ(fs::status(f).permissions(), mode);
    EXPECT_EQ(CIniFile::GetValue("k", "S", f), "w");
}

TEST_F(IniAtomicSave, NewFileGetsTheUsualModeLessUmask) {
    const mode_t mask = ::umask(027);
    const std::string f = path("new.ini");
    const bool created = CIniFile::Create(f);
    ::umask(mask);
    ASSERT_TRUE(created);
    EXPECT_EQ(fs::status(f).permissions(),
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}

TEST_F(IniAtomicSave, SymbolicLinkIsFollowedNotReplaced) {
    fs::create_directory(dir_ / "real");
    const std::string target = write("real/cfg.ini", "[S]\nk=v\n");
    const std::string link = path("link.ini");
    fs::create_symlink("real/cfg.ini", link);
    ASSERT_TRUE(CIniFile::SetValue("k", "w", "S", link));
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(read(target), " [S]\r\n k=w\r\n");
    EXPECT_EQ(entriesInDir(), 2u);
}

// ---------------------------------------------------------------- arbitrary input

using IniFuzz = IniFileTest;

// Random bytes biased towards the characters the reader cares about.
std::string randomBytes(std::mt19937& rng) {
    static const char kInteresting[] = "[]=#; \t\r\n";
    std::uniform_int_distribution<int> len(0, 300);
    std::uniform_int_distribution<int> pick(0, 3);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<int> special(0, sizeof kInteresting - 2);
    std::string s(static_cast<std::size_t>(len(rng)), '\0');
    for (char& c : s)
        c = pick(rng) == 0 ? static_cast<char>(byte(rng)) : kInteresting[special(rng)];
    return s;
}

TEST_F(IniFuzz, ArbitraryBytesLoadOrThrowAndAnythingLoadedRoundTrips) {
    std::mt19937 rng(20240603);
    const std::string in = path("in.ini");
    const std::string out = path("out.ini");
    int loaded = 0;
    int rejected = 0;
    for (int i = 0; i < 1500; ++i) {
        const std::string bytes = randomBytes(rng);
        write("in.ini", bytes);
        Records first;
        try {
            ASSERT_TRUE(CIniFile::Load(in, first));
        } catch (const IniFormatError&) {
            ++rejected;
            continue;
        }
        ++loaded;
        if (i % 10 != 0) // saving flushes to disk; check every tenth input
            continue;
        ASSERT_TRUE(CIniFile::Save(out, first));
        Records second;
        ASSERT_TRUE(CIniFile::Load(out, second));
        ASSERT_EQ(second, first) << "input " << ::testing::PrintToString(bytes);
        const std::string written = read(out);
        ASSERT_TRUE(CIniFile::Save(out, second));
        ASSERT_EQ(read(out), written) << "input " << ::testing::PrintToString(bytes);
    }
    // Both outcomes must have been exercised for the run to mean anything.
    EXPECT_GT(loaded, 100);
    EXPECT_GT(rejected, 100);
}

} // namespace
} // namespace orvex::test
