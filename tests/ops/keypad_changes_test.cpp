// The changes to a running keypad as operations: one lock for all of them,
// their refusals before anything is sent, and the reopen after a restart that
// takes only the keypad the change began on.

#include <gtest/gtest.h>

#include <algorithm>

#include "config/utility_config.h"
#include "device/device_commands.h"
#include "device/hid_link.h"
#include "ops/keypad_changes.h"
#include "test_env.h"

using namespace orvex;

namespace {

class KeypadChangesTest : public test::KeypadTest {
protected:
    void SetUp() override {
        KeypadTest::SetUp();
        keypad->model.setSerial("OVX000777111");
        PrepareConfigFileAt((stateHome / "data").string());
        ASSERT_TRUE(RescanForKeypad({"", keypad->port()}, false));
    }
    // Only status reads since the log was cleared: nothing was changed.
    static bool nothingSent(const sim::VirtualKeypad& to) {
        for (const auto& c : to.model.log())
            if (c.command != GetStatus)
                return false;
        return true;
    }
};

TEST_F(KeypadChangesTest, EveryChangeWaitsForTheOneLockThenRunsItsRule) {
    std::string refusal;
    {
        const auto held = ops::TakeChangeLock("orvexctl", "restore", refusal);
        ASSERT_TRUE(held);
        keypad->model.clearLog();
        ops::SettingChange set;
        ops::SaveSettings save;
        ops::TableLoad table;
        ops::FactoryResetChange reset;
        ops::SettingsRestore restore("import");
        const ops::Result plans[] = {
            set.plan("orvex-config", ops::Setting::LedBrightness, 4),
            save.plan("orvex-config"),
            table.plan("orvex-config", std::vector<uint8_t>(20, 0)),
            reset.plan("orvex-config"),
            restore.plan("orvex-config", FileName),
        };
        for (const ops::Result& r : plans) {
            EXPECT_EQ(r.outcome, ops::Outcome::Busy);
            EXPECT_NE(r.text.find("restore, orvexctl"), std::string::npos) << r.text;
        }
        EXPECT_TRUE(keypad->model.log().empty());
    }

    // Released: each change plans and runs (and holds the lock until it
    // goes), refusing what its rule refuses.
    EXPECT_EQ(ops::SettingChange().plan("orvexctl", ops::Setting::BuzzerPeriod, 0).outcome,
              ops::Outcome::Refused);
    {
        ops::SettingChange type;
        ASSERT_TRUE(type.plan("orvexctl", ops::Setting::KeypadType, 2).ok());
        ASSERT_TRUE(type.run().ok());
        EXPECT_EQ(keypad->model.running().keypadType, 2);
        // The keypad's own 12-key table, for the editor of that layout below.
        sim::KeypadSettings grid = keypad->model.running();
        grid.keypadType = 5;
        keypad->model.setRunning(grid);
    }
    const auto refusedTable = [](std::vector<uint8_t> table, std::optional<int> type,
                                 ops::TableLoad::Refusal why) {
        ops::TableLoad load;
        EXPECT_EQ(load.plan("orvexctl", std::move(table), type).outcome, ops::Outcome::Refused);
        EXPECT_EQ(load.refusal(), why);
    };
    const std::vector<uint8_t> pairs(20, 0);
    // Without a type, the one the keypad reports (5: twelve keys).
    refusedTable(pairs, std::nullopt, ops::TableLoad::Refusal::WrongLength);
    refusedTable(pairs, 4, ops::TableLoad::Refusal::NotCustomised);
    const auto loaded = [](std::vector<uint8_t> table, std::optional<int> type) {
        ops::TableLoad load;
        return load.plan("orvexctl", std::move(table), type).ok() && load.run().ok();
    };
    // The 12-key table goes padded to 32 bytes, as the editors send it.
    std::vector<uint8_t> twelve(24, 0);
    twelve[23] = 0x27;
    keypad->model.clearLog();
    ASSERT_TRUE(loaded(twelve, 5));
    ASSERT_EQ(keypad->model.log().size(), 1u);
    EXPECT_EQ(keypad->model.log()[0].payload.size(), 32u);
    EXPECT_EQ(keypad->model.tableForType(5)[23], 0x27);

    ops::SaveSettings save;
    ASSERT_TRUE(save.plan("orvexctl").ok());
    ASSERT_TRUE(save.run().ok());
    EXPECT_EQ(keypad->model.powerUp().keypadType, 5);
    EXPECT_EQ(GetSettings("KeypadLayout", FileName), "5");
    EXPECT_EQ(GetSettings("SerialNumber", FileName), "OVX000777111");
}

// A restart reopens the keypad on its port only while it reports the serial
// number it had; one that could not be told from another gets nothing.
TEST_F(KeypadChangesTest, RestartsReopenOnlyTheKeypadTheChangeBeganOn) {
    {
        ops::SaveSettings save;
        ASSERT_TRUE(save.plan("orvexctl").ok() && save.run().ok());
    }
    test::WaitHookClock hooked(clock);
    setClock(&hooked);

    for (const bool restore : {true, false}) {
        SCOPED_TRACE(restore ? "restore" : "factory reset");
        ASSERT_TRUE(RescanForKeypad({"", keypad->port()}, false));
        keypad->model.setSerial("OVX000777111");
        keypad->model.clearLog();
        // Another keypad in its place while it restarts.
        hooked.during = [&] { keypad->model.setSerial("OVX000999999"); };
        ops::Result r;
        if (restore) {
            ops::SettingsRestore settings;
            ASSERT_TRUE(settings.plan("orvexctl", FileName).ok());
            r = settings.run();
        } else {
            ops::FactoryResetChange reset;
            ASSERT_TRUE(reset.plan("orvexctl").ok());
            r = reset.run();
        }
        EXPECT_EQ(r.outcome, ops::Outcome::NoKeypad);
        const std::vector<uint8_t> codes = commandCodes();
        ASSERT_TRUE(std::find(codes.begin(), codes.end(), FactoryReset) != codes.end());
        EXPECT_EQ(std::count_if(std::find(codes.begin(), codes.end(), FactoryReset) + 1,
                                codes.end(), [](uint8_t c) { return c != GetStatus; }),
                  0);
    }
    setClock(&clock);

    // Without its port, beside another keypad: nothing is sent at all.
    keypad->model.setSerial("OVX000777111");
    keypad->usbPort.clear();
    const auto other = plugKeypad();
    ASSERT_TRUE(RescanForKeypad({"OVX000777111", ""}, false));
    keypad->model.clearLog();
    const auto refusedPlan = [](const ops::Result& r) {
        EXPECT_EQ(r.outcome, ops::Outcome::Refused);
        EXPECT_EQ(r.text, kKeypadNotToldApartText);
    };
    refusedPlan(ops::SettingsRestore().plan("orvexctl", FileName));
    refusedPlan(ops::FactoryResetChange().plan("orvexctl"));
    EXPECT_TRUE(nothingSent(*keypad));
    EXPECT_TRUE(nothingSent(*other));
}

} // namespace
