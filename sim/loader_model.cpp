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
constexpr uint8_t MSG_LOCKED = 0x04;
constexpr uint8_t MSG_PASSWORD = 0x05;
constexpr uint8_t MSG_UNKNOWN = 0x07;
constexpr uint8_t MSG_TOO_LONG = 0x08;

constexpr uint32_t kPasswordAddress = 0xFFE0;
constexpr uint32_t kRamLoaderStart = 0x2500;
constexpr uint32_t kRamLoaderEntry = 0x2504;
constexpr uint32_t kPmmCtl0 = 0x0120;
constexpr uint32_t kWdtCtl = 0x015C;
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

bool LoaderModel::versionAnsweredWhileLocked(uint8_t interpreterVersion) {
    // TI BSL430_Command_Interpreter.c: up to interpreter version 0x08 (7.0, 8.1)
    // TX BSL Version goes through sendDataBlock -> BSL430_readMemory, which
    // answers BSL_LOCKED while locked. From 8.2 on (the CryptoBSL interpreters,
    // which add a flag above 0x08 to the version byte) it is wrapped in
    // BSL430_RemovelockTemp(): "Version is always enabled". Our RAM loader,
    // 00.06.05.34, has interpreter version 0x06: the older kind.
    return interpreterVersion > 0x08;
}

LoaderModel::Boot LoaderModel::bootTargetLocked() const {
    // SLAU319 (USB BSL): after a reset the USB BSL is started when the reset
    // vector is blank; otherwise the CPU loads the PC from 0xFFFE (SLAU208,
    // bit 0 of the PC is always 0). Code at erased flash (0xFFFF words) or
    // anywhere but flash is garbage: the chip never enumerates again.
    const uint16_t vector = static_cast<uint16_t>(mem_[kResetVector] | mem_[kResetVector + 1] << 8);
    if (vector == 0xFFFF)
        return Boot::RomLoader;
    const uint32_t pc = vector & 0xFFFEu;
    const Region r = regionOf(pc);
    const bool flash = r == Region::MainFlash || r == Region::Info;
    if (flash && !(mem_[pc] == 0xFF && mem_[pc + 1] == 0xFF))
        return Boot::Application;
    return Boot::Dead;
}

LoaderModel::Boot LoaderModel::bootTarget() const {
    std::lock_guard lock(m_);
    return bootTargetLocked();
}

bool LoaderModel::applicationPresent() const {
    return bootTarget() == Boot::Application;
}

bool LoaderModel::dead() const {
    std::lock_guard lock(m_);
    return dead_;
}

void LoaderModel::forceRomLoader() {
    std::lock_guard lock(m_);
    dead_ = false;
    nextMode_ = Mode::Rom;
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
    // TI BSL430_API.c, BSL430_API_init: LockedStatus = DEFAULT_STATE, which is
    // UNLOCKED for a RAM_BASED_BSL and LOCKED otherwise (the ROM loader).
    unlocked_ = mode_ == Mode::Ram;
    infoALocked_ = true;
    buffer_ = BlockBuffer{};
    busyUntil_ = 0;
    resetting_ = false;
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
    // Long answers take several reports of up to 61 bytes each (TI
    // BSL430_USB_PI.c: MAX_BUFFER_SIZE 62, less the 0x3A marker).
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
    // TI BSL430_API.c, BSL430_massErase: MERAS erases main flash only.
    std::fill(mem_.begin() + kMainStart, mem_.begin() + kMainEnd, 0xFF);
    ++massErases_;
}

void LoaderModel::eraseRange(uint32_t from, uint32_t to) {
    std::fill(mem_.begin() + from, mem_.begin() + to, 0xFF);
}

void LoaderModel::eraseSegment(uint32_t a) {
    // TI BSL430_API.c, BSL430_eraseLocation: a dummy write to the address with
    // the flash controller's ERASE bit set, answered with success whatever the
    // address. In flash it erases the segment (info A only while unlocked, BSL
    // flash never); elsewhere it is a plain write of 0 (SLAU208: ERASE affects
    // flash only).
    switch (regionOf(a)) {
    case Region::MainFlash:
        eraseRange(a & ~0x1FFu, (a & ~0x1FFu) + 512);
        break;
    case Region::Info: {
        const uint32_t seg = a & ~0x7Fu;
        if (!(seg == kInfoA && infoALocked_))
            eraseRange(seg, seg + 128);
        break;
    }
    case Region::Registers:
    case Region::Ram: {
        const uint8_t zero = 0;
        store(a, &zero, 1, false);
        break;
    }
    case Region::BslFlash:
    case Region::Vacant:
        break;
    }
}

