#include "bsl/ti_text.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "bsl/bsl_protocol.h"

namespace orvex::bsl {

namespace {

constexpr int kEnd = -1;

int hexValue(int c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

bool isBlank(int c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v';
}

// Bytes in memory. A text handed over in a fixed buffer ends at its first NUL
// (the buffers are zero-filled); a file's bytes read into memory do not, and a
// NUL there is just an invalid character, as in the file itself.
class MemorySource {
public:
    MemorySource(std::string_view bytes, bool endAtNul) : bytes_(bytes), endAtNul_(endAtNul) {}
    int get() {
        if (pos_ >= bytes_.size() || (endAtNul_ && bytes_[pos_] == '\0'))
            return kEnd;
        return static_cast<unsigned char>(bytes_[pos_++]);
    }

private:
    std::string_view bytes_;
    bool endAtNul_;
    size_t pos_ = 0;
};

// A file read in chunks; a NUL byte is just an invalid character here.
class FileSource {
public:
    explicit FileSource(std::FILE* f) : f_(f) {}
    int get() {
        if (pos_ == len_) {
            len_ = std::fread(buf_, 1, sizeof buf_, f_);
            pos_ = 0;
            if (len_ == 0)
                return kEnd;
        }
        return buf_[pos_++];
    }
    bool failed() const { return std::ferror(f_) != 0; }

private:
    std::FILE* f_;
    unsigned char buf_[8192];
    size_t len_ = 0;
    size_t pos_ = 0;
};

std::string lineError(size_t line, const std::string& what) {
    return "line " + std::to_string(line) + ": " + what;
}

} // namespace

void TiTextImage::clear() {
    runs_.clear();
    total_ = 0;
}

template <typename Source>
bool TiTextImage::parseFrom(Source& src, std::string& error, const AddressCheck& check) {
    clear();
    size_t line = 1;
    size_t tokensOnLine = 0;
    bool inSection = false;
    uint32_t address = 0;
    int c = src.get();

    auto fail = [&](const std::string& what) {
        error = lineError(line, what);
        clear();
        return false;
    };
    // After an address or "q" only blanks may follow on the line.
    auto restOfLineBlank = [&]() {
        while (isBlank(c))
            c = src.get();
        return c == '\n' || c == kEnd;
    };

    for (;;) {
        if (c == kEnd)
            return fail("missing \"q\" at the end");
        if (isBlank(c)) {
            c = src.get();
            continue;
        }
        if (c == '\n') {
            ++line;
            tokensOnLine = 0;
            c = src.get();
            continue;
        }
        ++tokensOnLine;
        if (c == '@') {
            if (tokensOnLine != 1)
                return fail("address not at the start of a line");
            uint32_t value = 0;
            size_t digits = 0;
            for (c = src.get(); hexValue(c) >= 0; c = src.get()) {
                value = (value << 4) | static_cast<uint32_t>(hexValue(c));
                ++digits;
                if (value >= kAddressLimit)
                    return fail("address beyond 20 bits");
            }
            if (digits == 0 || !restOfLineBlank())
                return fail("malformed address line");
            inSection = true;
            address = value;
            continue;
        }
        if (c == 'q' || c == 'Q') {
            c = src.get();
            if (tokensOnLine != 1 || !restOfLineBlank())
                return fail("malformed end line");
            return true;
        }
        // A data token: exactly two hex digits.
        const int hi = hexValue(c);
        if (hi < 0)
            return fail("not a hexadecimal byte");
        const int lo = hexValue(c = src.get());
        if (lo < 0)
            return fail("not a two-digit byte");
        c = src.get();
        if (c != kEnd && c != '\n' && !isBlank(c))
            return fail("not a two-digit byte");
        if (!inSection)
            return fail("data before the first address");
        if (address >= kAddressLimit)
            return fail("data beyond the 20-bit address space");
        if (total_ >= kMaxImageBytes)
            return fail("image larger than the address space");
        if (check) {
            if (std::string why = check(address); !why.empty())
                return fail(why);
        }
        if (runs_.empty() || runs_.back().start + runs_.back().bytes.size() != address)
            runs_.push_back({address, {}});
        runs_.back().bytes.push_back(static_cast<uint8_t>((hi << 4) | lo));
        ++total_;
        ++address;
    }
}

bool TiTextImage::parse(std::string_view text, std::string& error, const AddressCheck& check) {
    MemorySource src(text, true);
    return parseFrom(src, error, check);
}

bool TiTextImage::parseFileBytes(std::string_view bytes, std::string& error,
                                 const AddressCheck& check) {
    MemorySource src(bytes, false);
    return parseFrom(src, error, check);
}

bool TiTextImage::load(const char* path, std::string& error, const AddressCheck& check) {
    clear();
    if (!path || !*path) {
        error = "no file name";
        return false;
    }
    std::FILE* f = std::fopen(path, "rb");
    if (!f) {
        error = std::string("cannot open ") + path;
        return false;
    }
    FileSource src(f);
    bool ok = parseFrom(src, error, check);
    if (ok && src.failed()) {
        error = std::string("cannot read ") + path;
        clear();
        ok = false;
    }
    std::fclose(f);
    return ok;
}

void BlockCursor::reset(const TiTextImage* image) {
    image_ = image;
    run_ = 0;
    offset_ = 0;
}

bool BlockCursor::more() const {
    return image_ && run_ < image_->runs().size();
}

void BlockCursor::next(int maxBytes, DataBlock_& out) {
    out.byteCount = 0;
    out.startAddress = 0;
    if (!more())
        return;
    const uint32_t size = static_cast<uint32_t>(
        std::clamp<int64_t>(maxBytes, 1, static_cast<int64_t>(kMaxBlockBytes)));
    const TextRun& run = image_->runs()[run_];
    const uint32_t address = run.start + static_cast<uint32_t>(offset_);
    const size_t left = run.bytes.size() - offset_;
    const uint32_t room = size - address % size;
    const size_t n = std::min<size_t>(left, room);
    std::memcpy(out.data, run.bytes.data() + offset_, n);
    out.byteCount = static_cast<uint32_t>(n);
    out.startAddress = address;
    offset_ += n;
    if (offset_ == run.bytes.size()) {
        ++run_;
        offset_ = 0;
    }
}

} // namespace orvex::bsl
