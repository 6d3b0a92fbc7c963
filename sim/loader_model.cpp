#include "loader_model.h"

#include <algorithm>
#include <cstring>

namespace orvex::sim {

namespace {

constexpr uint8_t kReportId = 0x3F;
constexpr uint8_t kData = 0x3A;
constexpr uint8_t kMessage = 0x3B;

constexpr uint8_t MSG_OK = 0x00;
constexpr uint8_t MSG_WRITE_CHECK = 0x01;
constexpr uint8_t MSG_FLASH_FAIL = 0x02;
constexpr uint8_t MSG_LOCKED = 0x04;
constexpr uint8_t MSG_PASSWORD = 0x05;
constexpr uint8_t MSG_FORBIDDEN = 0x06;
constexpr uint8_t MSG_UNKNOWN = 0x07;
constexpr uint8_t MSG_TOO_LONG = 0x08;

constexpr uint32_t kPasswordAddress = 0xFFE0;
constexpr uint32_t kRamLoaderStart = 0x2500;
constexpr uint32_t kRamLoaderEntry = 0x2504;
constexpr uint32_t kPmmCtl0 = 0x0120;
constexpr uint32_t kInfoA = 0x1980;
constexpr uint32_t kMainStart = 0x4400;
constexpr uint32_t kMainEnd = 0x24400;

uint32_t address3(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2] & 0x0F) << 16;
}

} // namespace

LoaderModel::LoaderModel() : mem_(kMemorySize) {
    loadFactoryImage("2.7");
}

void LoaderModel::setHooks(Hooks h) {
    std::lock_guard lock(m_);
    hooks_ = std::move(h);
}

LoaderModel::Region LoaderModel::regionOf(uint32_t a) {
    if (a < 0x1000)
        return Region::Registers;
    if (a < 0x1800)
        return Region::BslFlash;
    if (a < 0x1A00)
        return Region::Info;
    if (a < 0x1C00)
        return Region::Vacant;
    if (a < kMainStart)
        return Region::Ram;
    if (a < kMainEnd)
        return Region::MainFlash;
    return Region::Vacant;
}

const std::array<uint8_t, 32>& LoaderModel::factoryVectors() {
    // Fifteen handlers at 0x4500 + 0x10 * n and the reset vector 0x4400: the
    // table of every keypad image, and so the stored password.
    static const std::array<uint8_t, 32> v = [] {
        std::array<uint8_t, 32> t{};
        for (int i = 0; i < 16; ++i) {
            const uint16_t w = i == 15 ? 0x4400 : static_cast<uint16_t>(0x4500 + 0x10 * i);
            t[2 * i] = static_cast<uint8_t>(w);
            t[2 * i + 1] = static_cast<uint8_t>(w >> 8);
        }
        return t;
    }();
    return v;
}

