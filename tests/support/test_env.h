#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/prompter.h"
#include "virtual_bus.h"

namespace orvex::test {

struct RecordedMessage {
    std::string text;
    std::string caption;
    MsgButtons buttons;
    MsgIcon icon;
};

// Records every message and answers questions and dialogs from a script.
// Unscripted questions are answered No; unscripted dialogs are cancelled.
class RecordingPrompter : public Prompter {
public:
    MsgAnswer message(const std::string& text, const std::string& caption, MsgButtons buttons,
                      MsgIcon icon) override;
    std::optional<std::string> openFile(const std::string& title,
                                        const std::string& filter) override;
    std::optional<std::string> openFileIn(const std::string& folder, const std::string& title,
                                          const std::string& filter) override;
    std::optional<std::string> pickFolder(const std::string& title) override;

    // The folder the last file dialog was asked to start in.
    std::string fileDialogFolder() const;

    // Runs once, as the next warning (OK) or question (Yes/No) is shown: what
    // happens while a message box waits for the user.
    std::function<void()> beforeNextWarning;
    std::function<void()> beforeNextQuestion;

    void answerYes(int times = 1);
    void answerNo(int times = 1);
    void chooseFile(std::optional<std::string> path);
    void chooseFolder(std::optional<std::string> path);

    std::vector<RecordedMessage> messages() const;
    std::vector<std::string> texts() const;
    void clear();

private:
    mutable std::mutex m_;
    std::vector<RecordedMessage> messages_;
    std::vector<MsgAnswer> answers_;
    std::vector<std::optional<std::string>> files_;
    std::vector<std::optional<std::string>> folders_;
    std::string fileDialogFolder_;
};

// Virtual time that runs `during` once, as the wait of `waitMs` begins: what
// happens while a keypad restarts.
class WaitHookClock final : public Clock {
public:
    explicit WaitHookClock(VirtualClock& inner) : inner_(inner) {}
    void sleep_ms(uint32_t ms) override {
        if (ms == waitMs && during) {
            auto run = std::move(during);
            during = nullptr;
            run();
        }
        inner_.sleep_ms(ms);
    }
    uint64_t tick_ms() override { return inner_.tick_ms(); }
    uint32_t waitMs = 3000;
    std::function<void()> during;

private:
    VirtualClock& inner_;
};

// Virtual time, a recording prompter and a fresh virtual bus for each test.
class VirtualEnvTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Plugs a new keypad with interfaces listed in `interfaces` order.
    std::shared_ptr<sim::VirtualKeypad> plugKeypad(std::vector<int> interfaces = {0, 1});

    VirtualClock clock;
    RecordingPrompter prompts;
    // XDG_STATE_HOME and (under run/) XDG_RUNTIME_DIR of this test.
    std::filesystem::path stateHome;
};

// VirtualEnvTest with one keypad plugged in and opened through the rescan.
class KeypadTest : public VirtualEnvTest {
protected:
    void SetUp() override;
    std::shared_ptr<sim::VirtualKeypad> keypad;
    // Commands the keypad received, in order.
    std::vector<uint8_t> commandCodes() const;
};

} // namespace orvex::test
