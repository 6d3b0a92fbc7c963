#include "loader_fixture.h"

#include <cstdio>
#include <fstream>

#include <unistd.h>

namespace orvex::test {

DataBlock_ StoredPassword() {
    DataBlock_ b{};
    const auto& v = sim::LoaderModel::factoryVectors();
    std::copy(v.begin(), v.end(), b.data);
    b.byteCount = 32;
    b.startAddress = 0xFFE0;
    return b;
}

std::string TextImage(uint32_t address, const std::vector<uint8_t>& bytes) {
    char line[16];
    std::snprintf(line, sizeof line, "@%04X\n", address);
    std::string text = line;
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(line, sizeof line, "%02X", bytes[i]);
        text += line;
        text += (i % 16 == 15 || i + 1 == bytes.size()) ? "\n" : " ";
    }
    return text;
}

std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> out(n);
    uint32_t x = seed * 2654435761u + 1;
    for (auto& b : out) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    return out;
}

void LoaderTest::SetUp() {
    VirtualEnvTest::SetUp();
    loader = sim::makeLoader();
    sim::VirtualBus::instance().plug(loader);
    dir = std::filesystem::temp_directory_path() /
          ("orvex-bsl-" + std::to_string(::getpid()) + "-" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir);
}

void LoaderTest::TearDown() {
    BSL_close_BSL();
    BSL_closeTI_Text();
    BSL_UnRegisterUSBDeviceNotification();
    BSL_setFamily(3);
    BSL_setCom(2);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    VirtualEnvTest::TearDown();
}

void LoaderTest::unlock() {
    ASSERT_EQ(BSL_initialize_BSL(kSelection), 0);
    ASSERT_EQ(BSL_RX_Password(StoredPassword()), 0);
}

void LoaderTest::startRamLoader(std::array<uint8_t, 4> version) {
    unlock();
    std::vector<uint8_t> ram = Pattern(200, 9);
    std::copy(version.begin(), version.end(), ram.begin());
    ASSERT_EQ(BSL_RX_TXT(TextImage(0x2500, ram) + "q\n", 1), 0u);
    ASSERT_EQ(BSL_LoadPC(0x2504), 0);
    BSL_close_BSL();
    clock.sleep_ms(3000);
    ASSERT_EQ(BSL_initialize_BSL(kSelection), 0);
    ASSERT_EQ(loader->model.mode(), sim::LoaderModel::Mode::Ram);
}

std::vector<uint8_t> LoaderTest::rawCommand(const std::vector<uint8_t>& core, uint32_t waitMs) {
    uint8_t report[64] = {0x3F, static_cast<uint8_t>(core.size())};
    std::copy(core.begin(), core.end(), report + 2);
    loader->model.receive(report, sizeof report, clock.tick_ms());
    clock.sleep_ms(waitMs);
    sim::Report answer{};
    if (!loader->model.takeInput(answer, clock.tick_ms()))
        return {};
    return {answer.begin() + 2, answer.begin() + 2 + answer[1]};
}

std::string LoaderTest::writeFile(const std::string& name, const std::string& content) {
    const auto path = dir / name;
    std::ofstream(path, std::ios::binary) << content;
    return path.string();
}

} // namespace orvex::test