uint16_t LoaderModel::crc16(const uint8_t* data, size_t length, uint16_t seed) {
    uint16_t crc = seed;
    for (size_t i = 0; i < length; ++i) {
        crc ^= static_cast<uint16_t>(data[i] << 8);
        for (int b = 0; b < 8; ++b)
            crc = static_cast<uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    return crc;
}

void LoaderModel::loadFactoryImage(const std::string& version) {
    std::lock_guard lock(m_);
    std::fill(mem_.begin() + 0x1000, mem_.begin() + 0x1A00, 0xFF);
    std::fill(mem_.begin() + kMainStart, mem_.begin() + kMainEnd, 0xFF);
    for (uint32_t i = 0; i < 256; ++i)
        mem_[kMainStart + i] = static_cast<uint8_t>(i * 7 + 3);
    const std::string record = "OVX:" + version.substr(0, 11);
    std::copy(record.begin(), record.end(), mem_.begin() + kVersionRecord);
    mem_[kVersionRecord + record.size()] = 0;
    const auto& v = factoryVectors();
    std::copy(v.begin(), v.end(), mem_.begin() + kPasswordAddress);
}

std::string LoaderModel::imageVersion() const {
    std::lock_guard lock(m_);
    if (std::memcmp(mem_.data() + kVersionRecord, "OVX:", 4) != 0)
        return "";
    std::string v;
    for (uint32_t a = kVersionRecord + 4; a < kVersionRecord + 4 + 12; ++a) {
        const uint8_t c = mem_[a];
        if (c == 0)
            return v;
        if (c < 0x20 || c > 0x7E || v.size() == 11)
            return "";
        v.push_back(static_cast<char>(c));
    }
    return "";
}

bool LoaderModel::applicationPresent() const {
    std::lock_guard lock(m_);
    return !(mem_[kResetVector] == 0xFF && mem_[kResetVector + 1] == 0xFF);
}

uint8_t LoaderModel::peek(uint32_t address) const {
    std::lock_guard lock(m_);
    return address < kMemorySize ? mem_[address] : 0xFF;
}

std::vector<uint8_t> LoaderModel::memory(uint32_t address, size_t length) const {
    std::lock_guard lock(m_);
    std::vector<uint8_t> out;
    for (size_t i = 0; i < length && address + i < kMemorySize; ++i)
        out.push_back(mem_[address + i]);
    return out;
}

void LoaderModel::poke(uint32_t address, const std::vector<uint8_t>& bytes) {
    std::lock_guard lock(m_);
    for (size_t i = 0; i < bytes.size() && address + i < kMemorySize; ++i)
        mem_[address + i] = bytes[i];
}

void LoaderModel::enterRom() {
    std::lock_guard lock(m_);
    nextMode_ = Mode::Rom;
}

void LoaderModel::arrive() {
    std::lock_guard lock(m_);
    mode_ = nextMode_;
    unlocked_ = false;
    infoALocked_ = true;
    busyUntil_ = 0;
    out_.clear();
}

void LoaderModel::replyMessage(uint8_t msg, uint64_t at) {
    Report r{};
    r[0] = kReportId;
    r[1] = 2;
    r[2] = kMessage;
    r[3] = msg;
    out_.emplace_back(at, r);
}

void LoaderModel::replyData(const std::vector<uint8_t>& data, uint64_t at) {
    // Long answers take several reports of up to 61 bytes each.
    size_t off = 0;
    do {
        const size_t n = std::min<size_t>(61, data.size() - off);
        Report r{};
        r[0] = kReportId;
        r[1] = static_cast<uint8_t>(n + 1);
        r[2] = kData;
        std::memcpy(r.data() + 3, data.data() + off, n);
        out_.emplace_back(at, r);
        off += n;
    } while (off < data.size());
}

bool LoaderModel::takeFault(LoaderFault::Kind kind, LoaderFault& out) {
    for (auto it = faults_.begin(); it != faults_.end(); ++it) {
        if (it->kind != kind)
            continue;
        if (it->skip > 0) {
            --it->skip;
            return false;
        }
        out = *it;
        faults_.erase(it);
        return true;
    }
    return false;
}

void LoaderModel::massEraseLocked() {
    std::fill(mem_.begin() + kMainStart, mem_.begin() + kMainEnd, 0xFF);
    ++massErases_;
}

void LoaderModel::eraseRange(uint32_t from, uint32_t to) {
    std::fill(mem_.begin() + from, mem_.begin() + to, 0xFF);
}

uint8_t LoaderModel::writeBlock(uint32_t address, const uint8_t* data, size_t n) {
    if (address + n > kMemorySize)
        return MSG_FORBIDDEN;
    for (size_t i = 0; i < n; ++i) {
        const Region r = regionOf(static_cast<uint32_t>(address + i));
        if (r == Region::BslFlash || r == Region::Vacant)
            return MSG_FORBIDDEN;
    }
    uint8_t result = MSG_OK;
    for (size_t i = 0; i < n; ++i) {
        const uint32_t a = static_cast<uint32_t>(address + i);
        const Region r = regionOf(a);
        if (r == Region::Info || r == Region::MainFlash) {
            mem_[a] &= data[i];
            if (mem_[a] != data[i])
                result = MSG_WRITE_CHECK;
        } else {
            mem_[a] = data[i];
        }
    }
    // PMMCTL0 = 0xA504 (key 0xA5, PMMSWBOR): software brown-out reset.
    if (address <= kPmmCtl0 && address + n >= kPmmCtl0 + 2 && mem_[kPmmCtl0] == 0x04 &&
        mem_[kPmmCtl0 + 1] == 0xA5)
        resetDevice();
    return result;
}

void LoaderModel::resetDevice() {
    mem_[kPmmCtl0] = 0;
    mem_[kPmmCtl0 + 1] = 0;
    out_.clear();
    const bool app = !(mem_[kResetVector] == 0xFF && mem_[kResetVector + 1] == 0xFF);
    if (!app)
        nextMode_ = Mode::Rom;
    pendingHook_ = [this, app] {
        auto& hook = app ? hooks_.bootApplication : hooks_.restartRom;
        if (hook)
            hook();
    };
}

void LoaderModel::receive(const uint8_t* data, size_t length, uint64_t now) {
    if (length < kReport || data[0] != kReportId || data[1] == 0)
        return;
    std::function<void()> after;
    {
        std::lock_guard lock(m_);
        if (now < busyUntil_)
            return; // still erasing: the command is lost
        if (data[1] > kReport - 2) {
            replyMessage(MSG_TOO_LONG, now);
            return;
        }
        process(data + 2, data[1], now);
        after = std::move(pendingHook_);
        pendingHook_ = nullptr;
    }
    // The carrier calls back into the bus: run it outside the lock.
    if (after)
        after();
}

void LoaderModel::process(const uint8_t* core, size_t nl, uint64_t now) {
    const uint8_t cmd = core[0];
    ++reports_[cmd];
    ++totalReports_;
    LoaderCommand entry{cmd, nl >= 4 ? address3(core + 1) : 0, 0};

    const bool isWrite = cmd == 0x10 || cmd == 0x1B;
    if (isWrite)
        entry.length = static_cast<uint32_t>(nl >= 4 ? nl - 4 : 0);
    if ((cmd == 0x16 || cmd == 0x18) && nl >= 6)
        entry.length = static_cast<uint32_t>(core[4] | core[5] << 8);
    log_.push_back(entry);

    // The ROM loader knows three commands only.
    if (mode_ == Mode::Rom && cmd != 0x11 && cmd != 0x1B && cmd != 0x17) {
        replyMessage(MSG_UNKNOWN, now);
        return;
    }
    if (!unlocked_ && cmd != 0x11) {
        // Commands without an answer are dropped silently.
        if (cmd != 0x1B && cmd != 0x17)
            replyMessage(MSG_LOCKED, now);
        return;
    }

    LoaderFault fault;
    switch (cmd) {
    case 0x11: { // RX Password
        bool ok = nl == 33 && std::memcmp(core + 1, mem_.data() + kPasswordAddress, 32) == 0;
        if (takeFault(LoaderFault::RefusePassword, fault))
            ok = false;
        if (ok) {
            unlocked_ = true;
            replyMessage(MSG_OK, now);
        } else {
            unlocked_ = false;
            massEraseLocked();
            busyUntil_ = now + massEraseBusyMs_;
            replyMessage(MSG_PASSWORD, now);
        }
        return;
    }
    case 0x10:
    case 0x1B: { // RX Data Block (fast)
        if (nl < 4) {
            if (cmd == 0x10)
                replyMessage(MSG_UNKNOWN, now);
            return;
        }
        if (takeFault(LoaderFault::DropOff, fault)) {
            out_.clear();
            const uint32_t back = fault.returnAfterMs;
            pendingHook_ = [this, back] {
                if (hooks_.dropOff)
                    hooks_.dropOff(back);
            };
            return;
        }
        const uint32_t address = address3(core + 1);
        // The ROM loader only loads RAM.
        if (mode_ == Mode::Rom &&
            (regionOf(address) != Region::Ram ||
             regionOf(static_cast<uint32_t>(address + nl - 5)) != Region::Ram))
            return;
        const uint8_t result = writeBlock(address, core + 4, nl - 4);
        if (cmd == 0x10 && !pendingHook_)
            replyMessage(result, now);
        return;
    }
    case 0x12: { // Erase Segment
        if (nl != 4) {
            replyMessage(MSG_UNKNOWN, now);
            return;
        }
        const uint32_t a = address3(core + 1);
        const Region r = regionOf(a);
        if (r == Region::MainFlash) {
            eraseRange(a & ~0x1FFu, (a & ~0x1FFu) + 512);
        } else if (r == Region::Info) {
            const uint32_t seg = a & ~0x7Fu;
            if (!(seg == kInfoA && infoALocked_))
                eraseRange(seg, seg + 128);
        } else {
            replyMessage(MSG_FLASH_FAIL, now);
            return;
        }
        replyMessage(MSG_OK, now);
        return;
    }
    case 0x13: // Unlock/Lock Info
        infoALocked_ = !infoALocked_;
        replyMessage(MSG_OK, now);
        return;
    case 0x15: // Mass Erase
        massEraseLocked();
        replyMessage(MSG_OK, now);
        return;
    case 0x16: { // CRC Check
        if (nl != 6) {
            replyMessage(MSG_UNKNOWN, now);
            return;
        }
        const uint32_t a = address3(core + 1);
        const size_t n = std::min<size_t>(entry.length, kMemorySize - a);
        uint16_t crc = crc16(mem_.data() + a, n);
        if (takeFault(LoaderFault::WrongCrc, fault))
            crc ^= 0x0001;
        replyData({static_cast<uint8_t>(crc), static_cast<uint8_t>(crc >> 8)}, now);
        return;
    }
    case 0x17: { // Load PC
        if (nl != 4)
            return;
        const uint32_t a = address3(core + 1);
        out_.clear();
        if (a == kRamLoaderEntry) {
            std::copy_n(mem_.begin() + kRamLoaderStart, 4, version_.begin());
            nextMode_ = Mode::Ram;
            pendingHook_ = [this] {
                if (hooks_.startRamLoader)
                    hooks_.startRamLoader();
            };
        } else {
            // Anywhere else: as good as a reset into the application.
            resetDevice();
        }
        return;
    }
    case 0x18: { // TX Data Block
        if (nl != 6 || entry.length > kBufferSize) {
            replyMessage(nl != 6 ? MSG_UNKNOWN : MSG_TOO_LONG, now);
            return;
        }
        const uint32_t a = address3(core + 1);
        const size_t n = std::min<size_t>(entry.length, kMemorySize - a);
        replyData(std::vector<uint8_t>(mem_.begin() + a, mem_.begin() + a + n), now);
        return;
    }
    case 0x19: // TX BSL Version
        replyData({version_.begin(), version_.end()}, now);
        return;
    case 0x1A: // TX Buffer Size
        replyData({static_cast<uint8_t>(kBufferSize), static_cast<uint8_t>(kBufferSize >> 8)}, now);
        return;
    default:
        replyMessage(MSG_UNKNOWN, now);
        return;
    }
}

bool LoaderModel::takeInput(Report& out, uint64_t now) {
    std::lock_guard lock(m_);
    if (out_.empty() || out_.front().first > now)
        return false;
    out = out_.front().second;
    out_.pop_front();
    return true;
}

void LoaderModel::injectFault(LoaderFault f) {
    std::lock_guard lock(m_);
    faults_.push_back(f);
}

void LoaderModel::clearFaults() {
    std::lock_guard lock(m_);
    faults_.clear();
}

std::vector<LoaderCommand> LoaderModel::log() const {
    std::lock_guard lock(m_);
    return log_;
}

void LoaderModel::clearLog() {
    std::lock_guard lock(m_);
    log_.clear();
    reports_.clear();
    totalReports_ = 0;
}

int LoaderModel::reportCount(uint8_t command) const {
    std::lock_guard lock(m_);
    const auto it = reports_.find(command);
    return it == reports_.end() ? 0 : it->second;
}

int LoaderModel::totalReports() const {
    std::lock_guard lock(m_);
    return totalReports_;
}

int LoaderModel::massErases() const {
    std::lock_guard lock(m_);
    return massErases_;
}

LoaderModel::Mode LoaderModel::mode() const {
    std::lock_guard lock(m_);
    return mode_;
}

bool LoaderModel::unlocked() const {
    std::lock_guard lock(m_);
    return unlocked_;
}

std::array<uint8_t, 4> LoaderModel::version() const {
    std::lock_guard lock(m_);
    return version_;
}

void LoaderModel::setMassEraseBusyMs(uint32_t ms) {
    std::lock_guard lock(m_);
    massEraseBusyMs_ = ms;
}

} // namespace orvex::sim
