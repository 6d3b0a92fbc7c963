// libFuzzer target for the INI engine: any bytes must load or raise
// IniFormatError, and whatever loads must save and load back unchanged and
// save again byte for byte.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <unistd.h>

#include "config/ini_file.h"

namespace {

namespace fs = std::filesystem;

// Saving flushes to disk; a memory file system keeps the fuzzer fast. The
// folder is removed when the fuzzer exits normally.
struct WorkDir {
    WorkDir() {
        std::error_code ec;
        const fs::path base =
            fs::is_directory("/dev/shm", ec) ? fs::path("/dev/shm") : fs::temp_directory_path();
        path = base / ("orvex-ini-fuzz-" + std::to_string(::getpid()));
        fs::create_directories(path);
    }
    ~WorkDir() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    fs::path path;
};

const fs::path& workDir() {
    static const WorkDir dir;
    return dir.path;
}

std::string readBytes(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using orvex::CIniFile;
    const std::string in = (workDir() / "in.ini").string();
    const std::string out = (workDir() / "out.ini").string();
    {
        std::ofstream f(in, std::ios::binary | std::ios::trunc);
        f.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }

    std::vector<CIniFile::Record> first;
    try {
        if (!CIniFile::Load(in, first))
            std::abort();
    } catch (const orvex::IniFormatError&) {
        return 0;
    }

    if (!CIniFile::Save(out, first))
        std::abort();
    std::vector<CIniFile::Record> second;
    if (!CIniFile::Load(out, second) || second != first)
        std::abort();
    const std::string written = readBytes(out);
    if (!CIniFile::Save(out, second) || readBytes(out) != written)
        std::abort();
    return 0;
}
