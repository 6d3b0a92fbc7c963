// Where orvex-config keeps its single-instance socket without a runtime
// folder, and its bounded wait for the start-up lock.

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QLockFile>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "ui/main/instance_folder.h"

namespace fs = std::filesystem;
using namespace orvex;

namespace {

class InstanceFolderTest : public ::testing::Test {
protected:
    void SetUp() override {
        base = fs::temp_directory_path() /
               ("orvex-instance-" + std::to_string(getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(base);
        fs::create_directories(base);
        own = base / ("orvex-config-" + std::to_string(getuid()));
    }
    void TearDown() override { fs::remove_all(base); }
    QString folder(QString* why = nullptr) {
        return PrivateInstanceFolder(QString::fromStdString(base.string()), why);
    }
    fs::path base, own;
};

} // namespace

TEST_F(InstanceFolderTest, RuntimeFolderFirstElseAPrivateOneMade0700) {
    EXPECT_EQ(InstanceFolder("/run/user/1", QString::fromStdString(base.string()), nullptr),
              "/run/user/1");
    EXPECT_FALSE(fs::exists(own));
    const QString made = InstanceFolder({}, QString::fromStdString(base.string()), nullptr);
    EXPECT_EQ(made.toStdString(), own.string());
    struct stat st {};
    ASSERT_EQ(::lstat(own.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    EXPECT_EQ(st.st_uid, getuid());
    EXPECT_EQ(folder().toStdString(), own.string()); // found again next start
}

// Whatever another user (or a mistake) put under the name first is not used.
TEST_F(InstanceFolderTest, AFolderNotPrivatelyOursIsRefused) {
    fs::create_directory(own);
    ::chmod(own.c_str(), 0777);
    QString why;
    EXPECT_TRUE(folder(&why).isEmpty());
    EXPECT_NE(why.toStdString().find("open to other users (mode 0777)"), std::string::npos);

    fs::remove(own);
    fs::create_directory(base / "elsewhere");
    fs::create_directory_symlink(base / "elsewhere", own);
    EXPECT_TRUE(folder(&why).isEmpty());
    EXPECT_NE(why.toStdString().find("not a folder"), std::string::npos);

    fs::remove(own);
    std::ofstream(own.string()) << "";
    EXPECT_TRUE(folder(&why).isEmpty());

    if (getuid() == 0) { // only root can give a folder to another user
        fs::remove(own);
        fs::create_directory(own);
        ::chmod(own.c_str(), 0700);
        ASSERT_EQ(::chown(own.c_str(), 65534, 65534), 0);
        EXPECT_TRUE(folder(&why).isEmpty());
        EXPECT_NE(why.toStdString().find("owned by another user"), std::string::npos);
    }
}

// A start-up lock that is never released (a program that hangs, or another
// user's file) holds the start up for the bounded wait only.
TEST_F(InstanceFolderTest, StartupLockWaitIsBounded) {
    const QString path = QString::fromStdString((base / "instance.lock").string());
    QLockFile held(path);
    ASSERT_TRUE(held.tryLock(0));
    QLockFile second(path);
    QElapsedTimer timer;
    timer.start();
    EXPECT_FALSE(TakeStartupLock(second, 300));
    EXPECT_LT(timer.elapsed(), 3000);
    held.unlock();
    EXPECT_TRUE(TakeStartupLock(second, 300));
}
