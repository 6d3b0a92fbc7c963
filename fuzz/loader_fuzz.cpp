// libFuzzer target for the loader library's reply handling. The fuzzer's bytes
// choose loader commands (password, version, erase, CRC, acknowledged and fast
// downloads, Load PC, reconnecting) and the reports the loader sends back:
// stale ones waiting before the command, then the reply, a time-out or a read
// error. Every result, every byte of the receive buffer and every report sent
// must be what a plain reading of the loader's packet rules gives.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "bsl/bsl430.h"
#include "bsl/device_notifier.h"
#include "fake_hidapi.h"
#include "fuzz_input.h"
#include "platform/clock.h"

// The fuzz target registers no device-change callback.
std::unique_ptr<orvex::bsl::DeviceNotifier> orvex::bsl::makeDeviceNotifier() {
    return nullptr;
}

namespace {

using namespace orvex;

constexpr const char* kSelection = "PID=0x0200,VID=0x2047,DEVICEINDEX=0";
using Report = std::array<uint8_t, 64>;

struct Model {
    bool open = true;
    dataBuffer rx{};
    std::vector<Report> writes;
    int writeResult = 64;
};

Report core(std::initializer_list<uint8_t> bytes, const std::vector<uint8_t>& more = {}) {
    Report r{};
    r[0] = 0x3F;
    r[1] = static_cast<uint8_t>(bytes.size() + more.size());
    size_t i = 2;
    for (uint8_t b : bytes)
        r[i++] = b;
    for (uint8_t b : more)
        r[i++] = b;
    return r;
}

// The reports the loader sends back for one command: `replies` as the reference
// reads them; the same go to the scripted device for the library.
struct Script {
    std::vector<fakehid::Input> replies;
    size_t next = 0;
};

// Stale reports first (the library must drain them), then the replies, each a
// time-out, a read error, a well-formed reply of some size or raw bytes.
Script script(fuzzin::Cursor& in, int replies) {
    auto& dev = fakehid::device();
    dev.early.clear();
    dev.late.clear();
    for (int stale = in.byte() % 3; stale > 0; --stale) {
        fakehid::Input x;
        x.result = 64;
        in.bytes(x.bytes);
        dev.early.push_back(x);
    }
    Script s;
    for (int i = 0; i < replies; ++i) {
        fakehid::Input x;
        const uint8_t kind = in.byte();
        if (kind % 16 == 0) {
            x.result = 0;
        } else if (kind % 16 == 1) {
            x.result = -1;
        } else if (kind % 16 < 8) {
            x.result = 64;
            x.bytes[0] = 0x3F;
            const uint8_t nl = static_cast<uint8_t>(1 + in.byte() % 8);
            x.bytes[1] = nl;
            x.bytes[2] = kind & 0x20 ? 0x3A : 0x3B;
            for (int j = 0; j < nl - 1; ++j)
                x.bytes[3 + j] = kind & 0x40 ? in.byte() : 0;
        } else {
            x.result = 1 + (kind >> 4) % 64;
            in.bytes(x.bytes);
        }
        s.replies.push_back(x);
        dev.late.push_back(x);
    }
    return s;
}

// One command with a reply, as the packet rules read: the request written, the
// reply a report of id 0x3F whose length byte fits what was read. Returns the
// library's code and leaves `rx` as the library should.
uint8_t exchange(Model& m, Script& s, const Report& request, int dataSize) {
    m.rx = dataBuffer{};
    if (!m.open)
        return BSL_ERR_NOT_OPEN;
    if (m.writeResult > 0)
        m.writes.push_back(request);
    if (m.writeResult != 64)
        return BSL_ERR_IO;
    if (s.next >= s.replies.size())
        return BSL_ERR_TIMEOUT;
    const fakehid::Input reply = s.replies[s.next++];
    if (reply.result == 0)
        return BSL_ERR_TIMEOUT;
    if (reply.result < 0)
        return BSL_ERR_IO;
    Report r{};
    std::memcpy(r.data(), reply.bytes.data(), static_cast<size_t>(reply.result));
    const size_t nl = r[1];
    if (r[0] != 0x3F || nl == 0 || nl > 62 || static_cast<size_t>(reply.result) < nl + 2)
        return BSL_ERR_REPLY;
    m.rx.data[1] = 0x80;
    m.rx.data[2] = static_cast<uint8_t>(nl);
    std::memcpy(m.rx.data + 4, r.data() + 2, nl);
    m.rx.length = static_cast<uint32_t>(4 + nl);
    if (dataSize < 0) // a message reply: 0x3B and its code
        return r[2] == 0x3B && nl == 2 ? r[3] : BSL_ERR_REPLY;
    if (r[2] == 0x3B && nl == 2 && r[3] != 0)
        return r[3];
    return r[2] == 0x3A && nl == static_cast<size_t>(dataSize) + 1 ? 0 : BSL_ERR_REPLY;
}

// A report without a reply (Load PC, fast download).
uint8_t send(Model& m, const Report& request) {
    if (!m.open)
        return BSL_ERR_NOT_OPEN;
    if (m.writeResult > 0)
        m.writes.push_back(request);
    return m.writeResult == 64 ? 0 : BSL_ERR_IO;
}

uint32_t address(fuzzin::Cursor& in) {
    return in.byte() | in.byte() << 8 | (in.byte() & 0x1F) << 16; // sometimes past 20 bits
}

// After a command: stale reports drained when the command went out, exactly
// the replies it read taken, the receive buffer as the rules leave it.
void after(const Model& m, const Script& s, bool drained) {
    const auto& dev = fakehid::device();
    FUZZ_CHECK(!drained || dev.early.empty());
    FUZZ_CHECK(dev.late.size() == s.replies.size() - s.next);
    const dataBuffer got = BSL_get_RX_Buffer();
    FUZZ_CHECK(got.length == m.rx.length && got.length <= sizeof got.data);
    FUZZ_CHECK(std::memcmp(got.data, m.rx.data, sizeof got.data) == 0);
    FUZZ_CHECK(dev.writes == m.writes);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static VirtualClock clock;
    setClock(&clock);
    fuzzin::Cursor in(data, size);

    fakehid::reset(0x2047, 0x0200, 0);
    auto& dev = fakehid::device();
    dev.byTimeout = true;
    BSL_setFamily(3);
    BSL_setCom(2);
    FUZZ_CHECK(BSL_initialize_BSL(kSelection) == 0);
    Model m;

    for (int op = 0; op < 24 && !in.empty(); ++op) {
        const uint8_t choice = in.byte();
        // Now and then the write fails or comes up short.
        const uint8_t w = in.byte();
        m.writeResult = w == 0xFF ? -1 : w == 0xFE ? 10 : 64;
        dev.writeResult = m.writeResult;
        switch (choice % 8) {
        case 0: { // password
            Script s = script(in, 1);
            const uint8_t want = exchange(m, s, core({0x11}, std::vector<uint8_t>(32, 0xFF)), -1);
            FUZZ_CHECK(BSL_RX_Password(BSL_getDefaultPass()) == want);
            after(m, s, m.open);
            break;
        }
        case 1: { // version
            Script s = script(in, 1);
            const uint8_t code = exchange(m, s, core({0x19}), 4);
            char text[48];
            std::snprintf(text, sizeof text, "Maker:0x%02X CI:0x%02X API:0x%02X PI:0x%02X",
                          m.rx.data[5], m.rx.data[6], m.rx.data[7], m.rx.data[8]);
            const std::string want = code == 0 ? text : "ERROR";
            FUZZ_CHECK(BSL_TX_BSL_Version_String() == want);
            after(m, s, m.open);
            break;
        }
        case 2: { // erase segment
            const uint32_t a = address(in);
            Script s = script(in, 1);
            if (a >= 0x100000) {
                FUZZ_CHECK(BSL_eraseSegment(a) == BSL_ERR_ARGUMENT);
                after(m, s, false);
                break;
            }
            const uint8_t want =
                exchange(m, s, core({0x12, uint8_t(a), uint8_t(a >> 8), uint8_t(a >> 16)}), -1);
            FUZZ_CHECK(BSL_eraseSegment(a) == want);
            after(m, s, m.open);
            break;
        }
        case 3: { // CRC
            const uint32_t a = address(in);
            const uint32_t length = in.byte() | in.byte() << 8 | (in.byte() & 1) << 16;
            Script s = script(in, 1);
            if (a >= 0x100000 || length > 0xFFFF || length > 0x100000 - a) {
                FUZZ_CHECK(BSL_CRC_Check(a, length) == BSL_ERR_ARGUMENT);
                m.rx = dataBuffer{};
                after(m, s, false);
                break;
            }
            const uint8_t want = exchange(m, s,
                                          core({0x16, uint8_t(a), uint8_t(a >> 8), uint8_t(a >> 16),
                                                uint8_t(length), uint8_t(length >> 8)}),
                                          2);
            FUZZ_CHECK(BSL_CRC_Check(a, length) == want);
            after(m, s, m.open);
            break;
        }
        case 4:   // acknowledged download
        case 5: { // fast download: no replies
            const bool fast = choice % 8 == 5;
            uint32_t a = address(in) & 0xFFFFF;
            std::vector<uint8_t> bytes(1 + in.byte() % 150);
            for (auto& b : bytes)
                b = in.byte();
            if (a + bytes.size() > 0x100000)
                a = static_cast<uint32_t>(0x100000 - bytes.size());
            std::string text;
            char line[16];
            std::snprintf(line, sizeof line, "@%X\n", a);
            text += line;
            for (size_t i = 0; i < bytes.size(); ++i) {
                std::snprintf(line, sizeof line, "%02X%c", bytes[i],
                              i % 16 == 15 || i + 1 == bytes.size() ? '\n' : ' ');
                text += line;
            }
            text += "q\n";
            // The reset vector (0xFFFE) and what precedes it in the run go
            // last, so a download cut short leaves the vector blank.
            std::vector<std::pair<size_t, size_t>> spans; // offset, size
            if (a <= 0xFFFE && 0xFFFE - a < bytes.size()) {
                const size_t head = std::min<size_t>(bytes.size(), 0xFFFE + 2 - a);
                if (head < bytes.size())
                    spans.push_back({head, bytes.size() - head});
                spans.push_back({0, head});
            } else {
                spans.push_back({0, bytes.size()});
            }
            std::vector<std::pair<size_t, size_t>> pieces; // offset, size
            for (const auto& [start, size] : spans)
                for (size_t off = 0; off < size; off += 58)
                    pieces.push_back({start + off, std::min<size_t>(58, size - off)});
            const size_t packets = pieces.size();
            Script s = script(in, fast ? 0 : static_cast<int>(packets));
            uint32_t want = m.open ? 0 : BSL_ERR_NOT_OPEN;
            for (size_t p = 0; m.open && p < packets && want == 0; ++p) {
                const size_t off = pieces[p].first;
                const size_t n = pieces[p].second;
                const uint32_t at = a + static_cast<uint32_t>(off);
                const Report request = core(
                    {uint8_t(fast ? 0x1B : 0x10), uint8_t(at), uint8_t(at >> 8), uint8_t(at >> 16)},
                    std::vector<uint8_t>(bytes.begin() + static_cast<std::ptrdiff_t>(off),
                                         bytes.begin() + static_cast<std::ptrdiff_t>(off + n)));
                want = fast ? send(m, request) : exchange(m, s, request, -1);
            }
            FUZZ_CHECK(BSL_RX_TXT(text, fast ? 1 : 0) == want);
            // Fast packets are sent without draining anything.
            after(m, s, m.open && !fast);
            break;
        }
        case 6: { // Load PC
            const uint32_t a = address(in);
            Script s = script(in, 0);
            const uint8_t want =
                a >= 0x100000
                    ? BSL_ERR_ARGUMENT
                    : send(m, core({0x17, uint8_t(a), uint8_t(a >> 8), uint8_t(a >> 16)}));
            FUZZ_CHECK(BSL_LoadPC(a) == want);
            after(m, s, false);
            break;
        }
        default: { // reconnect, the loader there or not
            const bool present = in.byte() % 4 != 0;
            Script s = script(in, 0);
            dev.present = present;
            FUZZ_CHECK(BSL_initialize_BSL(kSelection) == (present ? 0 : 1));
            dev.present = true;
            m.open = present;
            m.rx = dataBuffer{};
            after(m, s, false);
            break;
        }
        }
    }
    BSL_close_BSL();
    FUZZ_CHECK(dev.openCount == 0);
    return 0;
}
