// The virtual keypad's own behaviour, so later tests can rely on it.

#include <gtest/gtest.h>

#include <iterator>
#include <sstream>

#include "device/device_commands.h"
#include "device/hid_link.h"
#include "test_env.h"

using namespace orvex;

class KeypadModelTest : public test::KeypadTest {};

TEST_F(KeypadModelTest, WriteDefaultsSurvivesRestartButRunningChangesDoNot) {
    ASSERT_EQ(SendDeviceCommandByte(SetLedBrightness, 8), LINK_OK);
    ASSERT_EQ(SendDeviceCommand(WriteDefaults), LINK_OK);
    ASSERT_EQ(SendDeviceCommandByte(SetLedBrightness, 2), LINK_OK);
    keypad->model.powerCycle();
    EXPECT_EQ(keypad->model.running().ledBrightness, 8);
}

TEST_F(KeypadModelTest, LoadCodeTableWritesCustomTableOfCurrentGroup) {
    ASSERT_EQ(SendDeviceCommandByte(SetKeypadType, 5), LINK_OK);
    std::vector<uint8_t> table(32, 0);
    for (int i = 0; i < 24; ++i)
        table[static_cast<size_t>(i)] = static_cast<uint8_t>(i + 1);
    ASSERT_EQ(SendDeviceCommand(LoadCodeTable, table.data(), 32), LINK_OK);
    DeviceStatus s;
    ASSERT_EQ(ReadDeviceStatus(s), 0);
    EXPECT_EQ(s.tableLength, 24);
    EXPECT_EQ(s.keyCodes[23], 24);
    // The other groups keep their tables.
    EXPECT_EQ(keypad->model.tableForType(2), sim::KeypadModel::factorySettings().customTables[0]);
}

TEST_F(KeypadModelTest, FactoryResetRestoresFactoryValuesAndRestarts) {
    keypad->model.setRestartDelayMs(1000);
    SendDeviceCommandByte(SetBuzzer, 0);
    SendDeviceCommand(WriteDefaults);
    SendDeviceCommandByte(SetOptions, 1);
    SendDeviceCommand(FactoryReset);
    EXPECT_FALSE(sim::VirtualBus::instance().present(keypad));
    clock.sleep_ms(999);
    sim::VirtualBus::instance().pump();
    EXPECT_FALSE(sim::VirtualBus::instance().present(keypad));
    clock.sleep_ms(1);
    sim::VirtualBus::instance().pump();
    EXPECT_TRUE(sim::VirtualBus::instance().present(keypad));
    EXPECT_EQ(keypad->model.running(), sim::KeypadModel::factorySettings());
    EXPECT_EQ(keypad->model.options(), 1); // identity survives a factory reset
}

TEST_F(KeypadModelTest, BusTellsListenersAboutArrivalAndRemoval) {
    std::vector<sim::BusEvent::Kind> seen;
    sim::VirtualBus::instance().addListener(
        [&](const sim::BusEvent& e) { seen.push_back(e.kind); });
    keypad->model.setRestartDelayMs(500);
    SendDeviceCommand(FactoryReset);
    clock.sleep_ms(600);
    sim::VirtualBus::instance().pump();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0], sim::BusEvent::Removal);
    EXPECT_EQ(seen[1], sim::BusEvent::Arrival);
}

TEST_F(KeypadModelTest, EnterBootloaderLeavesTheBus) {
    SendDeviceCommand(EnterBootloader);
    EXPECT_FALSE(sim::VirtualBus::instance().present(keypad));
}

TEST_F(KeypadModelTest, MalformedRequestIsRefusedAndNotLogged) {
    uint8_t report[64] = {0x3F, 0x40, 0x02, '0', '2', '0', '1', 5, 0x03, 0x00 /*bad sum*/};
    ASSERT_EQ(hid_write(hid_handle, report, 64), 64);
    uint8_t in[64];
    ASSERT_EQ(hid_read(hid_handle, in, 64), 64);
    EXPECT_EQ(in[2], REFUSAL_MARKER);
    EXPECT_TRUE(keypad->model.log().empty());
}

TEST_F(KeypadModelTest, StateSurvivesSaveAndLoad) {
    SendDeviceCommandByte(SetKeypadType, 8);
    SendDeviceCommandByte(SetLedBrightness, 9);
    SendDeviceCommand(WriteDefaults);
    SendDeviceCommandByte(SetBuzzer, 0);
    keypad->model.setSerial("SN\n12\"456789");
    const std::string state = keypad->model.saveState();

    sim::KeypadModel fresh;
    ASSERT_TRUE(fresh.loadState(state));
    EXPECT_EQ(fresh.running(), keypad->model.running());
    EXPECT_EQ(fresh.powerUp(), keypad->model.powerUp());
    EXPECT_EQ(fresh.serial(), keypad->model.serial());
    EXPECT_EQ(fresh.version(), keypad->model.version());

    // Damaged text changes nothing.
    sim::KeypadModel other;
    const auto before = other.running();
    EXPECT_FALSE(other.loadState(state.substr(0, state.size() / 2)));
    EXPECT_FALSE(other.loadState("orvex-virtual-keypad 2\n"));
    // Values the keypad never holds: a type past the tables, a version whose
    // status would not fit one report.
    const auto withRunning = [&](int field, const std::string& value) {
        std::istringstream in(state);
        std::ostringstream out;
        for (std::string line; std::getline(in, line);) {
            if (line.rfind("running ", 0) == 0) {
                std::istringstream words(line);
                std::vector<std::string> w{std::istream_iterator<std::string>(words), {}};
                w[static_cast<size_t>(field) + 1] = value;
                line.clear();
                for (const auto& word : w)
                    line += word + " ";
            }
            out << line << "\n";
        }
        return out.str();
    };
    EXPECT_FALSE(other.loadState(withRunning(0, "10")));  // LED brightness
    EXPECT_FALSE(other.loadState(withRunning(4, "200"))); // keypad type
    EXPECT_EQ(other.running(), before);
    ASSERT_TRUE(other.loadState(withRunning(0, "9")));

    EXPECT_FALSE(fresh.setVersion("2.07")); // type 8: a 32-byte table leaves room for three
    EXPECT_TRUE(fresh.setVersion("2.1"));
}
