// The loader model's command interpreter: the USB reports it takes and the
// answers it gives (TI BSL430_Command_Interpreter.c, interpretCommand, over
// BSL430_USB_PI.c), and what tests script and inspect.

#include "loader_constants.h"
#include "loader_model.h"

#include <algorithm>
#include <cstring>

namespace orvex::sim {

using namespace loader;

void LoaderModel::replyMessage(uint8_t msg, uint64_t at) {
    // TI BSL430_Command_Interpreter.c, sendMessage: 0x3B and the message byte.
    Report r{};
    r[0] = kReportId;
    r[1] = 2;
    r[2] = kMessage;
    r[3] = msg;
    out_.emplace_back(answerAt(at), r);
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
        out_.emplace_back(answerAt(at), r);
        off += n;
    } while (off < data.size());
}

uint64_t LoaderModel::answerAt(uint64_t now) const {
    // TI BSL430_API.c, BSL430_massErase waits for the flash controller (BUSY)
    // before it returns, and the USB interface NAKs what comes meanwhile: a
    // command sent during the erase is answered after it, not lost.
    return std::max(now, eraseDoneAt_);
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

void LoaderModel::receive(const uint8_t* data, size_t length, uint64_t now) {
    if (length < kReport || data[0] != kReportId || data[1] == 0)
        return;
    std::function<void()> after;
    {
        std::lock_guard lock(m_);
        // Running garbage, or a RAM loader caught in its own flush (see
        // bufferWrite): nothing is heard any more.
        if (dead_ || hung_)
            return;
        if (data[1] > kReport - 2) {
            // Not TI's: its USB interpreter checks no lengths. The model
            // refuses a packet longer than the report can carry.
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

void LoaderModel::processWrite(uint8_t cmd, const uint8_t* core, size_t nl, uint64_t now) {
    if (nl < 4) {
        if (cmd == 0x10)
            replyMessage(MSG_UNKNOWN, now);
        return;
    }
    LoaderFault fault;
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
        // SLAU319: the ROM loader's RX Data Block Fast never answers.
        romWrite(address, core + 4, nl - 4);
        return;
    }
    // TI BSL430_Command_Interpreter.c, receiveDataBlock: the answer is that of
    // BSL430_openMemory (the lock) and BSL430_writeMemory; with fastWrite set
    // (RX Data Block Fast) there is none.
    const uint8_t result = unlocked_ ? bufferWrite(address, core + 4, nl - 4) : MSG_LOCKED;
    if (cmd == 0x10 && result != kNoAnswer && !resetting_ && !pendingHook_)
        replyMessage(result, now);
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

    // SLAU319 (USB BSL): the ROM loader knows RX Password, RX Data Block Fast
    // and Load PC; TI's interpreter answers anything else UNKNOWN_COMMAND.
    if (mode_ == Mode::Rom && cmd != 0x11 && cmd != 0x1B && cmd != 0x17) {
        replyMessage(MSG_UNKNOWN, now);
        return;
    }

    // The checks of NL below are the model's own: TI's interpreter reads its
    // arguments from the buffer whatever NL says. The library never sends a
    // packet too short for its command.
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
            // BSL430_massErase returns once the erase is done; only then goes
            // the answer out.
            massEraseLocked();
            eraseDoneAt_ = std::max(now, eraseDoneAt_) + kMassEraseMs;
            replyMessage(MSG_PASSWORD, eraseDoneAt_);
        }
        return;
    }
    case 0x10:
    case 0x1B: // RX Data Block (fast)
        processWrite(cmd, core, nl, now);
        return;
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
        eraseDoneAt_ = std::max(now, eraseDoneAt_) + kMassEraseMs;
        replyMessage(MSG_OK, eraseDoneAt_);
        return;
    case 0x16: { // CRC Check: TI BSL430_crcCheck flushes first, ignoring its result
        if (nl != 6) {
            replyMessage(MSG_UNKNOWN, now);
            return;
        }
        if (!unlockedAndFlushed(now))
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
               // flush (result ignored), then jump: the call does not return
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
    case 0x18: { // TX Data Block: TI BSL430_readMemory flushes first, ignoring its result
        // The size limit is the model's (its reply queue), not TI's.
        if (nl != 6 || entry.length > kBufferSize) {
            replyMessage(nl != 6 ? MSG_UNKNOWN : MSG_TOO_LONG, now);
            return;
        }
        if (!unlockedAndFlushed(now))
            return;
        const uint32_t a = address3(core + 1);
        const size_t n = std::min<size_t>(entry.length, kMemorySize - a);
        replyData(std::vector<uint8_t>(mem_.begin() + a, mem_.begin() + a + n), now);
        return;
    }
    case 0x19: // TX BSL Version: sendDataBlock of the 4 version bytes, read
               // as memory (BSL430_readMemory), so the buffer is flushed
        if (!unlocked_ && !versionAnsweredWhileLocked(version_[1])) {
            replyMessage(MSG_LOCKED, now);
            return;
        }
        flushBuffer();
        if (resetting_)
            return;
        replyData({version_.begin(), version_.end()}, now);
        return;
    default: // TX Buffer Size (0x1A) included: TI's USB interpreter has no case for it
        replyMessage(MSG_UNKNOWN, now);
        return;
    }
}

bool LoaderModel::unlockedAndFlushed(uint64_t now) {
    if (!unlocked_) {
        replyMessage(MSG_LOCKED, now);
        return false;
    }
    flushBuffer();
    return !resetting_;
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

} // namespace orvex::sim
