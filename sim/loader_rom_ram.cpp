// The two loaders of the model: the ROM loader in BSL flash and the RAM loader
// downloaded at 0x2500. Their lock, the RAM loader's block buffer and its
// flushes, and Load PC.

#include "loader_constants.h"
#include "loader_model.h"

#include <algorithm>

namespace orvex::sim {

using namespace loader;

void LoaderModel::enterRom() {
    std::lock_guard lock(m_);
    nextMode_ = Mode::Rom;
}

void LoaderModel::arrive() {
    std::lock_guard lock(m_);
    mode_ = nextMode_;
    // TI BSL430_API.c, BSL430_API_init: LockedStatus = DEFAULT_STATE, which is
    // UNLOCKED for a RAM_BASED_BSL and LOCKED otherwise (the ROM loader); the
    // block buffer pointers start at 0.
    unlocked_ = mode_ == Mode::Ram;
    infoALocked_ = true;
    buffer_ = BlockBuffer{};
    eraseDoneAt_ = 0;
    hung_ = false;
    resetting_ = false;
    out_.clear();
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

LoaderModel::Boot LoaderModel::powerUp() {
    std::lock_guard lock(m_);
    // SLAU319 (USB BSL): at power-up with USB attached the BSL starts on a
    // blank reset vector; otherwise the CPU runs from the vector.
    const Boot boot = bootTargetLocked();
    dead_ = boot == Boot::Dead;
    nextMode_ = Mode::Rom;
    return boot;
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

bool LoaderModel::flushErrorsAnswered() const {
    // TI BSL430_API.c, change log: "Version 9 ... Added exception handling in
    // BSL430_writeMemory for return values from flushBuffer". The API version
    // is the third version byte (0x80 marks the RAM-write-only ROM loader).
    return (version_[2] & 0x7F) >= 0x09;
}

uint8_t LoaderModel::flushBuffer() {
    // TI BSL430_API.c, flushBuffer: a full block aligned to 128 bytes goes out
    // as a long-word block write, which nothing reads back; anything else byte
    // by byte and word by word, each checked, stopping at the first failure.
    // On a failure it returns before it clears BlockBufferStart/Next/Ptr: the
    // block stays, and the next flush writes (and fails) it again.
    if (!unlocked_)
        return MSG_LOCKED;
    if (!buffer_.active)
        return MSG_OK;
    const BlockBuffer b = buffer_;
    const bool blockWrite = (b.start & (kBlockSize - 1)) == 0 && b.bytes.size() == kBlockSize;
    const uint8_t result = store(b.start, b.bytes.data(), b.bytes.size(), !blockWrite);
    if (resetting_)
        return result;
    if (result != MSG_OK) {
        buffer_.failed = true;
        return result;
    }
    buffer_ = BlockBuffer{};
    return MSG_OK;
}

uint8_t LoaderModel::bufferWrite(uint32_t address, const uint8_t* data, size_t n) {
    // TI BSL430_API.c, BSL430_writeMemory (RAM_BASED_BSL): data that continues
    // the buffer is added to it; data for another address flushes it first; a
    // write that reaches a 128-byte boundary flushes there and goes on in a
    // fresh buffer (each "goes on" is writeMemory calling itself).
    //
    // A failed flush: from API 9 its error is the write's answer and the block
    // stays, so every later write tries it again and fails the same way (a
    // write continuing the block too, which TI's loader would put past its
    // 128-byte buffer). Before API 9 the error is dropped and writeMemory calls
    // itself with the failed block still held: it flushes it again, fails
    // again, without end. The loader then answers nothing, this write
    // included. Only a write that ends exactly at the failed boundary returns
    // (success); the next write flushes the block again. Either way a block
    // whose segment has been erased meanwhile goes through.
    if (!unlocked_)
        return MSG_LOCKED;
    const auto stop = [this] {
        hung_ = true;
        return kNoAnswer;
    };
    while (n > 0 && !resetting_) {
        if (buffer_.failed || (buffer_.active && buffer_.next != address)) {
            if (const uint8_t r = flushBuffer(); r != MSG_OK)
                return flushErrorsAnswered() || resetting_ ? r : stop();
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
        if (!boundary)
            continue;
        if (const uint8_t r = flushBuffer(); r != MSG_OK && !resetting_) {
            if (flushErrorsAnswered())
                return r;
            if (n > 0)
                return stop();
        }
    }
    return MSG_OK;
}

void LoaderModel::romWrite(uint32_t address, const uint8_t* data, size_t n) {
    // SLAU319 (USB BSL): the loader in BSL flash writes RAM only; it never
    // opens flash. TI BSL430_API.c (RAM_WRITE_ONLY_BSL): BSL430_writeMemory
    // writes byte by byte through BSL430_writeByte at once, with no buffer,
    // and writes nothing while locked. Registers are memory to it: a WDTCTL or
    // PMMCTL0 write restarts the chip there and then.
    if (unlocked_)
        store(address, data, n, false, false);
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

std::array<uint8_t, 4> LoaderModel::version() const {
    std::lock_guard lock(m_);
    return version_;
}

bool LoaderModel::stoppedAnswering() const {
    std::lock_guard lock(m_);
    return hung_;
}

int LoaderModel::resets() const {
    std::lock_guard lock(m_);
    return resets_;
}

} // namespace orvex::sim
