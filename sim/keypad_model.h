#pragma once

// The keypad's firmware as seen from its command interface. It knows nothing of
// hidapi or USB: it takes 64-byte output reports and yields input reports, each
// with the time it becomes readable, so any transport can carry it.

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace orvex::sim {

inline constexpr size_t kReport = 64;
using Report = std::array<uint8_t, kReport>;

struct KeypadSettings {
    uint8_t ledBrightness = 5;
    uint8_t jackLedBrightness = 5;
    uint8_t buzzer = 1;
    uint8_t buzzerPeriod = 3;
    uint8_t keypadType = 0;
    // Customised table of each group (types 2, 5, 8).
    std::array<std::array<uint8_t, 32>, 3> customTables{};

    bool operator==(const KeypadSettings&) const = default;
};

// A fault applied to the next exchange(s) instead of the normal answer.
struct Fault {
    enum Kind {
        Silence,         // the command is lost: no answer at all
        WaitMarkers,     // `count` wait markers `gapMs` apart, then the answer
        Refuse,          // refusal marker, command not applied
        BadChecksum,     // answer with a wrong checksum
        BadSize,         // size byte above 64
        NonZeroResult,   // result byte 1, checksum right
        LowerCaseLength, // length digits in lower case
        BadLength,       // data length field 0x3F (beyond the report)
        Late,            // the answer becomes readable after `delayMs`
        UnplugDuring,    // command applied, then the keypad drops off the bus
        ShortStatus,     // GetStatus payload cut to `count` bytes
        NoVersionEnd,    // GetStatus version text without its NUL
    };
    Kind kind = Silence;
    int count = 0;
    uint32_t gapMs = 0;
    uint32_t delayMs = 0;
};

struct ReceivedCommand {
    uint8_t command = 0;
    std::vector<uint8_t> payload;
};

class KeypadModel {
public:
    KeypadModel();

    // Things the keypad asks of whatever carries it.
    struct Hooks {
        // Restart: drop off the bus now and come back after `delayMs`.
        std::function<void(uint32_t delayMs)> restart;
        // Drop off the bus and come back as the bootstrap loader.
        std::function<void()> enterBootloader;
        // Unplugged in the middle of an exchange.
        std::function<void()> unplug;
    };
    void setHooks(Hooks h);

    // An output report as written by the host (report id first).
    void receive(const uint8_t* data, size_t length, uint64_t now);
    // Takes the next input report readable at `now`.
    bool takeInput(Report& out, uint64_t now);
    bool hasPendingInput() const;

    // Power cycle: running settings come back from the power-up settings.
    void powerCycle();
    void clearInput();

    // --- what tests script and inspect ---
    void injectFault(Fault f, int times = 1);
    void clearFaults();
    std::vector<ReceivedCommand> log() const;
    void clearLog();
    KeypadSettings running() const;
    KeypadSettings powerUp() const;
    void setRunning(const KeypadSettings& s);
    void setPowerUp(const KeypadSettings& s);
    uint8_t options() const;
    void setOptions(uint8_t o);
    std::string serial() const;
    void setSerial(const std::string& s);
    std::string version() const;
    // False (unchanged) for a version whose status answer would not fit one
    // report with the running keypad type's table.
    bool setVersion(const std::string& v);
    static bool versionFits(const std::string& version, int keypadType);
    uint32_t restartDelayMs() const;
    void setRestartDelayMs(uint32_t ms);
    // Command digits every answer carries instead of its request's (-1: the
    // request's own), for a keypad firmware that does not echo them.
    void setAnswerCommand(int command);
    // Reports the host wrote while an earlier answer was still unread.
    int overlappedRequests() const;
    // Everything the keypad keeps (settings, power-up settings, options, serial,
    // version) as text, so a virtual keypad can outlive one process.
    std::string saveState() const;
    // False (nothing changed) when the text is not a complete saved state.
    bool loadState(const std::string& text);
    // The table the keypad would use for a type (default / alternate / customised).
    std::array<uint8_t, 32> tableForType(int type) const;
    static KeypadSettings factorySettings();

private:
    void process(const uint8_t* report, uint64_t now);
    void queue(const Report& r, uint64_t at);
    Report frame(uint8_t command, const std::vector<uint8_t>& payload) const;
    std::vector<uint8_t> statusPayload() const;

    mutable std::mutex m_;
    Hooks hooks_;
    std::function<void()> pendingHook_;
    KeypadSettings running_;
    KeypadSettings powerUp_;
    uint8_t options_ = 2;
    std::string serial_ = "OVX000123456";
    std::string version_ = "2.7";
    uint32_t restartDelayMs_ = 1200;
    std::deque<std::pair<uint64_t, Report>> out_;
    std::deque<Fault> faults_;
    std::vector<ReceivedCommand> log_;
    int overlapped_ = 0;
    int answerCommand_ = -1;
};

// Frame helpers shared with other transports and the tests.
Report BuildResponse(uint8_t command, const std::vector<uint8_t>& payload, uint8_t result = 0);
Report MarkerReport(uint8_t marker);

} // namespace orvex::sim