uint8_t LoaderModel::store(uint32_t address, const uint8_t* data, size_t n, bool verify) {
    uint8_t result = MSG_OK;
    for (size_t i = 0; i < n && !resetting_; ++i) {
        const uint32_t a = static_cast<uint32_t>(address + i);
        if (a >= kMemorySize) {
            if (verify && result == MSG_OK)
                result = MSG_WRITE_CHECK;
            continue;
        }
        switch (regionOf(a)) {
        case Region::Info:
            if ((a & ~0x7Fu) == kInfoA && infoALocked_)
                break; // LOCKA: info A is not programmed
            [[fallthrough]];
        case Region::MainFlash:
            mem_[a] &= data[i]; // programming clears bits only
            break;
        case Region::Registers:
        case Region::Ram:
            mem_[a] = data[i];
            break;
        case Region::BslFlash: // protected (SYSBSLPE)
        case Region::Vacant:
            break;
        }
        // TI BSL430_writeByte / BSL430_writeWord: the byte read back must equal
        // the byte written, else MEMORY_WRITE_CHECK_FAILED, and the write stops.
        const uint8_t back = a < kMemorySize && regionOf(a) != Region::Vacant ? mem_[a] : 0xFF;
        if (verify && back != data[i])
            return MSG_WRITE_CHECK;
    }
    if (resetting_)
        return result;
    const uint32_t end = static_cast<uint32_t>(address + n);
    const auto covers = [&](uint32_t reg) { return address <= reg && end > reg; };

    // SLAU208 (WDT_A): WDTCTL is written as a word with the password 0x5A in
    // its high byte; any other write to it is a password violation: PUC.
    if (covers(kWdtCtl) || covers(kWdtCtl + 1)) {
        if (!(covers(kWdtCtl) && covers(kWdtCtl + 1) && mem_[kWdtCtl + 1] == 0x5A))
            resetDevice();
    }
    // SLAU208 (PMM): PMMCTL0 with the password 0xA5 in its high byte and
    // PMMSWBOR (bit 2) or PMMSWPOR (bit 3) set restarts the chip.
    if (!resetting_ && covers(kPmmCtl0) && covers(kPmmCtl0 + 1) && mem_[kPmmCtl0 + 1] == 0xA5 &&
        (mem_[kPmmCtl0] & 0x0C) != 0)
        resetDevice();
    return result;
}

uint8_t LoaderModel::flushBuffer() {
    // TI BSL430_API.c, flushBuffer: a full block aligned to 128 bytes goes out
    // as a long-word block write, which nothing reads back; anything else byte
    // by byte and word by word, each checked, stopping at the first failure.
    // (TI's loader then keeps its buffer pointers; here the buffer is dropped.)
    if (!unlocked_)
        return MSG_LOCKED;
    if (!buffer_.active)
        return MSG_OK;
    const BlockBuffer b = std::move(buffer_);
    buffer_ = BlockBuffer{};
    const bool blockWrite = (b.start & (kBlockSize - 1)) == 0 && b.bytes.size() == kBlockSize;
    return store(b.start, b.bytes.data(), b.bytes.size(), !blockWrite);
}

