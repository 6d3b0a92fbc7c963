#include <gtest/gtest.h>

#include <cstring>

#include "bsl/bsl430.h"
#include "bsl/bsl_protocol.h"
#include "device/device_commands.h"
#include "device/hid_link.h"
#include "loader_fixture.h"

namespace orvex::test {
namespace {

using sim::LoaderFault;
using sim::LoaderModel;
using sim::VirtualBus;

TEST_F(LoaderTest, CountsAndOpensLoadersBySelection) {
    auto second = sim::makeLoader();
    VirtualBus::instance().plug(second);
    plugKeypad();
    EXPECT_EQ(BSL_NumOfUSBDevices(0x2047, 0x0200), 2u);
    EXPECT_EQ(BSL_NumOfUSBDevices(0x2047, 0x09BF), 1u); // two interfaces, one device

    // Keys in any order and case; the index picks the device.
    ASSERT_EQ(BSL_initialize_BSL("devIceindex=1, vid=2047 ,PID=0x200"), 0);
    EXPECT_EQ(BSL_eraseSegment(0x4400), bsl::MSG_UNKNOWN_COMMAND); // a ROM loader
    EXPECT_EQ(second->model.totalReports(), 1);
    EXPECT_EQ(loader->model.totalReports(), 0);

    for (const char* bad :
         {"PID=0x0200,VID=0x2047,DEVICEINDEX=2", "garbage", "PID=0x0200,VID=0xZZ47",
          "PID=0x0200,COLOR=red", "PID=0x0200,VID=0x12047"})
        EXPECT_EQ(BSL_initialize_BSL(bad), 1) << bad;
    EXPECT_EQ(BSL_initialize_BSL(nullptr), 1);
    // A failed open leaves nothing connected.
    EXPECT_EQ(BSL_eraseSegment(0x4400), BSL_ERR_NOT_OPEN);

    BSL_setFamily(1);
    EXPECT_EQ(BSL_initialize_BSL(kSelection), 1);
    BSL_setFamily(3);
    BSL_setCom(1);
    EXPECT_EQ(BSL_initialize_BSL(kSelection), 1);
    BSL_setCom(2);
    EXPECT_EQ(BSL_initialize_BSL(kSelection), 0);
}

TEST_F(LoaderTest, OpeningWaitsBrieflyForALoaderThatIsEnumerating) {
    VirtualBus::instance().unplug(loader, 1000);
    const uint64_t t0 = clock.tick_ms();
    EXPECT_EQ(BSL_initialize_BSL(kSelection), 0);
    EXPECT_GE(clock.tick_ms() - t0, 1000u);

    BSL_close_BSL();
    VirtualBus::instance().unplug(loader, 5000);
    EXPECT_EQ(BSL_initialize_BSL(kSelection), 1);
    EXPECT_LT(clock.tick_ms() - t0, 5000u);
}

TEST_F(LoaderTest, WrongPasswordMassErasesThenTheDefaultOneIsAccepted) {
    ASSERT_EQ(BSL_initialize_BSL(kSelection), 0);
    DataBlock_ wrong = StoredPassword();
    wrong.data[5] ^= 0x40;
    const uint64_t sent = tick_ms();
    EXPECT_EQ(BSL_RX_Password(wrong), bsl::MSG_PASSWORD_ERROR);
    // The answer comes once the erase is done, a few tens of milliseconds;
    // the loader hears the next command at once.
    EXPECT_GE(tick_ms() - sent, LoaderModel::kMassEraseMs);
    EXPECT_LT(tick_ms() - sent, 1000u);
    EXPECT_EQ(loader->model.massErases(), 1);
    EXPECT_EQ(loader->model.peek(0x4400), 0xFF);
    EXPECT_EQ(loader->model.memory(0xFFE0, 32), std::vector<uint8_t>(32, 0xFF));

    const DataBlock_ def = BSL_getDefaultPass();
    EXPECT_EQ(def.startAddress, 0xFFE0u);
    EXPECT_EQ(def.byteCount, 32u);
    EXPECT_EQ(BSL_RX_Password(def), 0);
    EXPECT_TRUE(loader->model.unlocked());
}

TEST_F(LoaderTest, APasswordBlockOfTheWrongSizeIsNeverSent) {
    ASSERT_EQ(BSL_initialize_BSL(kSelection), 0);
    DataBlock_ broken = StoredPassword();
    broken.byteCount = 0; // what reading a malformed password text gives
    EXPECT_EQ(BSL_RX_Password(broken), BSL_ERR_ARGUMENT);
    broken.byteCount = 33;
    EXPECT_EQ(BSL_RX_Password(broken), BSL_ERR_ARGUMENT);
    EXPECT_EQ(loader->model.reportCount(bsl::CMD_RX_PASSWORD), 0);
    EXPECT_EQ(loader->model.massErases(), 0);
}

TEST_F(LoaderTest, RefusedPasswordFaultActsLikeAWrongPassword) {
    loader->model.injectFault({LoaderFault::RefusePassword, 0});
    ASSERT_EQ(BSL_initialize_BSL(kSelection), 0);
    EXPECT_EQ(BSL_RX_Password(StoredPassword()), bsl::MSG_PASSWORD_ERROR);
    EXPECT_EQ(loader->model.massErases(), 1);
}

TEST_F(LoaderTest, RamLoaderStartsAndReportsItsVersionAtTheFixedPositions) {
    EXPECT_EQ(BSL_TX_BSL_Version_String(), "ERROR"); // not connected
    unlock();
    EXPECT_EQ(BSL_TX_BSL_Version_String(), "ERROR"); // the ROM loader does not know it
    startRamLoader();
    const std::string v = BSL_TX_BSL_Version_String();
    EXPECT_EQ(v, "Maker:0x00 CI:0x06 API:0x05 PI:0x34");
    ASSERT_GE(v.size(), 35u);
    EXPECT_EQ("00." + v.substr(16, 2) + "." + v.substr(25, 2) + "." + v.substr(33, 2),
              "00.06.05.34");
}

TEST_F(LoaderTest, RomLoaderStartsLockedAndTheRamLoaderUnlocked) {
    // The ROM loader writes nothing into RAM and jumps nowhere until unlocked.
    ASSERT_EQ(BSL_initialize_BSL(kSelection), 0);
    loader->model.poke(0x3000, {0x11});
    EXPECT_EQ(BSL_RX_TXT("@3000\n22\nq\n", 1), 0u);
    EXPECT_EQ(loader->model.peek(0x3000), 0x11);
    EXPECT_EQ(rawCommand({bsl::CMD_LOAD_PC, 0x04, 0x25, 0x00}),
              (std::vector<uint8_t>{0x3B, bsl::MSG_LOCKED}));
    EXPECT_EQ(loader->model.mode(), LoaderModel::Mode::Rom);

    // The RAM loader answers at once, without a password.
    startRamLoader();
    EXPECT_TRUE(loader->model.unlocked());
    EXPECT_EQ(BSL_eraseSegment(0x4400), 0);
    EXPECT_EQ(BSL_CRC_Check(0x4400, 16), 0);
    // A wrong password erases, yet leaves it unlocked.
    DataBlock_ wrong = StoredPassword();
    wrong.data[0] ^= 1;
    EXPECT_EQ(BSL_RX_Password(wrong), bsl::MSG_PASSWORD_ERROR);
    EXPECT_EQ(loader->model.massErases(), 1);
    clock.sleep_ms(2000);
    EXPECT_EQ(BSL_TX_BSL_Version_String(), "Maker:0x00 CI:0x06 API:0x05 PI:0x34");
    EXPECT_EQ(BSL_eraseSegment(0x4400), 0);
}

TEST_F(LoaderTest, MassEraseNeedsNoPassword) {
    startRamLoader();
    loader->model.lock();
    EXPECT_EQ(BSL_eraseSegment(0x4400), bsl::MSG_LOCKED);
    // Answered once the erase is done.
    EXPECT_EQ(rawCommand({bsl::CMD_MASS_ERASE}, LoaderModel::kMassEraseMs),
              (std::vector<uint8_t>{0x3B, bsl::MSG_SUCCESS}));
    EXPECT_EQ(loader->model.massErases(), 1);
    EXPECT_EQ(loader->model.memory(0x4400, 256), std::vector<uint8_t>(256, 0xFF));
    EXPECT_EQ(loader->model.memory(0xFFE0, 32), std::vector<uint8_t>(32, 0xFF));
}

TEST_F(LoaderTest, RamLoaderWritesThroughA128ByteBlockBuffer) {
    startRamLoader();
    ASSERT_EQ(BSL_eraseSegment(0x4400), 0);
    const auto data = Pattern(200, 5);
    // Held back until the write reaches the 128-byte boundary at 0x4480.
    ASSERT_EQ(BSL_RX_TXT(TextImage(0x4400, {data.begin(), data.begin() + 100}) + "q\n", 0), 0u);
    EXPECT_EQ(loader->model.peek(0x4400), 0xFF);
    EXPECT_EQ(loader->model.buffered(), 100u);
    ASSERT_EQ(BSL_RX_TXT(TextImage(0x4464, {data.begin() + 100, data.end()}) + "q\n", 0), 0u);
    EXPECT_EQ(loader->model.memory(0x4400, 128),
              std::vector<uint8_t>(data.begin(), data.begin() + 128));
    EXPECT_EQ(loader->model.buffered(), 72u);
    // A read flushes the rest.
    ASSERT_EQ(BSL_CRC_Check(0x4400, 200), 0);
    EXPECT_EQ(loader->model.memory(0x4400, 200), data);

    // Registers too: the brown-out reset takes effect at the next flush.
    ASSERT_EQ(BSL_RX_TXT("@0120\n04 A5\nq\n", 1), 0u);
    EXPECT_TRUE(VirtualBus::instance().present(loader));
    EXPECT_NE(BSL_CRC_Check(0x4400, 2), 0);
    EXPECT_EQ(loader->model.resets(), 1);
    EXPECT_FALSE(VirtualBus::instance().present(loader));
}

TEST_F(LoaderTest, AFailedFlushStopsAnApi5LoaderAndIsAnsweredFromApi9) {
    // A write over unerased flash is answered with success; its write check
    // fails when the next write, elsewhere, flushes it. The API 5 loader drops
    // the error and flushes the same block again without end: that write and
    // everything after it go unanswered.
    startRamLoader();
    loader->model.poke(0x4600, {0x0F});
    EXPECT_EQ(BSL_RX_TXT("@4600\nF1\nq\n", 0), 0u);
    EXPECT_FALSE(loader->model.stoppedAnswering());
    EXPECT_EQ(BSL_RX_TXT("@4700\n01\nq\n", 0), BSL_ERR_TIMEOUT);
    EXPECT_TRUE(loader->model.stoppedAnswering());
    EXPECT_EQ(loader->model.peek(0x4600), 0x01); // bits only cleared
    EXPECT_EQ(loader->model.peek(0x4700), 0xFF);
    EXPECT_EQ(BSL_CRC_Check(0x4600, 1), BSL_ERR_TIMEOUT);
    EXPECT_EQ(BSL_TX_BSL_Version_String(), "ERROR");
    EXPECT_TRUE(VirtualBus::instance().present(loader)); // still enumerated

    // API 9 answers the write that caused the flush, and keeps the block:
    // every later write elsewhere fails the same way; reads still work.
    BSL_close_BSL();
    loader->powerUpWithPurPin();
    startRamLoader({0x00, 0x06, 0x09, 0x34});
    loader->model.poke(0x4800, {0x0F});
    EXPECT_EQ(BSL_RX_TXT("@4800\nF1\nq\n", 0), 0u);
    EXPECT_EQ(BSL_RX_TXT("@4900\n01\nq\n", 0), bsl::MSG_WRITE_CHECK_FAILED);
    EXPECT_EQ(BSL_RX_TXT("@4A00\n02\nq\n", 0), bsl::MSG_WRITE_CHECK_FAILED);
    EXPECT_EQ(loader->model.memory(0x4900, 0x101), std::vector<uint8_t>(0x101, 0xFF));
    EXPECT_EQ(BSL_CRC_Check(0x4800, 1), 0);
    // Erase Segment does not flush: once the segment is blank, the held
    // block goes through with the next write.
    EXPECT_EQ(BSL_eraseSegment(0x4800), 0);
    EXPECT_EQ(BSL_RX_TXT("@4A00\n02\nq\n", 0), 0u);
    EXPECT_EQ(loader->model.peek(0x4800), 0xF1);
    EXPECT_FALSE(loader->model.stoppedAnswering());
    // TI's USB interpreter has no TX Buffer Size.
    EXPECT_EQ(rawCommand({bsl::CMD_TX_BUFFER_SIZE}),
              (std::vector<uint8_t>{0x3B, bsl::MSG_UNKNOWN_COMMAND}));
}

TEST_F(LoaderTest, RomLoaderWritesRamAndRegistersAtOnceNeverFlash) {
    unlock();
    const uint8_t flash = loader->model.peek(0x4400);
    EXPECT_EQ(BSL_RX_TXT("@3000\n22\n@4400\n00\nq\n", 1), 0u);
    EXPECT_EQ(loader->model.peek(0x3000), 0x22);
    EXPECT_EQ(loader->model.peek(0x4400), flash);
    // Holding the watchdog, with its password, is harmless.
    EXPECT_EQ(BSL_RX_TXT("@015C\n80 5A\nq\n", 1), 0u);
    EXPECT_EQ(loader->model.resets(), 0);
    // Without it the chip resets there and then: no later command flushes
    // anything in this loader.
    EXPECT_EQ(BSL_RX_TXT("@015C\n00 00\nq\n", 1), 0u);
    EXPECT_EQ(loader->model.resets(), 1);
    EXPECT_FALSE(VirtualBus::instance().present(loader));

    // The software brown-out reset through PMMCTL0 likewise.
    BSL_close_BSL();
    loader->powerUpWithPurPin();
    unlock();
    EXPECT_EQ(BSL_RX_TXT("@0120\n04 A5\nq\n", 1), 0u);
    EXPECT_EQ(loader->model.resets(), 2);
    EXPECT_FALSE(VirtualBus::instance().present(loader));
}

TEST_F(LoaderTest, WatchdogWriteWithoutItsPasswordResetsTheChip) {
    startRamLoader();
    // With the password 0x5A (hold the watchdog) nothing happens.
    ASSERT_EQ(BSL_RX_TXT("@015C\n80 5A\nq\n", 1), 0u);
    ASSERT_EQ(BSL_CRC_Check(0x015C, 2), 0);
    EXPECT_EQ(loader->model.resets(), 0);
    // Without it: a reset, here into the application.
    ASSERT_EQ(BSL_RX_TXT("@015C\n00 00\nq\n", 1), 0u);
    ASSERT_EQ(BSL_RX_TXT("@015C\n00 00\nq\n", 1), 0u);
    EXPECT_EQ(loader->model.resets(), 1);
    EXPECT_FALSE(VirtualBus::instance().present(loader));
    EXPECT_FALSE(loader->model.dead());
}

TEST_F(LoaderTest, EraseOutsideFlashSucceedsAndVersionFollowsTheInterpreter) {
    startRamLoader();
    // The erase's dummy write lands in RAM, and the answer is success.
    loader->model.poke(0x3000, {0x5A});
    EXPECT_EQ(BSL_eraseSegment(0x3000), 0);
    EXPECT_EQ(loader->model.peek(0x3000), 0x00);
    EXPECT_EQ(BSL_eraseSegment(0x1000), 0); // BSL flash: protected, still success
    EXPECT_EQ(loader->model.peek(0x1000), 0xFF);

    // Interpreter 0x06 reads its version as memory: locked, it refuses.
    loader->model.lock();
    EXPECT_EQ(BSL_TX_BSL_Version_String(), "ERROR");
    // A newer interpreter always answers.
    BSL_close_BSL();
    startRamLoader({0x00, 0x48, 0x09, 0x39});
    loader->model.lock();
    EXPECT_EQ(BSL_TX_BSL_Version_String(), "Maker:0x00 CI:0x48 API:0x09 PI:0x39");
}

TEST_F(LoaderTest, DownloadUsesFullPacketsAndAsFewReportsAsPossible) {
    startRamLoader();
    loader->model.clearLog();
    const auto a = Pattern(117, 1);
    const auto b = Pattern(2676, 2);
    EXPECT_EQ(BSL_RX_TXT(TextImage(0x2500, a) + TextImage(0x2576, b) + "q\n", 1), 0u);
    // ceil(117 / 58) + ceil(2676 / 58)
    EXPECT_EQ(loader->model.reportCount(bsl::CMD_RX_DATA_BLOCK_FAST), 3 + 47);
    EXPECT_EQ(loader->model.totalReports(), 50);
    for (const auto& c : loader->model.log())
        EXPECT_LE(c.length, 58u);
    EXPECT_EQ(loader->model.log()[1].length, 58u);
    ASSERT_EQ(BSL_CRC_Check(0x2500, 1), 0); // flushes the loader's block buffer
    EXPECT_EQ(loader->model.memory(0x2500, 117), a);
    EXPECT_EQ(loader->model.memory(0x2576, 2676), b);

    // Acknowledged packets are just as full.
    loader->model.clearLog();
    EXPECT_EQ(BSL_RX_TXT(TextImage(0x3000, Pattern(116, 3)) + "q\n", 0), 0u);
    EXPECT_EQ(loader->model.reportCount(bsl::CMD_RX_DATA_BLOCK), 2);
    ASSERT_EQ(BSL_CRC_Check(0x3000, 1), 0);
    EXPECT_EQ(loader->model.memory(0x3000, 116), Pattern(116, 3));
}

TEST_F(LoaderTest, TheResetVectorIsWrittenLast) {
    // The vector table runs on into 0x10000: that part keeps its place.
    startRamLoader();
    for (uint32_t segment : {0x4400u, 0xFE00u, 0x10000u})
        ASSERT_EQ(BSL_eraseSegment(segment), 0);
    loader->model.clearLog();
    ASSERT_EQ(BSL_RX_TXT(TextImage(0x4400, Pattern(4, 1)) + TextImage(0xFFE0, Pattern(32, 2)) +
                             TextImage(0x10000, Pattern(100, 3)) + "q\n",
                         1),
              0u);
    std::vector<uint32_t> addresses;
    for (const auto& c : loader->model.log())
        addresses.push_back(c.address);
    EXPECT_EQ(addresses, (std::vector<uint32_t>{0x4400, 0x10000, 0x1003A, 0xFFE0}));
    EXPECT_EQ(BSL_CRC_Check(0xFFE0, 32), 0);
    EXPECT_EQ(loader->model.memory(0xFFE0, 32), Pattern(32, 2));
    EXPECT_EQ(loader->model.memory(0x10000, 100), Pattern(100, 3));

    // A run that stops on the vector's low byte goes last as it is, never
    // read past its end.
    ASSERT_EQ(BSL_eraseSegment(0xFE00), 0);
    loader->model.clearLog();
    ASSERT_EQ(
        BSL_RX_TXT(TextImage(0xFFF0, Pattern(15, 4)) + TextImage(0x4400, Pattern(4, 1)) + "q\n", 1),
        0u);
    addresses.clear();
    for (const auto& c : loader->model.log())
        addresses.push_back(c.address);
    EXPECT_EQ(addresses, (std::vector<uint32_t>{0x4400, 0xFFF0}));
    EXPECT_EQ(BSL_CRC_Check(0xFFF0, 16), 0);
    std::vector<uint8_t> held = Pattern(15, 4);
    held.push_back(0xFF);
    EXPECT_EQ(loader->model.memory(0xFFF0, 16), held);
}

TEST_F(LoaderTest, MalformedTextIsRefusedBeforeAnythingIsSent) {
    startRamLoader();
    loader->model.clearLog();
    EXPECT_EQ(BSL_RX_TXT("@3000\n01 02\n03 0G\nq\n", 1), BSL_ERR_TEXT);
    EXPECT_EQ(bsl::LastTextError(), "line 3: not a two-digit byte");
    EXPECT_EQ(BSL_RX_TXT_File((dir / "missing.txt").c_str(), 1), BSL_ERR_TEXT);
    const std::string bad = writeFile("bad.txt", "@3000\n01 02\n@100000\n01\nq\n");
    EXPECT_EQ(BSL_RX_TXT_File(bad.c_str(), 1), BSL_ERR_TEXT);
    EXPECT_EQ(loader->model.totalReports(), 0);
}

TEST_F(LoaderTest, CrcReplyLandsInBytesFiveAndSixOfTheRxBuffer) {
    EXPECT_EQ(BSL_CRC_Check(0x3000, 9), BSL_ERR_NOT_OPEN);
    startRamLoader();
    const std::string digits = "123456789";
    ASSERT_EQ(BSL_RX_TXT(TextImage(0x3000, {digits.begin(), digits.end()}) + "q\n", 0), 0u);
    ASSERT_EQ(BSL_CRC_Check(0x3000, 9), 0);
    dataBuffer r = BSL_get_RX_Buffer();
    EXPECT_EQ(r.data[4], 0x3A);
    EXPECT_EQ(r.data[5], 0xB1);
    EXPECT_EQ(r.data[6], 0x29);
    EXPECT_EQ(r.length, 7u);

    loader->model.injectFault({LoaderFault::WrongCrc, 0});
    ASSERT_EQ(BSL_CRC_Check(0x3000, 9), 0);
    r = BSL_get_RX_Buffer();
    EXPECT_NE(r.data[6] * 256 + r.data[5], 0x29B1);

    // Refused requests leave no stale CRC behind.
    EXPECT_EQ(BSL_CRC_Check(0x3000, 0x10000), BSL_ERR_ARGUMENT);
    EXPECT_EQ(BSL_CRC_Check(0xFFFF0, 0x20), BSL_ERR_ARGUMENT);
    r = BSL_get_RX_Buffer();
    EXPECT_EQ(r.length, 0u);
    EXPECT_EQ(r.data[5], 0);
}

TEST_F(LoaderTest, SegmentEraseClearsExactlyTheSegmentHoldingTheAddress) {
    startRamLoader();
    loader->model.poke(0x43FF, {0x11});
    loader->model.poke(0x4600, {0x22});
    EXPECT_EQ(BSL_eraseSegment(0x4410), 0);
    EXPECT_EQ(loader->model.memory(0x4400, 512), std::vector<uint8_t>(512, 0xFF));
    EXPECT_EQ(loader->model.peek(0x43FF), 0x11);
    EXPECT_EQ(loader->model.peek(0x4600), 0x22);
    EXPECT_EQ(BSL_eraseSegment(0xFFFF), 0);
    EXPECT_EQ(loader->model.memory(0xFE00, 512), std::vector<uint8_t>(512, 0xFF));
    EXPECT_EQ(BSL_eraseSegment(0x100000), BSL_ERR_ARGUMENT);
}

TEST_F(LoaderTest, LoaderDroppingOffMidDownloadFailsTheDownload) {
    startRamLoader();
    loader->model.clearLog();
    loader->model.injectFault({LoaderFault::DropOff, 5});
    const std::string path = writeFile("image.txt", TextImage(0x4400, Pattern(1000, 4)) + "q\n");
    ASSERT_EQ(BSL_eraseSegment(0x4400), 0);
    EXPECT_EQ(BSL_RX_TXT_File(path.c_str(), 1), BSL_ERR_IO);
    EXPECT_FALSE(VirtualBus::instance().present(loader));
    EXPECT_EQ(loader->model.reportCount(bsl::CMD_RX_DATA_BLOCK_FAST), 6);
    EXPECT_EQ(BSL_eraseSegment(0x4400), BSL_ERR_IO);
}

TEST_F(LoaderTest, BrownOutResetBootsTheImageAndTheKeypadComesBackWithItsVersion) {
    VirtualBus::instance().unplug(loader);
    auto keypad = plugKeypad();
    loader = sim::attachLoader(keypad);
    ASSERT_TRUE(RescanForDevice());
    SendDeviceCommand(EnterBootloader); // the keypad leaves before it answers
    EXPECT_FALSE(VirtualBus::instance().present(keypad));
    startRamLoader();

    ASSERT_EQ(BSL_eraseSegment(0xFF40), 0);
    const auto& vectors = LoaderModel::factoryVectors();
    ASSERT_EQ(BSL_RX_TXT("@FF40\n4F 56 58 3A 33 2E 31 30 00\n" +
                             TextImage(0xFFE0, {vectors.begin(), vectors.end()}) + "q\n",
                         0),
              0u);
    // The reset request waits in the block buffer until the second one
    // flushes it.
    EXPECT_EQ(BSL_RX_TXT("@0120\n04 A5\nq\n", 1), 0u);
    EXPECT_TRUE(VirtualBus::instance().present(loader));
    EXPECT_EQ(BSL_RX_TXT("@0120\n04 A5\nq\n", 1), 0u);
    EXPECT_FALSE(VirtualBus::instance().present(loader));

    clock.sleep_ms(3000);
    ASSERT_TRUE(RescanForDevice());
    DeviceStatus status;
    ASSERT_EQ(ReadDeviceStatus(status), 0);
    EXPECT_EQ(status.firmwareVersion, "3.10");
}

TEST_F(LoaderTest, ResetStartsGarbageOnAnUnprogrammedVectorAndTheRomLoaderOnABlankOne) {
    // The vector points at 0x4400, whose segment is erased: nothing starts.
    startRamLoader();
    ASSERT_EQ(BSL_eraseSegment(0x4400), 0);
    EXPECT_EQ(loader->model.bootTarget(), LoaderModel::Boot::Dead);
    EXPECT_EQ(BSL_RX_TXT("@015C\n00 00\nq\n", 1), 0u);
    EXPECT_EQ(BSL_RX_TXT("@015C\n00 00\nq\n", 1), 0u);
    BSL_close_BSL();
    clock.sleep_ms(10000);
    VirtualBus::instance().pump();
    EXPECT_TRUE(loader->model.dead());
    EXPECT_EQ(BSL_NumOfUSBDevices(0x2047, 0x0200), 0u);
    // Only the loader forced at power-up brings it back, locked.
    loader->powerUpWithPurPin();
    ASSERT_EQ(BSL_initialize_BSL(kSelection), 0);
    EXPECT_EQ(loader->model.mode(), LoaderModel::Mode::Rom);
    EXPECT_FALSE(loader->model.unlocked());
    EXPECT_FALSE(loader->model.dead());

    // A blank vector starts the ROM loader.
    startRamLoader();
    ASSERT_EQ(BSL_eraseSegment(0xFFFF), 0);
    EXPECT_EQ(BSL_RX_TXT("@0120\n04 A5\nq\n", 1), 0u);
    EXPECT_EQ(BSL_RX_TXT("@0120\n04 A5\nq\n", 1), 0u);
    BSL_close_BSL();
    clock.sleep_ms(3000);
    ASSERT_EQ(BSL_initialize_BSL(kSelection), 0);
    EXPECT_EQ(loader->model.mode(), LoaderModel::Mode::Rom);
    EXPECT_FALSE(loader->model.dead());
}

} // namespace
} // namespace orvex::test
