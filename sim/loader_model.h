#pragma once

// The keypad's MSP430 bootstrap loader as seen from its HID interface, with the
// chip's memory behind it. Like KeypadModel it knows nothing of the bus: it
// takes 64-byte output reports, yields input reports with the time they become
// readable, and asks its carrier to restart it, to boot the application, or to
// leave the bus for good when the chip runs garbage.
//
// Memory is an MSP430F5529-like map: registers 0x0000-0x0FFF (PMMCTL0 at
// 0x0120, WDTCTL at 0x015C), BSL flash 0x1000-0x17FF (read-only here), info
// memory 0x1800-0x19FF in 128-byte segments, RAM 0x1C00-0x43FF, main flash
// 0x4400-0x243FF in 512-byte segments. An erase sets a segment to 0xFF;
// programming flash ANDs, so data written over an unerased segment reads back
// wrong.
//
// Two loaders share the model, as on the chip. The ROM loader (in BSL flash)
// starts locked and knows RX Password, RX Data Block Fast (into RAM and the
// registers, at once; flash stays locked) and Load PC. The RAM loader (downloaded to 0x2500,
// started at 0x2504) is built from TI's BSL430 sources as RAM_BASED_BSL: it starts unlocked and
// collects written data in a 128-byte block buffer that reaches memory only when it is flushed.
// Each rule below names the TI source it follows (the BSL430 API, command interpreter and USB
// peripheral interface; SLAU319, SLAU208).
//
// The model is split along what it models: loader_memory.cpp (the memory map,
// flash and its rules, registers, the chip's reset), loader_interpreter.cpp
// (the USB command interpreter) and loader_rom_ram.cpp (the ROM and the RAM
// loader: the lock, the block buffer and its flushes, Load PC).
//
// The application keeps its firmware version as a record at 0xFF40: "OVX:",
// the version text (at most 11 characters) and a NUL.

#include <array>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <functional>
#include <limits>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "keypad_model.h"

namespace orvex::sim {

struct LoaderFault {
    enum Kind {
        RefusePassword, // a password is taken as wrong: mass erase and 0x05
        DropOff,        // a data packet is lost and the loader leaves the bus
        WrongCrc,       // a CRC answer is off by one bit
    };
    Kind kind = RefusePassword;
    // Matching commands that pass normally before the fault strikes.
    int skip = 0;
    // DropOff: when the loader comes back (never by default).
    uint32_t returnAfterMs = std::numeric_limits<uint32_t>::max();
};

struct LoaderCommand {
    uint8_t command = 0;
    uint32_t address = 0; // for the commands that carry one
    uint32_t length = 0;  // data bytes of a write, length of a CRC or TX request
};

class LoaderModel {
public:
    enum class Mode { Rom, Ram };
    // What a reset (BOR or PUC) starts, decided by the reset vector at 0xFFFE.
    enum class Boot {
        Application, // the vector points at programmed flash: the firmware runs
        RomLoader,   // the vector is blank (0xFFFF): the USB ROM loader starts
        Dead,        // anything else runs garbage: nothing enumerates
    };
    static constexpr uint32_t kMemorySize = 0x100000;
    static constexpr uint32_t kVersionRecord = 0xFF40;
    static constexpr uint32_t kResetVector = 0xFFFE;
    static constexpr uint16_t kBufferSize = 4096;
    // The RAM loader's block buffer (TI BSL430_API.c, BlockBuffer[128]).
    static constexpr uint32_t kBlockSize = 128;

    // Things the loader asks of whatever carries it.
    struct Hooks {
        std::function<void()> startRamLoader;  // Load PC 0x2504: re-enumerate as RAM loader
        std::function<void()> bootApplication; // reset into the programmed application
        std::function<void()> restartRom;      // reset with a blank reset vector
        std::function<void()> die;             // reset into garbage: leave the bus for good
        std::function<void(uint32_t returnAfterMs)> dropOff;
    };

    LoaderModel();
    void setHooks(Hooks h);

    void receive(const uint8_t* data, size_t length, uint64_t now);
    bool takeInput(Report& out, uint64_t now);

    // The next arrival on the bus is the ROM loader (EnterBootloader).
    void enterRom();
    // Called on every arrival: the mode set before takes over; the ROM loader
    // is locked, the RAM loader unlocked; the block buffer is empty.
    void arrive();

    // --- the chip's reset -------------------------------------------------------
    // What a reset would start with the flash as it is now.
    Boot bootTarget() const;
    // bootTarget() is Application.
    bool applicationPresent() const;
    // A reset found no application and no blank vector: the chip runs garbage
    // and has left the bus. Only forceRomLoader() brings it back.
    bool dead() const;
    // Power-up with the PUR pin held high: the USB ROM loader starts whatever
    // the flash holds. The carrier plugs the loader in afterwards.
    void forceRomLoader();
    // Plain power-up (the keypad plugged in again): the reset vector decides
    // what starts, as after a brown-out; a Dead chip stays off the bus.
    Boot powerUp();

    // --- memory, for set-up and inspection ---
    uint8_t peek(uint32_t address) const;
    std::vector<uint8_t> memory(uint32_t address, size_t length) const;
    // Sets bytes directly (no flash rules): test set-up.
    void poke(uint32_t address, const std::vector<uint8_t>& bytes);
    // Blank flash, then a small application with the fixed vector table and a
    // version record.
    void loadFactoryImage(const std::string& version);
    // The version record's text, "" when there is none.
    std::string imageVersion() const;
    static const std::array<uint8_t, 32>& factoryVectors();
    static uint16_t crc16(const uint8_t* data, size_t length, uint16_t seed = 0xFFFF);
    // Whether a RAM loader with this command interpreter version answers TX
    // BSL Version while it is locked.
    static bool versionAnsweredWhileLocked(uint8_t interpreterVersion);

