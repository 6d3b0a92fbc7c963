// Fault-injection soak of the device link: thousands of exchanges with the
// virtual keypad, each with a random fault, in virtual time. Every exchange is
// judged on its own: a frame that is not the keypad's sound answer to this very
// request must never give LINK_OK, and the call must come back within its
// time-out plus the extensions its wait markers grant. Seeded: set
// ORVEX_SOAK_SEED to repeat a run, ORVEX_SOAK_EXCHANGES to make it longer.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <deque>
#include <sstream>

#include "device/device_commands.h"
#include "device/hid_link.h"
#include "soak_support.h"
#include "test_env.h"
#include "virtual_bus.h"

namespace orvex::test {
namespace {

using sim::Fault;
using sim::VirtualBus;

// The keypad, with every input report the host read kept for judging. The
// keypad answers in order, so each frame or refusal marker read belongs to the
// oldest request still owed an answer: that request is noted as its owner.
class RecordingKeypad : public sim::VirtualKeypad {
public:
    struct Read {
        sim::Report report;
        bool afterRequest; // read after this exchange's request went out
        int64_t owner;     // request it answers; -1 for a wait marker
    };

    int read(int iface, uint8_t* data, size_t length, uint64_t now) override {
        const int n = VirtualKeypad::read(iface, data, length, now);
        if (n > 0 && iface == 1) {
            Read r{{}, requestWritten, -1};
            std::memcpy(r.report.data(), data,
                        std::min<size_t>(static_cast<size_t>(n), r.report.size()));
            if (r.report[2] != WAIT_MARKER) {
                r.owner = owed.empty() ? -2 : owed.front();
                if (!owed.empty())
                    owed.pop_front();
            }
            reads.push_back(r);
        }
        return n;
    }
    void write(int iface, const uint8_t* data, size_t length, uint64_t now) override {
        if (iface == 1) {
            requestWritten = true;
            if (answers)
                owed.push_back(requestId);
        }
        VirtualKeypad::write(iface, data, length, now);
    }
    void arrived() override {
        VirtualKeypad::arrived(); // a restart drops every answer not yet read
        owed.clear();
    }

    // Set by the soak before each exchange.
    void expect(int64_t id, bool answered) {
        requestId = id;
        answers = answered;
        requestWritten = false;
        reads.clear();
    }

    std::vector<Read> reads;

private:
    int64_t requestId = -1;
    bool answers = true;
    bool requestWritten = false;
    std::deque<int64_t> owed;
};

enum Kind {
    None,
    Silence,
    WaitMarkers,
    Refuse,
    BadChecksum,
    BadSize,
    NonZeroResult,
    LowerCaseLength,
    BadLength,
    Late,
    UnplugDuring,
    ShortStatus,
    NoVersionEnd,
    UnplugWhileWaiting, // pulled out at a random moment of the wait
    UnplugBefore,       // gone before the request is written
    kKinds
};

const char* const kKindNames[kKinds] = {
    "none",           "silence",         "wait markers",   "refusal",       "bad checksum",
    "bad size byte",  "non-zero result", "lower-case len", "bad length",    "late frame",
    "unplug (reply)", "short status",    "no version end", "unplug (wait)", "unplug (before)"};

constexpr uint32_t kTimeout = EXCHANGE_TIMEOUT_MS;

// Whether the keypad's firmware takes the command (it refuses out-of-range values).
bool Accepted(uint8_t cmd, const std::vector<uint8_t>& p) {
    const auto one = [&](int max, int min = 0) {
        return p.size() == 1 && p[0] >= min && p[0] <= max;
    };
    switch (cmd) {
    case GetStatus:
    case WriteDefaults:
        return p.empty();
    case SetLedBrightness:
    case SetJackLedBrightness:
    case StatusBuzzer:
        return one(9);
    case SetBuzzer:
        return one(1);
    case SetBuzzerPeriod:
        return one(9, 1);
    case SetKeypadType:
        return one(8);
    case LoadCodeTable:
        return p.size() == 20 || p.size() == 24 || p.size() == 32;
    case SetOptions:
        return p.size() == 1;
    case SetSerialNumber:
        return p.size() == 12;
    default:
        return false;
    }
}

struct Counts {
    uint64_t exchanges = 0;
    uint64_t byKind[kKinds] = {};
    uint64_t failuresDetected = 0; // faulty answer reported as a failure
    uint64_t falseSuccesses = 0;
    uint64_t repeatAnswers = 0; // late answer taken for a repeat of its command
    uint64_t repeatMasking = 0; // ... while the repeat itself failed at the keypad
    uint64_t unexpectedFailures = 0;
    uint64_t timingViolations = 0;
    uint64_t statusChecked = 0;
    uint64_t refusedValues = 0;
    uint64_t rescans = 0;
    uint64_t factoryResets = 0;
    uint64_t markersRead = 0;
    uint64_t maxElapsed = 0;
};

class LinkSoak : public VirtualEnvTest {
protected:
    void SetUp() override {
        VirtualEnvTest::SetUp();
        setClock(&events);
        keypad = std::make_shared<RecordingKeypad>();
        keypad->attach();
        VirtualBus::instance().plug(keypad);
        ASSERT_TRUE(RescanForDevice());
    }
    void TearDown() override {
        events.clearEvents();
        VirtualEnvTest::TearDown();
    }

