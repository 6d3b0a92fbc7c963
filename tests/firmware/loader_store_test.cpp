// Where the real-keypad programs find the loader images, and which ones they
// refuse before the keypad is sent to its loader.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "firmware/loader_store.h"
#include "firmware/standin_images.h"

namespace orvex::test {
namespace {

namespace fs = std::filesystem;
using firmware::LoaderFolders;
using firmware::UpgradePlan;

class LoaderStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        root = fs::temp_directory_path() /
               ("orvex-loader-" +
                std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(root);
        ::setenv("XDG_DATA_DIRS",
                 ((root / "sys1").string() + ":" + (root / "sys2").string()).c_str(), 1);
        folders = LoaderFolders::ForDataHome((root / "home").string());
        ramLoader = std::string(firmware::StandInLoaderResource("RAM_BSL.Text"));
        ramLoader.replace(ramLoader.find("4F 72 76 65 78"), 14, "54 45 53 54 21");
    }
    void TearDown() override { fs::remove_all(root); }
    void put(const fs::path& dir, const std::string& name, const std::string& text) {
        fs::create_directories(dir);
        std::ofstream(dir / name, std::ios::binary) << text;
    }
    void putLoader(const fs::path& dir, const std::string& ram, const std::string& version) {
        put(dir, "RAM_BSL.Text", ram);
        put(dir, "RAM_BSL_VERSION", version);
    }
    std::string plan(UpgradePlan& p, const std::string& serial = "OVX000123456") {
        std::string error;
        const bool ok = firmware::PlanUpgrade(folders, serial, p, error);
        EXPECT_EQ(ok, error.empty());
        return error;
    }
    static std::string password(const char* firstByte) {
        std::string text = "@FFE0\n" + std::string(firstByte);
        for (int i = 1; i < 32; ++i)
            text += " 00";
        return text + "\nq\n";
    }

    fs::path root;
    LoaderFolders folders;
    std::string ramLoader;
};

TEST_F(LoaderStoreTest, UserFolderFirstThenTheSystemFoldersInOrder) {
    EXPECT_EQ(folders.user, (root / "home" / "HaldenInterface" / "loader").string());
    ASSERT_EQ(folders.system.size(), 2u);
    EXPECT_EQ(folders.system[1], (root / "sys2" / "orvex-config" / "loader").string());

    UpgradePlan p;
    const std::string missing = plan(p);
    EXPECT_NE(missing.find("RAM_BSL.Text was not found"), std::string::npos);
    EXPECT_NE(missing.find(folders.user), std::string::npos);

    putLoader(folders.system[1], ramLoader, "00.06.05.34");
    put(folders.system[1], "password.Text", password("22"));
    EXPECT_EQ(plan(p), "");
    EXPECT_EQ(p.images.ramLoaderVersion, "00.06.05.34");
    EXPECT_EQ(p.images.password, password("22"));
    EXPECT_EQ(p.keepPasswordAs, folders.user + "/OVX000123456/password.Text");
    // A shared password may be another firmware's: the user must agree.
    EXPECT_TRUE(p.needsConsent);
    EXPECT_FALSE(p.massEraseFirst);

    putLoader(folders.system[0], ramLoader + "\n", "00.06.05.35\n");
    put(folders.system[0], "password.Text", password("11"));
    EXPECT_EQ(plan(p), "");
    EXPECT_EQ(p.images.ramLoader, ramLoader + "\n");
    EXPECT_EQ(p.images.ramLoaderVersion, "00.06.05.35");
    EXPECT_EQ(p.images.password, password("11"));

    put(folders.user, "password.Text", password("33"));
    EXPECT_EQ(plan(p), "");
    EXPECT_EQ(p.images.password, password("33"));
    EXPECT_TRUE(p.needsConsent);
    put(fs::path(folders.user) / "OVX000123456", "password.Text", password("44"));
    EXPECT_EQ(plan(p), "");
    EXPECT_EQ(p.images.password, password("44"));
    EXPECT_FALSE(p.needsConsent); // kept for this keypad
    EXPECT_EQ(plan(p, "OTHER"), "");
    EXPECT_EQ(p.images.password, password("33"));
    EXPECT_TRUE(p.needsConsent);
    EXPECT_FALSE(p.massEraseFirst);
}

TEST_F(LoaderStoreTest, UnusableImagesAreRefusedAndNoPasswordMeansMassErase) {
    const fs::path dir = folders.user;
    const std::vector<std::pair<std::string, std::string>> bad = {
        {std::string(firmware::StandInLoaderResource("RAM_BSL.Text")), "the stand-in"},
        {"@2400\n00 01 02 03 04 05\nq\n", "does not load at 0x2500"},
        {"@2500\n00 01 02 03\nq\n", "no entry point at 0x2504"},
        {"@2500\n00 01 02 03 04 05\n", "not a TI-TXT image"},
        {ramLoader + std::string(20000 - ramLoader.size(), '\n'), "20000 characters"},
    };
    UpgradePlan p;
    for (const auto& [text, why] : bad) {
        putLoader(dir, text, "00.06.05.34");
        EXPECT_NE(plan(p).find(why), std::string::npos) << why;
    }
    putLoader(dir, ramLoader, "6.5.34");
    EXPECT_NE(plan(p).find("RAM_BSL_VERSION"), std::string::npos);
    putLoader(dir, ramLoader, "00.06.05.34");
    put(dir, "password.Text", "@FFE0\n00\nq\n");
    EXPECT_NE(plan(p).find("password.Text"), std::string::npos);
    // The right size at the wrong address is no vector table either.
    std::string shifted = password("11");
    shifted.replace(0, 5, "@FFDF");
    put(dir, "password.Text", shifted);
    EXPECT_NE(plan(p).find("is not 32 bytes at 0xFFE0"), std::string::npos);
    put(dir, "password.Text", password("11"));
    EXPECT_EQ(plan(p), "");

    fs::remove(dir / "password.Text");
    EXPECT_EQ(plan(p, ""), "");
    EXPECT_TRUE(p.massEraseFirst);
    EXPECT_TRUE(p.needsConsent);
    EXPECT_EQ(p.images.password, firmware::BlankPasswordText());
    // Without a serial number nothing is kept: never the shared file.
    EXPECT_EQ(p.keepPasswordAs, "");
}

TEST(SerialFolderName, EverySerialNumberGetsItsOwnFolder) {
    using firmware::SerialFolderName;
    EXPECT_EQ(SerialFolderName("OVX000123456"), "OVX000123456");
    EXPECT_EQ(SerialFolderName("OVX.00012345"), "OVX%2E00012345");
    EXPECT_EQ(SerialFolderName("OVX 00012345"), "OVX%2000012345");
    EXPECT_EQ(SerialFolderName("A/../b%41"), "A%2F%2E%2E%2Fb%2541");
    EXPECT_EQ(SerialFolderName(std::string("AB\0\0", 4)), "AB%00%00");
    // No letter or digit: many keypads share it, so nothing is kept for it.
    EXPECT_EQ(SerialFolderName("            "), "");
    EXPECT_EQ(SerialFolderName(std::string(12, '\0')), "");
    EXPECT_EQ(SerialFolderName("--__"), "");
}

} // namespace
} // namespace orvex::test
