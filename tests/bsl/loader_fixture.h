#pragma once

// A virtual loader on a fresh bus in virtual time, and the steps that bring it
// up the way the firmware upgrade does.

#include <array>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bsl/bsl430.h"
#include "test_env.h"
#include "virtual_loader.h"

namespace orvex::test {

inline constexpr const char* kSelection = "PID=0x0200,VID=0x2047,DEVICEINDEX=0";

// The keypad's stored password: its interrupt vector table.
DataBlock_ StoredPassword();
// A TI-TXT section of the bytes at `address`, 16 bytes a line (no "q").
std::string TextImage(uint32_t address, const std::vector<uint8_t>& bytes);
std::vector<uint8_t> Pattern(size_t n, uint8_t seed);

class LoaderTest : public VirtualEnvTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // Opens the loader and sends the stored password.
    void unlock();
    // Downloads a RAM loader starting with 00 06 05 34 (or `version`), starts
    // it and opens it once it is back (a RAM loader needs no password).
    void startRamLoader(std::array<uint8_t, 4> version = {0x00, 0x06, 0x05, 0x34});
    // Sends one core packet straight to the loader model; its answer's core
    // bytes (0x3A/0x3B and what follows), empty when there is none after
    // `waitMs`.
    std::vector<uint8_t> rawCommand(const std::vector<uint8_t>& core, uint32_t waitMs = 0);
    // Writes a file into the test's temporary folder; returns its path.
    std::string writeFile(const std::string& name, const std::string& content);

    std::shared_ptr<sim::VirtualLoader> loader;
    std::filesystem::path dir;
};

} // namespace orvex::test