    // The status record the keypad holds now, decoded from its own state.
    bool StatusMatchesKeypad(const DeviceStatus& s) const {
        const auto running = keypad->model.running();
        const auto table = keypad->model.tableForType(running.keypadType);
        return s.ledBrightness == running.ledBrightness &&
               s.jackLedBrightness == running.jackLedBrightness && s.buzzer == running.buzzer &&
               s.buzzerPeriod == running.buzzerPeriod && s.keypadType == running.keypadType &&
               s.options == keypad->model.options() &&
               s.firmwareVersion == keypad->model.version() &&
               s.serialNumber == keypad->model.serial() &&
               std::equal(table.begin(), table.begin() + s.tableLength, s.keyCodes.begin());
    }
    // Bytes of the whole status record; only 54 fit one response frame.
    size_t StatusSize() const {
        const int type = keypad->model.running().keypadType;
        return 6 + static_cast<size_t>(TableLengthForType(type)) + keypad->model.version().size() +
               1 + 12;
    }

    EventClock events;
    std::shared_ptr<RecordingKeypad> keypad;
};

// Found by the soak: a corrupted checksum on a status that fills the whole report
// (16-key table, four-character version) was written past the report.
TEST_F(LinkSoak, CorruptedChecksumOnAFullStatusIsStillCorrupted) {
    // A four-character version fits no 16-key status: set it first, then the type.
    ASSERT_TRUE(keypad->model.setVersion("2.07"));
    ASSERT_EQ(SendDeviceCommandByte(SetKeypadType, 7), LINK_OK);
    keypad->model.injectFault({Fault::BadChecksum});
    uint8_t response[RESPONSE_CAPACITY];
    uint32_t length = 0;
    EXPECT_EQ(USBEncoderSendAndReceive_a(hid_handle, GetStatus, nullptr, 0, response,
                                         RESPONSE_CAPACITY, &length, kTimeout),
              LINK_BAD_FRAME);
}

// Found by the soak: the late answer to a timed-out request was taken for the
// answer to the next one, so a refused command could be reported as done.
TEST_F(LinkSoak, LateAnswerArrivingDuringTheNextExchangeIsNotItsAnswer) {
    uint8_t response[RESPONSE_CAPACITY];
    uint32_t length = 0;
    const auto exchange = [&](uint8_t cmd, std::vector<uint8_t> payload) {
        length = 0xC0FFEEu;
        return USBEncoderSendAndReceive_a(hid_handle, cmd, payload.data(),
                                          static_cast<uint32_t>(payload.size()), response,
                                          RESPONSE_CAPACITY, &length, kTimeout);
    };
    keypad->model.injectFault({Fault::Late, 0, 0, 8000});
    ASSERT_EQ(exchange(GetStatus, {}), LINK_TIMEOUT);
    // The status frame turns up 3 s into this exchange; the keypad refuses 10.
    EXPECT_EQ(exchange(SetLedBrightness, {10}), LINK_BAD_FRAME);
    EXPECT_EQ(length, 0xC0FFEEu);

    keypad->model.injectFault({Fault::Late, 0, 0, 8000});
    ASSERT_EQ(exchange(GetStatus, {}), LINK_TIMEOUT);
    const uint64_t start = events.tick_ms();
    EXPECT_EQ(exchange(SetBuzzer, {0}), LINK_OK);
    EXPECT_EQ(length, 0u); // its own answer, not the 43-byte status
    EXPECT_GE(events.tick_ms() - start, 3000u);
    EXPECT_EQ(keypad->model.running().buzzer, 0);
}

TEST_F(LinkSoak, RandomFaultsNeverGiveAFalseSuccessOrOverrunTheTimeout) {
    const uint64_t seed = EnvNumber("ORVEX_SOAK_SEED", 20250611);
    const uint64_t total = EnvNumber("ORVEX_SOAK_EXCHANGES", 6000);
    Random rnd(seed);
    Counts c;
    std::vector<uint8_t> commandOf(total);
    std::vector<int> resultOf(total);
    std::vector<bool> answerRead(total); // a request's own answer was read
    std::ostringstream problems;
    int reported = 0;
    const auto problem = [&](uint64_t i, const std::string& what) {
        if (++reported <= 20)
            problems << "exchange " << i << ": " << what << "\n";
    };

    const std::vector<uint8_t> commands = {
        GetStatus,     GetStatus,       GetStatus,      SetLedBrightness, SetJackLedBrightness,
        SetBuzzer,     SetBuzzerPeriod, StatusBuzzer,   SetKeypadType,    LoadCodeTable,
        WriteDefaults, SetOptions,      SetSerialNumber};

    for (uint64_t i = 0; i < total; ++i) {
        // Now and then the keypad restarts the way a factory reset makes it.
        if (rnd.chance(0.01)) {
            (void)SendDeviceCommand(FactoryReset);
            sleep_ms(3000);
            if (!RescanForDevice())
                problem(i, "keypad not back after a factory reset");
            ++c.factoryResets;
            keypad->model.setVersion(rnd.chance(0.5) ? "2.07" : "2.1");
        }

        // --- the request
        uint8_t cmd = rnd.pick(commands);
        std::vector<uint8_t> payload;
        const bool outOfRange = rnd.chance(0.05);
        switch (cmd) {
        case SetLedBrightness:
        case SetJackLedBrightness:
        case StatusBuzzer:
            payload = {static_cast<uint8_t>(outOfRange ? rnd.range(10, 255) : rnd.range(0, 9))};
            break;
        case SetBuzzer:
            payload = {static_cast<uint8_t>(outOfRange ? rnd.range(2, 255) : rnd.range(0, 1))};
            break;
        case SetBuzzerPeriod:
            payload = {static_cast<uint8_t>(outOfRange ? 0 : rnd.range(1, 9))};
            break;
        case SetKeypadType:
            payload = {static_cast<uint8_t>(outOfRange ? rnd.range(9, 255) : rnd.range(0, 8))};
            break;
        case LoadCodeTable: {
            static const std::vector<int> sizes = {20, 24, 32};
            payload.resize(static_cast<size_t>(outOfRange ? 21 : rnd.pick(sizes)));
            for (auto& b : payload)
                b = static_cast<uint8_t>(rnd.range(0, 255));
            break;
        }
        case SetOptions:
            payload = {static_cast<uint8_t>(rnd.range(0, 7))};
            break;
        case SetSerialNumber:
            payload.resize(12);
            for (auto& b : payload)
                b = static_cast<uint8_t>(rnd.range('0', 'Z'));
            break;
        default:
            break;
        }

        // --- the fault
        Kind kind = None;
        if (rnd.chance(0.75))
            kind = static_cast<Kind>(rnd.range(Silence, kKinds - 1));
        if (kind == ShortStatus || kind == NoVersionEnd) {
            cmd = GetStatus; // these only touch a status answer
            payload.clear();
        }
        const bool accepted = Accepted(cmd, payload);
        if (!accepted)
            ++c.refusedValues;
        ++c.byKind[kind];
        // Keep clear of the time-out itself, where the 10 ms polling decides.
        const auto awayFromTimeout = [&](int64_t lo, int64_t hi) {
            int64_t v = rnd.range(lo, hi);
            if (v > kTimeout - 30 && v < kTimeout + 30)
                v += 60;
            return static_cast<uint32_t>(v);
        };
        bool answersInTime = true;
        uint64_t unplugOffset = 0;
        size_t shortCount = 0;
        switch (kind) {
        case None:
            break;
        case WaitMarkers: {
            const Fault f{Fault::WaitMarkers, static_cast<int>(rnd.range(1, 4)),
                          awayFromTimeout(10, 7000)};
            answersInTime = f.gapMs < kTimeout;
            keypad->model.injectFault(f);
            break;
        }
        case Late: {
            const Fault f{Fault::Late, 0, 0, awayFromTimeout(0, 12000)};
            answersInTime = f.delayMs < kTimeout;
            keypad->model.injectFault(f);
            break;
        }
        case ShortStatus:
            shortCount = static_cast<size_t>(rnd.range(0, 56));
            keypad->model.injectFault({Fault::ShortStatus, static_cast<int>(shortCount)});
            break;
        case UnplugWhileWaiting: {
            keypad->model.injectFault({Fault::Silence});
            unplugOffset = static_cast<uint64_t>(rnd.range(1, kTimeout - 20));
            const uint32_t back = static_cast<uint32_t>(rnd.range(0, 3000));
            events.at(events.tick_ms() + unplugOffset,
                      [this, back] { VirtualBus::instance().unplug(keypad, back); });
            answersInTime = false;
            break;
        }
        case UnplugBefore:
            VirtualBus::instance().unplug(keypad, static_cast<uint32_t>(rnd.range(0, 3000)));
            answersInTime = false;
            break;
        default: {
            static const Fault::Kind direct[kKinds] = {
                Fault::Silence,     Fault::Silence, Fault::WaitMarkers,   Fault::Refuse,
                Fault::BadChecksum, Fault::BadSize, Fault::NonZeroResult, Fault::LowerCaseLength,
                Fault::BadLength,   Fault::Late,    Fault::UnplugDuring,  Fault::ShortStatus,
                Fault::NoVersionEnd};
            keypad->model.injectFault({direct[kind]});
            break;
        }
        }

        // --- the exchange
        // Answers still on their way from an earlier timed-out request come
        // first (the keypad answers in order): this one may then time out too.
        const bool backlog = keypad->model.hasPendingInput();
        const bool answered = kind != Silence && kind != UnplugDuring && kind != UnplugWhileWaiting;
        keypad->expect(static_cast<int64_t>(i), answered);
        commandOf[i] = cmd;
        uint8_t response[RESPONSE_CAPACITY];
        std::memset(response, 0xEE, sizeof response);
        const uint32_t sentinel = 0xC0FFEEu;
        uint32_t responseLength = sentinel;
        const uint64_t start = events.tick_ms();
        const int rc = USBEncoderSendAndReceive_a(hid_handle, cmd, payload.data(),
                                                  static_cast<uint32_t>(payload.size()), response,
                                                  RESPONSE_CAPACITY, &responseLength, kTimeout);
        const uint64_t elapsed = events.tick_ms() - start;
        resultOf[i] = rc;
        ++c.exchanges;
        c.maxElapsed = std::max(c.maxElapsed, elapsed);

        // --- judging it
        uint64_t markers = 0;
        for (const auto& r : keypad->reads)
            if (r.afterRequest && r.report[2] == WAIT_MARKER)
                ++markers;
        c.markersRead += markers;
        if (elapsed > kTimeout * (1 + markers) || (rc == LINK_TIMEOUT && elapsed < kTimeout) ||
            (kind == UnplugWhileWaiting && elapsed > unplugOffset + POLL_INTERVAL_MS) ||
            (kind == UnplugBefore && elapsed != 0)) {
            ++c.timingViolations;
            problem(i, "took " + std::to_string(elapsed) + " ms with " + std::to_string(markers) +
                           " wait markers, result " + std::to_string(rc) + ", fault " +
                           kKindNames[kind]);
        }

        const bool noGenuineAnswer = !accepted || kind == Silence || kind == Refuse ||
                                     kind == UnplugDuring || kind == UnplugWhileWaiting ||
                                     kind == UnplugBefore;
        const std::string context =
            std::string(" (fault ") + kKindNames[kind] + ", command " + std::to_string(cmd) + ")";
        if (rc == LINK_OK) {
            const auto* last = keypad->reads.empty() ? nullptr : &keypad->reads.back();
            const FrameView frame = last ? ReadFrame(last->report.data()) : FrameView{};
            const int64_t owner = last ? last->owner : -3;
            std::string why;
            bool repeat = false;
            if (!last || !last->afterRequest || !frame.valid) {
                why = "a corrupted frame was accepted";
            } else if (owner != static_cast<int64_t>(i)) {
                // Someone else's answer. The one case the frame cannot tell apart:
                // the late answer to an earlier request with the same command,
                // whose own exchange ended without it.
                repeat = owner >= 0 && !answerRead[owner] && commandOf[owner] == cmd;
                if (!repeat)
                    why = "the answer to request " + std::to_string(owner) +
                          (owner >= 0 ? " (command " + std::to_string(commandOf[owner]) +
                                            ", result " + std::to_string(resultOf[owner]) + ")"
                                      : "") +
                          " was taken";
            } else if (noGenuineAnswer) {
                why = "the keypad never answered this request";
            } else if (responseLength != frame.payload.size() ||
                       !std::equal(frame.payload.begin(), frame.payload.end(), response)) {
                why = "payload not delivered as received";
            } else if (cmd == GetStatus) {
                // A status read must describe the keypad as it is now, or fail.
                DeviceStatus s;
                const bool decoded = DecodeDeviceStatus(response, responseLength, s);
                const size_t size = StatusSize();
                const bool whole = size <= 54 && kind != NoVersionEnd &&
                                   (kind != ShortStatus || shortCount >= size);
                ++c.statusChecked;
                if (decoded && !StatusMatchesKeypad(s))
                    why = "the status read does not describe the keypad";
                else if (decoded != whole)
                    why = decoded ? "a cut or unterminated status was decoded"
                                  : "a whole status failed to decode";
            }
            if (repeat) {
                ++c.repeatAnswers;
                if (noGenuineAnswer || kind == BadChecksum || kind == BadSize ||
                    kind == NonZeroResult || kind == BadLength || kind == LowerCaseLength)
                    ++c.repeatMasking;
            }
            if (!why.empty()) {
                ++c.falseSuccesses;
                problem(i, why + context);
            }
        } else {
            if (responseLength != sentinel)
                problem(i, "a failed exchange changed the response length");
            const bool expectedOk = accepted && answersInTime && !backlog &&
                                    (kind == None || kind == WaitMarkers || kind == Late ||
                                     kind == ShortStatus || kind == NoVersionEnd);
            if (expectedOk) {
                ++c.unexpectedFailures;
                problem(i, "a sound answer failed with " + std::to_string(rc) + context);
            } else if (kind != None || !accepted) {
                ++c.failuresDetected;
            }
        }

        // Whose answers this exchange read, for judging the next ones.
        for (const auto& r : keypad->reads)
            if (r.owner >= 0)
                answerRead[r.owner] = true;

        // --- back to a working link, as the user would get it
        keypad->model.clearFaults();
        events.clearEvents();
        if (kind == UnplugDuring || kind == UnplugWhileWaiting || kind == UnplugBefore) {
            if (!VirtualBus::instance().present(keypad) && kind == UnplugDuring)
                VirtualBus::instance().plug(keypad, static_cast<uint32_t>(rnd.range(1, 3000)));
            events.advance(3001);
            VirtualBus::instance().pump();
            if (!RescanForDevice())
                problem(i, "keypad not found again after it came back");
            ++c.rescans;
        }
        if (VirtualBus::instance().openHandles() != 1)
            problem(i, "open handles: " + std::to_string(VirtualBus::instance().openHandles()));
        // Most requests follow each other at once; some after the user looked at
        // a message for a while.
        if (rnd.chance(0.3))
            events.advance(static_cast<uint64_t>(rnd.range(1, 8000)));
    }

    std::printf("\nDevice link soak, seed %llu (ORVEX_SOAK_SEED to repeat)\n",
                static_cast<unsigned long long>(seed));
    std::printf("  exchanges            %llu\n", static_cast<unsigned long long>(c.exchanges));
    for (int k = 0; k < kKinds; ++k)
        std::printf("  %-20s %llu\n", kKindNames[k], static_cast<unsigned long long>(c.byKind[k]));
    std::printf("  out-of-range values  %llu\n", static_cast<unsigned long long>(c.refusedValues));
    std::printf("  factory resets       %llu\n", static_cast<unsigned long long>(c.factoryResets));
    std::printf("  rescans after unplug %llu\n", static_cast<unsigned long long>(c.rescans));
    std::printf("  wait markers read    %llu\n", static_cast<unsigned long long>(c.markersRead));
    std::printf("  status records read  %llu\n", static_cast<unsigned long long>(c.statusChecked));
    std::printf("  longest exchange     %llu ms\n", static_cast<unsigned long long>(c.maxElapsed));
    std::printf("  failures detected    %llu\n",
                static_cast<unsigned long long>(c.failuresDetected));
    std::printf("  unexpected failures  %llu\n",
                static_cast<unsigned long long>(c.unexpectedFailures));
    std::printf("  time-out overruns    %llu\n",
                static_cast<unsigned long long>(c.timingViolations));
    // The frame carries no request number: a late answer and the answer to a
    // repeat of the same command look alike. Shown, not counted as false.
    std::printf("  late answer taken for a repeat of its command %llu (repeat failed at "
                "the keypad: %llu)\n",
                static_cast<unsigned long long>(c.repeatAnswers),
                static_cast<unsigned long long>(c.repeatMasking));
    std::printf("  false successes      %llu\n", static_cast<unsigned long long>(c.falseSuccesses));
    std::fflush(stdout);

    EXPECT_EQ(c.falseSuccesses, 0u) << problems.str();
    EXPECT_EQ(c.timingViolations, 0u) << problems.str();
    EXPECT_EQ(c.unexpectedFailures, 0u) << problems.str();
    EXPECT_EQ(reported, 0) << problems.str();
    EXPECT_EQ(c.exchanges, total);
}

} // namespace
} // namespace orvex::test
