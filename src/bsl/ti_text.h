#pragma once

// The TI-TXT reader: the only code that parses firmware images. It reads the
// whole text into runs of consecutive bytes first, so a malformed image is
// refused before anything reaches the device, and hands the runs out as blocks.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "bsl/bsl430.h"

namespace orvex::bsl {

// More data than the whole 20-bit address space is not an image.
inline constexpr size_t kMaxImageBytes = 0x100000;
inline constexpr uint32_t kMaxBlockBytes = sizeof(DataBlock_::data);

struct TextRun {
    uint32_t start = 0;
    std::vector<uint8_t> bytes;
};

// Asked about the address of every data byte while a text is read; a non-empty
// answer refuses the text at that byte's line, with the answer as the reason.
using AddressCheck = std::function<std::string(uint32_t address)>;

class TiTextImage {
public:
    // Accepts "@ADDR" lines (any number of hex digits, at most 0xFFFFF), data
    // lines of two-digit hex bytes separated by spaces or tabs, CR LF or LF line
    // ends, either case, and "q"/"Q" as the end. The text also ends at a NUL
    // byte or at the end of the view; without a "q" before that it is refused.
    // On failure returns false and sets `error` ("line N: ...").
    bool parse(std::string_view text, std::string& error, const AddressCheck& check = {});
    // The same for a file, read in chunks (any size, bounded memory).
    bool load(const char* path, std::string& error, const AddressCheck& check = {});
    // The same for a file's bytes already in memory: read as load() reads the
    // file, so a NUL byte is an invalid character, not the end of the text.
    bool parseFileBytes(std::string_view bytes, std::string& error, const AddressCheck& check = {});

    const std::vector<TextRun>& runs() const { return runs_; }
    size_t totalBytes() const { return total_; }

private:
    template <typename Source>
    bool parseFrom(Source& src, std::string& error, const AddressCheck& check);
    void clear();

    std::vector<TextRun> runs_;
    size_t total_ = 0;
};

// Walks the runs of an image as blocks of at most the size asked for.
class BlockCursor {
public:
    void reset(const TiTextImage* image);
    bool more() const;
    // Fills the next block; the size is clamped to 1..10240 so every call makes
    // progress. A block ends at the end of its run or just before an address
    // that is a multiple of the size, whichever comes first.
    void next(int maxBytes, DataBlock_& out);

private:
    const TiTextImage* image_ = nullptr;
    size_t run_ = 0;
    size_t offset_ = 0;
};

} // namespace orvex::bsl
