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

namespace {

namespace fs = std::filesystem;

struct WorkFile {
    WorkFile() {
        std::error_code ec;
        const fs::path base =
            fs::is_directory("/dev/shm", ec) ? fs::path("/dev/shm") : fs::temp_directory_path();
        path = (base / ("orvex-txt-fuzz-" + std::to_string(::getpid()))).string();
    }
    ~WorkFile() {
        std::error_code ec;
        fs::remove(path, ec);
    }
    std::string path;
};

const std::string& workFile() {
    static const WorkFile f;
    return f.path;
}

void check(bool ok) {
    if (!ok)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace orvex;
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    bsl::TiTextImage image;
    std::string error;
    const bool ok = image.parse(text, error);
    check(ok == error.empty());
    if (!ok) {
        check(image.runs().empty() && image.totalBytes() == 0);
        check(error.rfind("line ", 0) == 0);
    }

    size_t total = 0;
    for (const auto& run : image.runs()) {
        check(!run.bytes.empty());
        check(run.start < 0x100000);
        check(run.start + run.bytes.size() <= 0x100000);
        total += run.bytes.size();
    }
    check(total == image.totalBytes());

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
        check(block.byteCount >= 1 && block.byteCount <= limit);
        check(block.startAddress / limit == (block.startAddress + block.byteCount - 1) / limit);
        seen += block.byteCount;
        check(seen <= total);
    }
    check(seen == total);

    // A file without NUL bytes reads exactly as the same text in memory.
    if (std::memchr(data, 0, size) == nullptr) {
        {
            std::ofstream f(workFile(), std::ios::binary | std::ios::trunc);
            f.write(text.data(), static_cast<std::streamsize>(size));
        }
        bsl::TiTextImage fromFile;
        std::string fileError;
        check(fromFile.load(workFile().c_str(), fileError) == ok);
        check(fileError == error);
        check(fromFile.runs().size() == image.runs().size());
        for (size_t i = 0; i < image.runs().size(); ++i)
            check(fromFile.runs()[i].start == image.runs()[i].start &&
                  fromFile.runs()[i].bytes == image.runs()[i].bytes);
    }
    return 0;
}