uint8_t LoaderModel::bufferWrite(uint32_t address, const uint8_t* data, size_t n) {
    // TI BSL430_API.c, BSL430_writeMemory (RAM_BASED_BSL): data that continues
    // the buffer is added to it; data for another address flushes it first; a
    // write that reaches a 128-byte boundary flushes there and goes on in a
    // fresh buffer. A flush's error is the write's answer.
    if (!unlocked_)
        return MSG_LOCKED;
    while (n > 0 && !resetting_) {
        if (buffer_.active && buffer_.next != address) {
            if (const uint8_t r = flushBuffer(); r != MSG_OK)
                return r;
            continue;
        }
        if (!buffer_.active) {
            buffer_.active = true;
            buffer_.start = address;
        }
        buffer_.next = static_cast<uint32_t>(address + n);
        bool boundary = false;
        while (n > 0 && !boundary) {
            buffer_.bytes.push_back(*data++);
            --n;
            ++address;
            boundary = (address & (kBlockSize - 1)) == 0;
        }
        if (boundary)
            if (const uint8_t r = flushBuffer(); r != MSG_OK)
                return r;
    }
    return MSG_OK;
}

void LoaderModel::resetDevice() {
    // BOR or PUC: the loader is gone with everything it held in RAM.
    resetting_ = true;
    ++resets_;
    mem_[kPmmCtl0] = 0;
    mem_[kPmmCtl0 + 1] = 0;
    mem_[kWdtCtl] = 0;
    mem_[kWdtCtl + 1] = 0;
    buffer_ = BlockBuffer{};
    out_.clear();
    const Boot boot = bootTargetLocked();
    if (boot != Boot::Application)
        nextMode_ = Mode::Rom;
    dead_ = boot == Boot::Dead;
    pendingHook_ = [this, boot] {
        auto& hook = boot == Boot::Application ? hooks_.bootApplication
                     : boot == Boot::RomLoader ? hooks_.restartRom
                                               : hooks_.die;
        if (hook)
            hook();
    };
}

void LoaderModel::jumpTo(uint32_t a) {
    out_.clear();
    if (a == kRamLoaderEntry) {
        // The RAM loader carries its version in its first four bytes.
        std::copy_n(mem_.begin() + kRamLoaderStart, 4, version_.begin());
        nextMode_ = Mode::Ram;
        pendingHook_ = [this] {
            if (hooks_.startRamLoader)
                hooks_.startRamLoader();
        };
        return;
    }
    // The application's own entry starts it as a reset would; any other
    // address runs whatever is there, which the model cannot: garbage.
    const uint16_t vector = static_cast<uint16_t>(mem_[kResetVector] | mem_[kResetVector + 1] << 8);
    if (bootTargetLocked() == Boot::Application && a == (vector & 0xFFFEu)) {
        resetting_ = true;
        pendingHook_ = [this] {
            if (hooks_.bootApplication)
                hooks_.bootApplication();
        };
        return;
    }
    resetting_ = true;
    dead_ = true;
    pendingHook_ = [this] {
        if (hooks_.die)
            hooks_.die();
    };
}

