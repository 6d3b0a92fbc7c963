#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include "config/ini_file.h"

namespace orvex {
// Readable failure output for record comparisons.
inline void PrintTo(const CIniFile::Record& r, std::ostream* os) {
    *os << "{comments=" << ::testing::PrintToString(r.Comments) << " mark='" << r.CommentMark
        << "' section=" << ::testing::PrintToString(r.Section)
        << " key=" << ::testing::PrintToString(r.Key)
        << " value=" << ::testing::PrintToString(r.Value) << "}";
}
} // namespace orvex

namespace orvex::test {

using Record = CIniFile::Record;
using Records = std::vector<Record>;

inline Record header(const std::string& section, char mark = ' ',
                     const std::string& comments = "") {
    return Record{comments, mark, section, "", ""};
}

inline Record key(const std::string& section, const std::string& k, const std::string& v,
                  char mark = ' ', const std::string& comments = "") {
    return Record{comments, mark, section, k, v};
}

// A fresh folder per test, removed afterwards.
class IniFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = std::filesystem::temp_directory_path() /
               ("orvex-ini-" + std::to_string(::getpid()) + "-" + info->test_suite_name() + "-" +
                info->name());
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::permissions(dir_, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
        std::filesystem::remove_all(dir_, ec);
    }

    std::string path(const std::string& name) const { return (dir_ / name).string(); }

    std::string write(const std::string& name, const std::string& bytes) const {
        const std::string p = path(name);
        std::ofstream(p, std::ios::binary | std::ios::trunc) << bytes;
        return p;
    }

    static std::string read(const std::string& p) {
        std::ifstream in(p, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    static ino_t inode(const std::string& p) {
        struct stat st {};
        EXPECT_EQ(::stat(p.c_str(), &st), 0) << p;
        return st.st_ino;
    }

    std::size_t entriesInDir() const {
        std::size_t n = 0;
        for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir_))
            ++n;
        return n;
    }

    std::filesystem::path dir_;
};

} // namespace orvex::test