    // --- what tests script and inspect ---
    void injectFault(LoaderFault f);
    void clearFaults();
    std::vector<LoaderCommand> log() const;
    void clearLog();
    // Reports received per command code (all reports with a core packet).
    int reportCount(uint8_t command) const;
    int totalReports() const;
    int massErases() const;
    // Resets the chip went through (brown-out, watchdog or garbage).
    int resets() const;
    Mode mode() const;
    bool unlocked() const;
    // Locks a running loader as BSL430_lock_BSL does; no command of the
    // interpreter calls it, so only tests of the lock rules do.
    void lock();
    // Bytes waiting in the RAM loader's block buffer.
    size_t buffered() const;
    std::array<uint8_t, 4> version() const;
    // A RAM loader before API 9 whose flush failed inside a write: it answers
    // nothing more until the chip is powered up again (a new arrival).
    bool stoppedAnswering() const;
    // How long a mass erase takes (F550x datasheet SLAS645, tMassErase 23 to
    // 32 ms): a refused password is answered once it is done (TI
    // BSL430_unlock_BSL calls BSL430_massErase before it returns).
    static constexpr uint32_t kMassEraseMs = 32;

private:
    enum class Region { Registers, BslFlash, Info, Ram, MainFlash, Vacant };
    static Region regionOf(uint32_t address);
    // The message bytes of process()' helpers that mean "send no answer".
    static constexpr uint8_t kNoAnswer = 0xFF;
    void process(const uint8_t* core, size_t nl, uint64_t now);
    void processWrite(uint8_t cmd, const uint8_t* core, size_t nl, uint64_t now);
    // Replies leave no earlier than the end of a mass erase in progress: USB
    // holds the next command off meanwhile (NAK), it is not lost.
    uint64_t answerAt(uint64_t now) const;
    void replyMessage(uint8_t msg, uint64_t at);
    void replyData(const std::vector<uint8_t>& data, uint64_t at);
    // Writes bytes into memory as the CPU would; returns the first write-check
    // failure when `verify` is set. Registers take effect here. Flash is
    // programmed only while `flashOpen` (the ROM loader never opens it).
    uint8_t store(uint32_t address, const uint8_t* data, size_t n, bool verify,
                  bool flashOpen = true);
    // ROM loader: RX Data Block Fast straight into RAM and registers.
    void romWrite(uint32_t address, const uint8_t* data, size_t n);
    // RAM loader: RX data into the block buffer, flushing as TI's loader does;
    // kNoAnswer when the loader stops answering.
    uint8_t bufferWrite(uint32_t address, const uint8_t* data, size_t n);
    uint8_t flushBuffer();
    // Before a command that reads memory: locked, it is answered BSL_LOCKED;
    // otherwise TI's loader flushes the pending write first, ignoring the
    // result. False when nothing more is to be done (locked, or the flush
    // reset the device).
    bool unlockedAndFlushed(uint64_t now);
    // API 9 and later return a flush's failure from the write that caused it.
    bool flushErrorsAnswered() const;
    void eraseSegment(uint32_t address);
    void eraseRange(uint32_t from, uint32_t to);
    void massEraseLocked();
    bool takeFault(LoaderFault::Kind kind, LoaderFault& out);
    void jumpTo(uint32_t address);
    void resetDevice();
    Boot bootTargetLocked() const;

    // Memory comes zeroed from calloc and its elements are not written again
    // on creation, so the pages never written (most of the 1 MiB; only the
    // flash ranges are set) take no resident memory.
    template <typename T> struct ZeroedAllocator {
        using value_type = T;
        ZeroedAllocator() = default;
        template <typename U> ZeroedAllocator(const ZeroedAllocator<U>&) {}
        T* allocate(size_t n) {
            if (void* p = std::calloc(n, sizeof(T)))
                return static_cast<T*>(p);
            throw std::bad_alloc();
        }
        void deallocate(T* p, size_t) { std::free(p); }
        template <typename U> void construct(U*) {} // calloc's zero
        template <typename U, typename... A> void construct(U* p, A&&... a) {
            ::new (static_cast<void*>(p)) U(std::forward<A>(a)...);
        }
        friend bool operator==(const ZeroedAllocator&, const ZeroedAllocator&) { return true; }
    };

    // The RAM loader's block buffer: bytes for consecutive addresses from
    // `start`, `next` the address a continuing write must have.
    struct BlockBuffer {
        bool active = false;
        // Its flush failed: TI's flushBuffer returns before it clears the
        // buffer pointers, so the block stays and the next flush tries again.
        bool failed = false;
        uint32_t start = 0;
        uint32_t next = 0;
        std::vector<uint8_t> bytes;
    };

    mutable std::mutex m_;
    Hooks hooks_;
    std::function<void()> pendingHook_;
    std::vector<uint8_t, ZeroedAllocator<uint8_t>> mem_;
    Mode mode_ = Mode::Rom;
    Mode nextMode_ = Mode::Rom;
    bool unlocked_ = false;
    bool infoALocked_ = true;
    bool dead_ = false;
    // See stoppedAnswering().
    bool hung_ = false;
    // Set by a reset within a command: the rest of it is lost.
    bool resetting_ = false;
    BlockBuffer buffer_;
    // When the mass erase of a refused password is done.
    uint64_t eraseDoneAt_ = 0;
    std::array<uint8_t, 4> version_{};
    std::deque<std::pair<uint64_t, Report>> out_;
    std::deque<LoaderFault> faults_;
    std::vector<LoaderCommand> log_;
    std::map<uint8_t, int> reports_;
    int totalReports_ = 0;
    int massErases_ = 0;
    int resets_ = 0;
};

} // namespace orvex::sim
