// The loader model's memory: the MSP430F5529 map, flash and its rules, the
// registers that restart the chip, and what a reset starts.

#include "loader_constants.h"
#include "loader_model.h"

#include <algorithm>
#include <cstring>

namespace orvex::sim {

using namespace loader;

LoaderModel::LoaderModel() : mem_(kMemorySize) {
    loadFactoryImage("2.7");
}

void LoaderModel::setHooks(Hooks h) {
    std::lock_guard lock(m_);
    hooks_ = std::move(h);
}

LoaderModel::Region LoaderModel::regionOf(uint32_t a) {
    // SLAS590 (F5529 memory organization) and SLAU319 (BSL flash 0x1000-0x17FF).
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
    // TI BSL430_API.c, BSL430_crcCheck: CRCINIRES = 0xFFFF, then each byte into
    // CRCDIRB_L, the CRC module's CRC-16/CCITT (0x1021, MSB first; SLAU208).
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

void LoaderModel::massEraseLocked() {
    // TI BSL430_API.c, BSL430_massErase: MERAS erases main flash only; info
    // memory (B-D, and A) keeps its bytes.
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

uint8_t LoaderModel::store(uint32_t address, const uint8_t* data, size_t n, bool verify,
                           bool flashOpen) {
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
                break; // SLAU208 (FCTL3 LOCKA): info A is not programmed
            [[fallthrough]];
        case Region::MainFlash:
            // SLAU208 (flash controller): programming clears bits only; with
            // FCTL3 LOCK set (the ROM loader never clears it) nothing changes.
            if (flashOpen)
                mem_[a] &= data[i];
            break;
        case Region::Registers:
        case Region::Ram:
            mem_[a] = data[i];
            break;
        case Region::BslFlash: // protected: TI BSL430_writeByte sets SYSBSLPE again
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

void LoaderModel::resetDevice() {
    // BOR or PUC (SLAU208, System Resets): the loader is gone with everything
    // it held in RAM; what starts next is decided by the reset vector.
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

} // namespace orvex::sim