void LoaderModel::receive(const uint8_t* data, size_t length, uint64_t now) {
    if (length < kReport || data[0] != kReportId || data[1] == 0)
        return;
    std::function<void()> after;
    {
        std::lock_guard lock(m_);
        if (dead_ || now < busyUntil_)
            return; // running garbage, or still erasing: the command is lost
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
    if (resetting_)
        return; // the chip is restarting: nobody listens

    // The USB ROM loader knows three commands only (SLAU319, USB BSL).
    if (mode_ == Mode::Rom && cmd != 0x11 && cmd != 0x1B && cmd != 0x17) {
        replyMessage(MSG_UNKNOWN, now);
        return;
    }

    LoaderFault fault;
    switch (cmd) {
    case 0x11: { // RX Password
        // TI BSL430_API.c, BSL430_unlock_BSL: the 32 bytes must equal the
        // vector table; a wrong password mass-erases and leaves the lock state
        // as it was (an unlocked RAM loader stays unlocked).
        bool ok = nl == 33 && std::memcmp(core + 1, mem_.data() + kPasswordAddress, 32) == 0;
        if (takeFault(LoaderFault::RefusePassword, fault))
            ok = false;
        if (ok) {
            unlocked_ = true;
            replyMessage(MSG_OK, now);
        } else {
            // BSL430_massErase waits for the flash controller before the
            // password's answer goes out: the answer comes when the erase is
            // done, and nothing sent meanwhile is heard.
            massEraseLocked();
            busyUntil_ = now + massEraseBusyMs_;
            replyMessage(MSG_PASSWORD, busyUntil_);
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
        if (mode_ == Mode::Rom) {
            // The ROM loader writes RAM only, at once, and never answers;
            // locked, it writes nothing (TI BSL430_writeByte checks the lock).
            const bool ram = regionOf(address) == Region::Ram &&
                             regionOf(static_cast<uint32_t>(address + nl - 5)) == Region::Ram;
            if (unlocked_ && ram)
                store(address, core + 4, nl - 4, false);
            return;
        }
        // TI BSL430_Command_Interpreter.c, receiveDataBlock: the answer is
        // that of BSL430_openMemory (the lock) and BSL430_writeMemory.
        const uint8_t result = unlocked_ ? bufferWrite(address, core + 4, nl - 4) : MSG_LOCKED;
        if (cmd == 0x10 && !resetting_ && !pendingHook_)
            replyMessage(result, now);
        return;
    }
    case 0x12: // Erase Segment: no flush (TI BSL430_eraseLocation)
        if (nl != 4) {
            replyMessage(MSG_UNKNOWN, now);
            return;
        }
        if (!unlocked_) {
            replyMessage(MSG_LOCKED, now);
            return;
        }
        eraseSegment(address3(core + 1));
        if (!resetting_)
            replyMessage(MSG_OK, now);
        return;
    case 0x13: // Unlock/Lock Info (TI BSL430_toggleInfoLock)
        if (!unlocked_) {
            replyMessage(MSG_LOCKED, now);
            return;
        }
        infoALocked_ = !infoALocked_;
        replyMessage(MSG_OK, now);
        return;
    case 0x15: // Mass Erase: TI BSL430_massErase checks no lock and flushes nothing
        massEraseLocked();
        replyMessage(MSG_OK, now);
        return;
    case 0x16: { // CRC Check: TI BSL430_crcCheck flushes first
        if (nl != 6) {
            replyMessage(MSG_UNKNOWN, now);
            return;
        }
        if (!unlocked_) {
            replyMessage(MSG_LOCKED, now);
            return;
        }
        flushBuffer(); // its result is not looked at
        if (resetting_)
            return;
        const uint32_t a = address3(core + 1);
        const size_t n = std::min<size_t>(entry.length, kMemorySize - a);
        uint16_t crc = crc16(mem_.data() + a, n);
        if (takeFault(LoaderFault::WrongCrc, fault))
            crc ^= 0x0001;
        replyData({static_cast<uint8_t>(crc), static_cast<uint8_t>(crc >> 8)}, now);
        return;
    }
    case 0x17: // Load PC: TI BSL430_callAddress, locked: BSL_LOCKED; else
               // flush, then jump (no answer: the call does not return)
        if (nl != 4)
            return;
        if (!unlocked_) {
            replyMessage(MSG_LOCKED, now);
            return;
        }
        if (mode_ == Mode::Ram)
            flushBuffer();
        if (!resetting_)
            jumpTo(address3(core + 1));
        return;
    case 0x18: { // TX Data Block: TI BSL430_readMemory flushes first
        if (nl != 6 || entry.length > kBufferSize) {
            replyMessage(nl != 6 ? MSG_UNKNOWN : MSG_TOO_LONG, now);
            return;
        }
        if (!unlocked_) {
            replyMessage(MSG_LOCKED, now);
            return;
        }
        flushBuffer();
        if (resetting_)
            return;
        const uint32_t a = address3(core + 1);
        const size_t n = std::min<size_t>(entry.length, kMemorySize - a);
        replyData(std::vector<uint8_t>(mem_.begin() + a, mem_.begin() + a + n), now);
        return;
    }
    case 0x19: // TX BSL Version: read as memory, so the buffer is flushed
        if (!unlocked_ && !versionAnsweredWhileLocked(version_[1])) {
            replyMessage(MSG_LOCKED, now);
            return;
        }
        flushBuffer();
        if (resetting_)
            return;
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

void LoaderModel::lock() {
    std::lock_guard lock(m_);
    unlocked_ = false;
}

size_t LoaderModel::buffered() const {
    std::lock_guard lock(m_);
    return buffer_.bytes.size();
}

int LoaderModel::resets() const {
    std::lock_guard lock(m_);
    return resets_;
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
