// libFuzzer target for the response frame decoder and the exchange's receive
// loop. The fuzzer's bytes are a request and the reports a keypad sends back
// (some already waiting before the request, some after, empty polls and read
// errors among them). The link must give exactly the result a plain reading of
// the report rules gives, take no longer than its time-out plus what its wait
// markers grant, hand over the payload of the frame it accepted and no more,
// and leave the response length alone on failure.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <vector>

#include "device/hid_link.h"
#include "fake_hidapi.h"
#include "fuzz_input.h"
#include "platform/clock.h"

namespace {

using namespace orvex;

int lenientNibble(uint8_t c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return 0;
}

// The frame rules from offset 2 on: STX, data length n of 1..55 (result byte
// and payload), result 0, ETX after the payload, XOR of STX..ETX after it.
bool refFrame(const uint8_t* r, std::vector<uint8_t>& payload) {
    if (r[2] != STX)
        return false;
    const int n = lenientNibble(r[5]) * 16 + lenientNibble(r[6]);
    if (n < 1 || n > 55 || r[7] != 0 || r[7 + n] != ETX)
        return false;
    uint8_t sum = 0;
    for (int i = 2; i <= 7 + n; ++i)
        sum ^= r[i];
    if (r[8 + n] != sum)
        return false;
    payload.assign(r + 8, r + 7 + n);
    return true;
}

struct Expected {
    int rc = LINK_OK;
    std::vector<uint8_t> payload;
    uint64_t slept = 0;
    uint64_t markers = 0;
};

// Frames and refusals end a request; wait markers and other reports do not
// (nor does a report too short to hold the marker byte).
bool endsARequest(const fakehid::Input& x) {
    return x.result > 2 && (x.bytes[2] == STX || x.bytes[2] == REFUSAL_MARKER);
}

// The receive loop as the report rules put it. While `owed` earlier requests
// on the handle are still owed their answers, a frame for another command is
// taken for one of them and passed over like an empty poll.
Expected refExchange(uint8_t command, uint32_t timeout, const std::deque<fakehid::Input>& late,
                     int owed) {
    Expected e;
    uint32_t waited = 0;
    size_t next = 0;
    for (;;) {
        uint8_t r[64] = {};
        int got = 0;
        if (next < late.size()) {
            got = late[next].result;
            if (got > 0)
                std::memcpy(r, late[next].bytes.data(), static_cast<size_t>(got));
            ++next;
        }
        if (got < 0) {
            e.rc = LINK_IO_ERROR;
            return e;
        }
        const bool other = got > 0 && r[2] == STX && r[1] <= 64 &&
                           lenientNibble(r[3]) * 16 + lenientNibble(r[4]) != command;
        const bool lateAnswer = other && owed > 0;
        if (lateAnswer)
            --owed;
        if (got == 0 || lateAnswer) {
            e.slept += POLL_INTERVAL_MS;
            waited += POLL_INTERVAL_MS;
            if (waited >= timeout) {
                e.rc = LINK_TIMEOUT;
                return e;
            }
            continue;
        }
        if (r[2] == WAIT_MARKER) {
            ++e.markers;
            waited = 0;
            continue;
        }
        if (r[2] == REFUSAL_MARKER) {
            e.rc = LINK_BAD_FRAME;
            return e;
        }
        if (r[1] > 64) {
            e.rc = LINK_BAD_SIZE;
            return e;
        }
        e.rc = refFrame(r, e.payload) ? LINK_OK : LINK_BAD_FRAME;
        return e;
    }
}

// A report from the fuzzer: raw bytes, or a sound frame it may then damage in
// one byte, so valid frames (and nearly valid ones) are common.
fakehid::Input readInput(fuzzin::Cursor& in, uint8_t command) {
    fakehid::Input x;
    const uint8_t kind = in.byte();
    switch (kind % 8) {
    case 0:
        x.result = 0;
        return x;
    case 1:
        x.result = -1;
        return x;
    case 2: // wait marker
        x.result = 64;
        x.bytes[0] = REPORT_ID;
        x.bytes[1] = 0x40;
        x.bytes[2] = WAIT_MARKER;
        return x;
    case 5:
    case 6: {
        const uint8_t cmd = kind & 0x80 ? in.byte() : command;
        const size_t count = in.byte() % 56;
        auto& b = x.bytes;
        b[0] = REPORT_ID;
        b[1] = 0x40;
        b[2] = STX;
        b[3] = static_cast<uint8_t>(NibbleToHex(cmd >> 4));
        b[4] = static_cast<uint8_t>(NibbleToHex(cmd & 0x0F));
        const size_t n = count + 1;
        b[5] = static_cast<uint8_t>(NibbleToHex(static_cast<uint8_t>(n >> 4)));
        b[6] = static_cast<uint8_t>(NibbleToHex(static_cast<uint8_t>(n & 0x0F)));
        for (size_t i = 0; i < count && 8 + i < 62; ++i)
            b[8 + i] = in.byte();
        if (7 + n < 64)
            b[7 + n] = ETX;
        uint8_t sum = 0;
        for (size_t i = 2; i <= 7 + n && i < 64; ++i)
            sum ^= b[i];
        if (8 + n < 64)
            b[8 + n] = sum;
        if (kind & 0x40) {
            const uint8_t at = in.byte() % 64;
            b[at] ^= in.byte();
        }
        x.result = 64;
        return x;
    }
    default:
        x.result = 1 + (kind >> 3) % 64;
        in.bytes(x.bytes);
        return x;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static VirtualClock clock;
    setClock(&clock);
    fuzzin::Cursor in(data, size);

    // The request.
    const uint8_t command = in.byte();
    std::vector<uint8_t> payload(in.byte() % 64);
    for (auto& b : payload)
        b = in.byte();
    const uint32_t timeout = POLL_INTERVAL_MS * (1 + in.byte() % 64);
    const uint8_t flags = in.byte();
    const bool writeFails = flags == 0xFF;
    // An earlier request on the same handle went unanswered.
    const bool earlierUnanswered = !writeFails && (flags & 1);
    // Nothing learnt about an earlier keypad carries over from the last run.
    CloseDevice();

    uint8_t request[REPORT_SIZE];
    const bool built =
        BuildRequestReport(command, payload.data(), static_cast<uint32_t>(payload.size()), request);
    FUZZ_CHECK(built == (payload.size() <= 55));
    if (built) {
        // The request layout, byte for byte.
        uint8_t want[REPORT_SIZE] = {REPORT_ID, 0x40, STX};
        const char* hex = "0123456789ABCDEF";
        want[3] = static_cast<uint8_t>(hex[command >> 4]);
        want[4] = static_cast<uint8_t>(hex[command & 15]);
        want[5] = static_cast<uint8_t>(hex[payload.size() >> 4]);
        want[6] = static_cast<uint8_t>(hex[payload.size() & 15]);
        if (!payload.empty())
            std::memcpy(want + 7, payload.data(), payload.size());
        want[7 + payload.size()] = ETX;
        uint8_t sum = 0;
        for (size_t i = 2; i <= 7 + payload.size(); ++i)
            sum ^= want[i];
        want[8 + payload.size()] = sum;
        FUZZ_CHECK(std::memcmp(want, request, REPORT_SIZE) == 0);
    }

    // The keypad: reports already waiting, then the answers.
    fakehid::reset(DEVICE_VENDOR_ID, DEVICE_PRODUCT_ID, DEVICE_INTERFACE);
    auto& dev = fakehid::device();
    hid_device* handle = hid_open_path("fake:0");
    if (earlierUnanswered) {
        uint32_t ignored = 0;
        auto lost = std::make_unique<uint8_t[]>(62);
        FUZZ_CHECK(USBEncoderSendAndReceive_a(handle, command, nullptr, 0, lost.get(),
                                              RESPONSE_CAPACITY, &ignored,
                                              POLL_INTERVAL_MS) == LINK_TIMEOUT);
        dev.writes.clear();
        fakehid::rearm(handle);
    }
    dev.writeResult = writeFails ? -1 : 64;
    for (int stale = in.byte() % 4; stale > 0; --stale) {
        fakehid::Input x = readInput(in, command);
        if (x.result <= 0)
            x.result = 64; // a report that is there
        dev.early.push_back(x);
    }
    while (!in.empty() && dev.late.size() < 300)
        dev.late.push_back(readInput(in, command));

    // The frame parser alone, on the first answer, into a buffer of exactly
    // the 62 bytes the callers are promised to need.
    if (!dev.late.empty()) {
        auto report = std::make_unique<uint8_t[]>(REPORT_SIZE);
        std::memcpy(report.get(), dev.late.front().bytes.data(), REPORT_SIZE);
        auto out = std::make_unique<uint8_t[]>(62);
        uint32_t outLength = 0xC0FFEEu;
        std::vector<uint8_t> want;
        const bool valid = refFrame(report.get(), want);
        const int rc = ParseResponseFrame(report.get(), out.get(), &outLength);
        FUZZ_CHECK(rc == (valid ? 0 : FRAME_INVALID));
        if (valid)
            FUZZ_CHECK(outLength == want.size() && std::equal(want.begin(), want.end(), out.get()));
        else
            FUZZ_CHECK(outLength == 0xC0FFEEu);
    }

    // The whole exchange.
    const std::deque<fakehid::Input> early = dev.early;
    const std::deque<fakehid::Input> late = dev.late;
    auto response = std::make_unique<uint8_t[]>(62);
    uint32_t responseLength = 0xC0FFEEu;
    const uint64_t slept = clock.slept_ms();
    const int rc = USBEncoderSendAndReceive_a(handle, command, payload.data(),
                                              static_cast<uint32_t>(payload.size()), response.get(),
                                              RESPONSE_CAPACITY, &responseLength, timeout);
    const uint64_t took = clock.slept_ms() - slept;
    hid_exit_safely(handle);

    if (!built || writeFails) {
        FUZZ_CHECK(rc == LINK_IO_ERROR && took == 0 && responseLength == 0xC0FFEEu);
        FUZZ_CHECK(dev.writes.empty() || writeFails);
        return 0;
    }
    // Everything waiting before the request was read and dropped.
    FUZZ_CHECK(dev.early.empty());
    FUZZ_CHECK(dev.writes.size() == 1 && std::memcmp(dev.writes[0].data(), request, 64) == 0);

    int owed = earlierUnanswered ? 1 : 0;
    for (const fakehid::Input& x : early)
        if (endsARequest(x) && owed > 0)
            --owed;
    const Expected e = refExchange(command, timeout, late, owed);
    FUZZ_CHECK(rc == e.rc);
    FUZZ_CHECK(took == e.slept);
    FUZZ_CHECK(took <= static_cast<uint64_t>(timeout) * (1 + e.markers));
    if (rc == LINK_OK) {
        FUZZ_CHECK(responseLength == e.payload.size() && responseLength <= 54);
        FUZZ_CHECK(std::equal(e.payload.begin(), e.payload.end(), response.get()));
    } else {
        FUZZ_CHECK(responseLength == 0xC0FFEEu);
    }
    return 0;
}
