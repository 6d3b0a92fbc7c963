#include "keypad_model.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <sstream>

namespace orvex::sim {

namespace {

constexpr uint8_t STX = 0x02;
constexpr uint8_t ETX = 0x03;
constexpr uint8_t WAIT = 0x06;
constexpr uint8_t REFUSE = 0x0F;

char hexDigit(uint8_t n) {
    return static_cast<char>(n < 10 ? '0' + n : 'A' + (n - 10));
}

// The firmware only accepts upper-case digits.
int strictNibble(uint8_t c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

int strictByte(const uint8_t* p) {
    const int hi = strictNibble(p[0]);
    const int lo = strictNibble(p[1]);
    return hi < 0 || lo < 0 ? -1 : (hi << 4) | lo;
}

int groupOf(int type) {
    return type <= 2 ? 0 : type <= 5 ? 1 : 2;
}
int groupLength(int group) {
    return group == 0 ? 20 : group == 1 ? 24 : 32;
}

std::array<uint8_t, 32> tableOfUsages(std::initializer_list<uint8_t> usages) {
    std::array<uint8_t, 32> t{};
    size_t k = 0;
    for (uint8_t u : usages) {
        t[2 * k + 1] = u;
        ++k;
    }
    return t;
}

std::array<uint8_t, 32> usageRun(uint8_t first, int keys) {
    std::array<uint8_t, 32> t{};
    for (int k = 0; k < keys; ++k)
        t[2 * k + 1] = static_cast<uint8_t>(first + k);
    return t;
}

// Default and alternate tables live in the firmware image and never change.
// Group 0: the default table sends F15..F24 for the five to eight keys and the
// two jack events; the alternate table sends navigation keys.
const std::array<std::array<uint8_t, 32>, 9>& romTables() {
    static const std::array<std::array<uint8_t, 32>, 9> t = {
        usageRun(0x6A, 10),                                                          // 0 F15..F24
        tableOfUsages({0x52, 0x51, 0x50, 0x4F, 0x28, 0x29, 0x2B, 0x2C, 0x68, 0x69}), // 1
        usageRun(0x1E, 10), // 2 factory custom
        usageRun(0x68, 12), // 3 F13..F24
        usageRun(0x59, 12), // 4 keypad 1..
        usageRun(0x04, 12), // 5 factory custom
        usageRun(0x68, 16), // 6
        usageRun(0x54, 16), // 7
        usageRun(0x04, 16), // 8 factory custom
    };
    return t;
}

} // namespace

Report BuildResponse(uint8_t command, const std::vector<uint8_t>& payload, uint8_t result) {
    Report r{};
    // A frame must fit one report: at most 54 payload bytes.
    const size_t count = std::min<size_t>(payload.size(), kReport - 10);
    const size_t n = count + 1;
    r[0] = 0x3F;
    r[1] = 0x40;
    r[2] = STX;
    r[3] = static_cast<uint8_t>(hexDigit(command >> 4));
    r[4] = static_cast<uint8_t>(hexDigit(command & 0x0F));
    r[5] = static_cast<uint8_t>(hexDigit(static_cast<uint8_t>(n >> 4) & 0x0F));
    r[6] = static_cast<uint8_t>(hexDigit(n & 0x0F));
    r[7] = result;
    std::copy(payload.begin(), payload.begin() + static_cast<long>(count), r.begin() + 8);
    r[7 + n] = ETX;
    uint8_t sum = 0;
    for (size_t i = 2; i <= 7 + n; ++i)
        sum ^= r[i];
    r[8 + n] = sum;
    return r;
}

Report MarkerReport(uint8_t marker) {
    Report r{};
    r[0] = 0x3F;
    r[1] = 0x40;
    r[2] = marker;
    return r;
}

KeypadSettings KeypadModel::factorySettings() {
    KeypadSettings s;
    s.ledBrightness = 5;
    s.jackLedBrightness = 5;
    s.buzzer = 1;
    s.buzzerPeriod = 3;
    s.keypadType = 0;
    s.customTables = {romTables()[2], romTables()[5], romTables()[8]};
    return s;
}

KeypadModel::KeypadModel() : running_(factorySettings()), powerUp_(running_) {}

void KeypadModel::setHooks(Hooks h) {
    std::lock_guard lock(m_);
    hooks_ = std::move(h);
}

std::array<uint8_t, 32> KeypadModel::tableForType(int type) const {
    std::lock_guard lock(m_);
    if (type < 0 || type > 8)
        type = 8;
    if (type == 2 || type == 5 || type == 8)
        return running_.customTables[static_cast<size_t>(groupOf(type))];
    return romTables()[static_cast<size_t>(type)];
}

bool KeypadModel::versionFits(const std::string& version, int keypadType) {
    // Settings, table, version with its NUL and the serial in one answer.
    const size_t status =
        6 + static_cast<size_t>(groupLength(groupOf(keypadType))) + version.size() + 1 + 12;
    return version.size() <= 11 && version.find('\0') == std::string::npos &&
           status <= kReport - 10;
}

std::vector<uint8_t> KeypadModel::statusPayload() const {
    const KeypadSettings& s = running_;
    std::vector<uint8_t> p = {s.ledBrightness, s.jackLedBrightness, s.buzzer,
                              options_,        s.buzzerPeriod,      s.keypadType};
    const int type = s.keypadType;
    const int n = groupLength(groupOf(type));
    const auto table = (type == 2 || type == 5 || type == 8)
                           ? s.customTables[static_cast<size_t>(groupOf(type))]
                           : romTables()[static_cast<size_t>(type)];
    p.insert(p.end(), table.begin(), table.begin() + n);
    p.insert(p.end(), version_.begin(), version_.end());
    p.push_back(0);
    p.insert(p.end(), serial_.begin(), serial_.end());
    return p;
}

void KeypadModel::queue(const Report& r, uint64_t at) {
    out_.emplace_back(at, r);
}

void KeypadModel::receive(const uint8_t* data, size_t length, uint64_t now) {
    if (length < kReport)
        return;
    std::function<void()> after;
    {
        std::lock_guard lock(m_);
        if (!out_.empty())
            ++overlapped_;
        process(data, now);
        // Restart requests are carried out after the lock is released: the bus
        // calls back into the model.
        after = std::move(pendingHook_);
        pendingHook_ = nullptr;
    }
    if (after)
        after();
}

void KeypadModel::process(const uint8_t* req, uint64_t now) {
    const int cmd = strictByte(req + 3);
    const int len = strictByte(req + 5);
    bool valid = req[2] == STX && cmd >= 0 && len >= 0 && len <= 55;
    if (valid) {
        uint8_t sum = 0;
        for (int i = 2; i < 7 + len; ++i)
            sum ^= req[i];
        valid = req[7 + len] == ETX && req[8 + len] == (sum ^ ETX);
    }
    if (!valid) {
        queue(MarkerReport(REFUSE), now);
        return;
    }
    const std::vector<uint8_t> payload(req + 7, req + 7 + len);
    log_.push_back({static_cast<uint8_t>(cmd), payload});

    Fault fault;
    bool faulted = false;
    if (!faults_.empty()) {
        fault = faults_.front();
        faults_.pop_front();
        faulted = true;
    }
    if (faulted && fault.kind == Fault::Silence)
        return;
    if (faulted && fault.kind == Fault::Refuse) {
        queue(MarkerReport(REFUSE), now);
        return;
    }

    std::vector<uint8_t> answer;
    bool ok = true;
    auto one = [&](uint8_t max, uint8_t min = 0) {
        return len == 1 && payload[0] >= min && payload[0] <= max;
    };
    KeypadSettings& s = running_;
    switch (cmd) {
    case 1:
        ok = len == 0;
        answer = statusPayload();
        break;
    case 2:
        if ((ok = one(9)))
            s.ledBrightness = payload[0];
        break;
    case 3:
        if ((ok = one(9)))
            s.jackLedBrightness = payload[0];
        break;
    case 4:
        if ((ok = one(1)))
            s.buzzer = payload[0];
        break;
    case 5: {
        ok = len == 20 || len == 24 || len == 32;
        if (ok) {
            const int g = groupOf(s.keypadType);
            const int n = std::min(len, groupLength(g));
            std::copy(payload.begin(), payload.begin() + n,
                      s.customTables[static_cast<size_t>(g)].begin());
        }
        break;
    }
    case 6:
        if ((ok = one(9, 1)))
            s.buzzerPeriod = payload[0];
        break;
    case 7:
        if ((ok = one(8)))
            s.keypadType = payload[0];
        break;
    case 9:
        if ((ok = len == 0))
            powerUp_ = running_;
        break;
    case 10:
        if ((ok = len == 0)) {
            running_ = powerUp_ = factorySettings();
            out_.clear();
            const uint32_t delay = restartDelayMs_;
            pendingHook_ = [this, delay] {
                if (hooks_.restart)
                    hooks_.restart(delay);
            };
        }
        break;
    case 11:
        if ((ok = len == 1))
            options_ = payload[0];
        break;
    case 12:
        if ((ok = len == 0)) {
            out_.clear();
            pendingHook_ = [this] {
                if (hooks_.enterBootloader)
                    hooks_.enterBootloader();
            };
        }
        break;
    case 13:
        ok = one(9);
        break;
    case 14:
        if ((ok = len == 12))
            serial_.assign(payload.begin(), payload.end());
        break;
    default:
        ok = false;
        break;
    }
    if (!ok) {
        queue(MarkerReport(REFUSE), now);
        return;
    }

    if (faulted && fault.kind == Fault::UnplugDuring) {
        pendingHook_ = [this] {
            if (hooks_.unplug)
                hooks_.unplug();
        };
        return;
    }
    if (faulted && cmd == 1 && fault.kind == Fault::ShortStatus)
        answer.resize(std::min(answer.size(), static_cast<size_t>(fault.count)));
    if (faulted && cmd == 1 && fault.kind == Fault::NoVersionEnd) {
        // Version text running into the serial number and on to the end.
        const size_t start = 6 + static_cast<size_t>(groupLength(groupOf(s.keypadType)));
        for (size_t i = start; i < answer.size(); ++i)
            if (answer[i] == 0)
                answer[i] = '.';
    }
    Report r = BuildResponse(static_cast<uint8_t>(answerCommand_ < 0 ? cmd : answerCommand_),
                             answer, faulted && fault.kind == Fault::NonZeroResult ? 1 : 0);
    // Data length as framed: BuildResponse cuts what does not fit one report.
    const size_t n = std::min<size_t>(answer.size(), kReport - 10) + 1;
    uint64_t at = now;
    if (faulted) {
        switch (fault.kind) {
        case Fault::BadChecksum:
            r[8 + n] ^= 0x5A;
            break;
        case Fault::BadSize:
            r[1] = 0x41;
            break;
        case Fault::LowerCaseLength:
            r[5] = static_cast<uint8_t>(std::tolower(r[5]));
            r[6] = static_cast<uint8_t>(std::tolower(r[6]));
            break;
        case Fault::BadLength:
            r[5] = '3';
            r[6] = 'F';
            break;
        case Fault::WaitMarkers:
            for (int i = 1; i <= fault.count; ++i)
                queue(MarkerReport(WAIT), now + static_cast<uint64_t>(i) * fault.gapMs);
            at = now + static_cast<uint64_t>(fault.count + 1) * fault.gapMs;
            break;
        case Fault::Late:
            at = now + fault.delayMs;
            break;
        default:
            break;
        }
    }
    queue(r, at);
}

bool KeypadModel::takeInput(Report& out, uint64_t now) {
    std::lock_guard lock(m_);
    if (out_.empty() || out_.front().first > now)
        return false;
    out = out_.front().second;
    out_.pop_front();
    return true;
}

bool KeypadModel::hasPendingInput() const {
    std::lock_guard lock(m_);
    return !out_.empty();
}

void KeypadModel::powerCycle() {
    std::lock_guard lock(m_);
    running_ = powerUp_;
    out_.clear();
}

void KeypadModel::clearInput() {
    std::lock_guard lock(m_);
    out_.clear();
}

void KeypadModel::injectFault(Fault f, int times) {
    std::lock_guard lock(m_);
    for (int i = 0; i < times; ++i)
        faults_.push_back(f);
}

void KeypadModel::clearFaults() {
    std::lock_guard lock(m_);
    faults_.clear();
}

std::vector<ReceivedCommand> KeypadModel::log() const {
    std::lock_guard lock(m_);
    return log_;
}

void KeypadModel::clearLog() {
    std::lock_guard lock(m_);
    log_.clear();
}

KeypadSettings KeypadModel::running() const {
    std::lock_guard lock(m_);
    return running_;
}

KeypadSettings KeypadModel::powerUp() const {
    std::lock_guard lock(m_);
    return powerUp_;
}

void KeypadModel::setRunning(const KeypadSettings& s) {
    std::lock_guard lock(m_);
    running_ = s;
}

void KeypadModel::setPowerUp(const KeypadSettings& s) {
    std::lock_guard lock(m_);
    powerUp_ = s;
}

uint8_t KeypadModel::options() const {
    std::lock_guard lock(m_);
    return options_;
}

void KeypadModel::setOptions(uint8_t o) {
    std::lock_guard lock(m_);
    options_ = o;
}

std::string KeypadModel::serial() const {
    std::lock_guard lock(m_);
    return serial_;
}

void KeypadModel::setSerial(const std::string& s) {
    std::lock_guard lock(m_);
    serial_ = s.substr(0, 12);
    serial_.resize(12, ' ');
}

std::string KeypadModel::version() const {
    std::lock_guard lock(m_);
    return version_;
}

bool KeypadModel::setVersion(const std::string& v) {
    std::lock_guard lock(m_);
    if (!versionFits(v, running_.keypadType))
        return false;
    version_ = v;
    return true;
}

uint32_t KeypadModel::restartDelayMs() const {
    std::lock_guard lock(m_);
    return restartDelayMs_;
}

void KeypadModel::setRestartDelayMs(uint32_t ms) {
    std::lock_guard lock(m_);
    restartDelayMs_ = ms;
}

namespace {

void putSettings(std::ostringstream& o, const char* name, const KeypadSettings& s) {
    o << name << ' ' << int(s.ledBrightness) << ' ' << int(s.jackLedBrightness) << ' '
      << int(s.buzzer) << ' ' << int(s.buzzerPeriod) << ' ' << int(s.keypadType);
    for (const auto& table : s.customTables)
        for (uint8_t b : table)
            o << ' ' << int(b);
    o << '\n';
}

// Values the keypad itself accepts (led, jack led, buzzer, buzzer period, type).
constexpr int kSettingMin[5] = {0, 0, 0, 1, 0};
constexpr int kSettingMax[5] = {9, 9, 1, 9, 8};

bool getSettings(std::istringstream& in, const char* name, KeypadSettings& s) {
    std::string word;
    int v[5];
    if (!(in >> word) || word != name || !(in >> v[0] >> v[1] >> v[2] >> v[3] >> v[4]))
        return false;
    KeypadSettings r;
    uint8_t* fields[] = {&r.ledBrightness, &r.jackLedBrightness, &r.buzzer, &r.buzzerPeriod,
                         &r.keypadType};
    for (int i = 0; i < 5; ++i) {
        if (v[i] < kSettingMin[i] || v[i] > kSettingMax[i])
            return false;
        *fields[i] = static_cast<uint8_t>(v[i]);
    }
    for (auto& table : r.customTables)
        for (uint8_t& b : table) {
            int x;
            if (!(in >> x) || x < 0 || x > 255)
                return false;
            b = static_cast<uint8_t>(x);
        }
    s = r;
    return true;
}

std::string hexText(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        out += "0123456789ABCDEF"[c >> 4];
        out += "0123456789ABCDEF"[c & 15];
    }
    return out.empty() ? "-" : out;
}

bool unhexText(const std::string& h, std::string& out) {
    out.clear();
    if (h == "-")
        return true;
    if (h.size() % 2)
        return false;
    for (size_t i = 0; i < h.size(); i += 2) {
        const int hi = strictNibble(static_cast<uint8_t>(h[i]));
        const int lo = strictNibble(static_cast<uint8_t>(h[i + 1]));
        if (hi < 0 || lo < 0)
            return false;
        out += static_cast<char>((hi << 4) | lo);
    }
    return true;
}

} // namespace

std::string KeypadModel::saveState() const {
    std::lock_guard lock(m_);
    std::ostringstream o;
    o << "orvex-virtual-keypad 1\n";
    putSettings(o, "running", running_);
    putSettings(o, "powerup", powerUp_);
    o << "options " << int(options_) << "\nserial " << hexText(serial_) << "\nversion "
      << hexText(version_) << "\n";
    return o.str();
}

bool KeypadModel::loadState(const std::string& text) {
    std::istringstream in(text);
    std::string word, serialHex, versionHex;
    int format = 0, options = 0;
    KeypadSettings running, powerUp;
    std::string serial, version;
    if (!(in >> word >> format) || word != "orvex-virtual-keypad" || format != 1 ||
        !getSettings(in, "running", running) || !getSettings(in, "powerup", powerUp) ||
        !(in >> word >> options) || word != "options" || options < 0 || options > 255 ||
        !(in >> word >> serialHex) || word != "serial" || !unhexText(serialHex, serial) ||
        serial.size() != 12 || !(in >> word >> versionHex) || word != "version" ||
        !unhexText(versionHex, version) || !versionFits(version, running.keypadType))
        return false;
    std::lock_guard lock(m_);
    running_ = running;
    powerUp_ = powerUp;
    options_ = static_cast<uint8_t>(options);
    serial_ = serial;
    version_ = version;
    return true;
}

int KeypadModel::overlappedRequests() const {
    std::lock_guard lock(m_);
    return overlapped_;
}

void KeypadModel::setAnswerCommand(int command) {
    std::lock_guard lock(m_);
    answerCommand_ = command;
}

} // namespace orvex::sim
