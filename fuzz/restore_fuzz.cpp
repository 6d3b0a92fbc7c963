// libFuzzer target for the configuration restore's value reading: any file is
// read by the restore as a plain reading of its rules says (decimal 32-bit
// numbers with optional sign and blanks, twenty comma-separated table values),
// and then the keypad receives exactly the commands those values call for, in
// order, or nothing at all when a value cannot be read. A keypad that refuses
// one of the commands (chosen by the input) stops the restore with one warning.
// The keypad is a scripted hidapi device that answers every request.

#include <array>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include <unistd.h>

#include "config/ini_file.h"
#include "config/utility_config.h"
#include "device/device_commands.h"
#include "device/hid_link.h"
#include "fake_hidapi.h"
#include "fuzz_input.h"
#include "platform/clock.h"
#include "platform/prompter.h"

namespace {

using namespace orvex;
namespace fs = std::filesystem;

class CountingPrompter : public Prompter {
public:
    MsgAnswer message(const std::string&, const std::string&, MsgButtons, MsgIcon) override {
        ++messages;
        return MsgAnswer::Ok;
    }
    std::optional<std::string> openFile(const std::string&, const std::string&) override {
        return std::nullopt;
    }
    std::optional<std::string> pickFolder(const std::string&) override { return std::nullopt; }
    int messages = 0;
};

const std::string& workFile() {
    return fuzzin::workFile("restore-fuzz.ini");
}

// A decimal 32-bit integer with optional sign, blanks around it, nothing else.
std::optional<int> refNumber(const std::string& text) {
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(begin, &end, 10);
    if (end == begin || errno == ERANGE || v < INT_MIN || v > INT_MAX)
        return std::nullopt;
    // strtoll takes leading blanks and a sign but no blank between sign and digits.
    size_t i = 0;
    while (i < text.size() && std::string(" \t\n\v\f\r").find(text[i]) != std::string::npos)
        ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        ++i;
    if (i >= text.size() || text[i] < '0' || text[i] > '9')
        return std::nullopt;
    for (size_t j = static_cast<size_t>(end - begin); j < text.size(); ++j)
        if (std::string(" \t\n\v\f\r").find(text[j]) == std::string::npos || text[j] == '\0')
            return std::nullopt;
    return static_cast<int>(v);
}

std::optional<std::vector<uint8_t>> refTable(const std::string& text) {
    std::vector<std::string> pieces(1);
    for (char c : text) {
        if (c == ',')
            pieces.emplace_back();
        else
            pieces.back() += c;
    }
    if (pieces.size() < 20)
        return std::nullopt;
    std::vector<uint8_t> table;
    for (size_t i = 0; i < 20; ++i) {
        const auto v = refNumber(pieces[i]);
        if (!v)
            return std::nullopt;
        table.push_back(static_cast<uint8_t>(static_cast<uint32_t>(*v)));
    }
    return table;
}

struct Sent {
    uint8_t command;
    std::vector<uint8_t> payload;
    bool operator==(const Sent&) const = default;
};

int strictNibble(uint8_t c) {
    return c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static VirtualClock clock;
    static CountingPrompter prompts;
    setClock(&clock);
    setPrompter(&prompts);
    fuzzin::Cursor in(data, size);
    const int refuseAt = in.byte() % 12; // 0: the keypad takes every command

    // The number reader on its own.
    std::string number;
    for (int m = in.byte() % 32; m > 0; --m)
        number += static_cast<char>(in.byte());
    const auto wantNumber = refNumber(number);
    try {
        const int v = ReadConfigNumber(number, "Key");
        FUZZ_CHECK(wantNumber && *wantNumber == v);
    } catch (const ConfigValueError& e) {
        FUZZ_CHECK(!wantNumber && e.key() == "Key");
    }

    const std::string text = in.rest();
    {
        std::ofstream f(workFile(), std::ios::binary | std::ios::trunc);
        f.write(text.data(), static_cast<std::streamsize>(text.size()));
    }

    // The keypad: records each request and answers it, or refuses one.
    fakehid::reset(DEVICE_VENDOR_ID, DEVICE_PRODUCT_ID, DEVICE_INTERFACE);
    auto& dev = fakehid::device();
    std::vector<Sent> sent;
    dev.onWrite = [&](const std::array<uint8_t, 64>& r) {
        const int hi = strictNibble(r[3]), lo = strictNibble(r[4]);
        const int lhi = strictNibble(r[5]), llo = strictNibble(r[6]);
        FUZZ_CHECK(r[2] == STX && hi >= 0 && lo >= 0 && lhi >= 0 && llo >= 0);
        const int len = lhi * 16 + llo;
        FUZZ_CHECK(len <= 55);
        const uint8_t cmd = static_cast<uint8_t>(hi * 16 + lo);
        // Status reads (the keypad's serial number, before and after its
        // restart) change nothing: only what is sent to change it counts.
        const bool statusRead = cmd == GetStatus;
        if (!statusRead)
            sent.push_back({cmd, std::vector<uint8_t>(r.begin() + 7, r.begin() + 7 + len)});
        fakehid::Input answer;
        answer.result = 64;
        auto& b = answer.bytes;
        b[0] = REPORT_ID;
        b[1] = 0x40;
        if (!statusRead && static_cast<int>(sent.size()) == refuseAt) {
            b[2] = REFUSAL_MARKER;
        } else {
            const uint8_t frame[] = {STX, r[3], r[4], '0', '1', 0, ETX};
            std::memcpy(b.data() + 2, frame, sizeof frame);
            uint8_t sum = 0;
            for (uint8_t x : frame)
                sum ^= x;
            b[9] = sum;
        }
        dev.late.push_back(answer);
    };
    FUZZ_CHECK(RescanForDevice());
    prompts.messages = 0;

    // What the file calls for.
    std::vector<Sent> want;
    enum { Format, Value, NotSaved, Plan } kind = Plan;
    std::string badKey;
    try {
        const auto get = [&](const char* key) {
            return CIniFile::GetValue(key, kConfigSection, workFile());
        };
        if (get("FirstUp") != "Yes") {
            kind = NotSaved;
        } else {
            const char* keys[] = {"Options",   "KeypadLayout", "LedBrightness",
                                  "LedColour", "Buzzer",       "BuzzerPeriod"};
            std::optional<int> v[6];
            std::optional<std::vector<uint8_t>> table;
            for (int i = 0; i < 6 && kind == Plan; ++i) {
                v[i] = refNumber(get(keys[i]));
                if (!v[i]) {
                    kind = Value;
                    badKey = keys[i];
                }
                // The table is read right after the layout, and only for 2, 5, 8.
                if (i == 1 && v[1] && (*v[1] == 2 || *v[1] == 5 || *v[1] == 8)) {
                    table = refTable(get("CodeTableValues"));
                    if (!table) {
                        kind = Value;
                        badKey = "CodeTableValues";
                    }
                }
            }
            if (kind == Plan) {
                const auto low = [](int x) {
                    return static_cast<uint8_t>(static_cast<uint32_t>(x));
                };
                want = {
                    {SetOptions, {low(*v[0])}}, {FactoryReset, {}}, {SetKeypadType, {low(*v[1])}}};
                if (table)
                    want.push_back({LoadCodeTable, *table});
                want.push_back({SetLedBrightness, {low(*v[2])}});
                want.push_back({SetJackLedBrightness, {low(*v[3])}});
                want.push_back({SetBuzzer, {low(*v[4])}});
                want.push_back(
                    {SetBuzzerPeriod, {static_cast<uint8_t>(static_cast<uint32_t>(*v[5]) + 1u)}});
                want.push_back({WriteDefaults, {}});
            }
        }
    } catch (const IniFormatError&) {
        kind = Format;
    }

    // The restore.
    RestoreResult result = RestoreResult::NotSaved;
    bool threwFormat = false, threwValue = false;
    try {
        if (const auto values = ReadRestoreValues(workFile()))
            result = SendRestoreValues(*values, OpenKeypadIdentity());
    } catch (const IniFormatError&) {
        threwFormat = true;
    } catch (const ConfigValueError& e) {
        threwValue = true;
        FUZZ_CHECK(e.key() == badKey);
    }
    CloseDevice();

    FUZZ_CHECK(threwFormat == (kind == Format));
    FUZZ_CHECK(threwValue == (kind == Value));
    if (kind != Plan) {
        // Nothing reaches the keypad from a file that cannot be read whole.
        FUZZ_CHECK(sent.empty() && prompts.messages == 0);
        FUZZ_CHECK(kind != NotSaved || result == RestoreResult::NotSaved);
        return 0;
    }

    // A refused command ends the restore, except the factory reset, whose
    // answer is never looked at.
    RestoreResult wantResult = RestoreResult::Restored;
    size_t stop = want.size();
    for (size_t i = 0; i < want.size(); ++i) {
        if (static_cast<int>(i) + 1 == refuseAt && want[i].command != FactoryReset) {
            stop = i + 1;
            wantResult = want[i].command == LoadCodeTable ? RestoreResult::TableRefused
                                                          : RestoreResult::Stopped;
            break;
        }
    }
    want.resize(stop);
    FUZZ_CHECK(sent == want);
    FUZZ_CHECK(result == wantResult);
    FUZZ_CHECK(prompts.messages == (wantResult == RestoreResult::Restored ? 0 : 1));
    return 0;
}
