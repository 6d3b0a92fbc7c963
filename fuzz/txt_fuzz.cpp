// libFuzzer target for the TI-TXT reader: any bytes must parse or be refused
// with a message; what parses must stay inside the 20-bit address space, come
// out as blocks that respect the size asked for, and read the same from a file
// as from memory.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include <unistd.h>

#include "bsl/ti_text.h"

#include "fuzz_input.h"

namespace {

namespace fs = std::filesystem;

const std::string& workFile() {
    return fuzzin::workFile("txt-fuzz");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace orvex;
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    bsl::TiTextImage image;
    std::string error;
    const bool ok = image.parse(text, error);
    FUZZ_CHECK(ok == error.empty());
    if (!ok) {
        FUZZ_CHECK(image.runs().empty() && image.totalBytes() == 0);
        FUZZ_CHECK(error.rfind("line ", 0) == 0);
    }

    size_t total = 0;
    for (const auto& run : image.runs()) {
        FUZZ_CHECK(!run.bytes.empty());
        FUZZ_CHECK(run.start < 0x100000);
        FUZZ_CHECK(run.start + run.bytes.size() <= 0x100000);
        total += run.bytes.size();
    }
    FUZZ_CHECK(total == image.totalBytes());

    // Blocks of a size picked by the input, including silly ones.
    static const int sizes[] = {0, 1, 3, 32, 58, 512, 5000, 10240, 1 << 20, -7};
    const int asked = sizes[size ? data[0] % (sizeof sizes / sizeof sizes[0]) : 0];
    const uint32_t limit = static_cast<uint32_t>(std::clamp(asked, 1, 10240));
    bsl::BlockCursor cursor;
    cursor.reset(&image);
    DataBlock_ block;
    size_t seen = 0;
    while (cursor.more()) {
        cursor.next(asked, block);
        FUZZ_CHECK(block.byteCount >= 1 && block.byteCount <= limit);
        FUZZ_CHECK(block.startAddress / limit ==
                   (block.startAddress + block.byteCount - 1) / limit);
        seen += block.byteCount;
        FUZZ_CHECK(seen <= total);
    }
    FUZZ_CHECK(seen == total);

    // A file reads exactly as its bytes in memory, NUL bytes and all; without
    // NUL bytes also exactly as the same text handed over in a buffer.
    {
        std::ofstream f(workFile(), std::ios::binary | std::ios::trunc);
        f.write(text.data(), static_cast<std::streamsize>(size));
    }
    bsl::TiTextImage fromFile, fromBytes;
    std::string fileError, bytesError;
    const bool fileOk = fromFile.load(workFile().c_str(), fileError);
    FUZZ_CHECK(fromBytes.parseFileBytes(text, bytesError) == fileOk);
    FUZZ_CHECK(bytesError == fileError);
    const auto same = [](const bsl::TiTextImage& a, const bsl::TiTextImage& b) {
        if (a.runs().size() != b.runs().size())
            return false;
        for (size_t i = 0; i < a.runs().size(); ++i)
            if (a.runs()[i].start != b.runs()[i].start || a.runs()[i].bytes != b.runs()[i].bytes)
                return false;
        return true;
    };
    FUZZ_CHECK(same(fromFile, fromBytes));
    if (std::memchr(data, 0, size) == nullptr) {
        FUZZ_CHECK(fileOk == ok && fileError == error);
        FUZZ_CHECK(same(fromFile, image));
    }
    return 0;
}
