// libFuzzer target for the session trace reader: any bytes read as a file
// give a trace or a one-line error; each line parses or is refused with a
// reason, a line too long for the reader among them; what the writer
// produces reads back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <unistd.h>

#include "trace/trace_format.h"

#include "fuzz_input.h"

namespace {

namespace fs = std::filesystem;

const std::string& workFile() {
    return fuzzin::workFile("trace-fuzz.jsonl");
}

// Every accessor of a parsed line answers, whatever the key holds.
void touch(const orvex::trace::Line& line) {
    for (const char* key : {"format", "version", "ev", "n", "data", "args", "count", ""}) {
        (void)line.text(key);
        (void)line.number(key, -1);
        (void)line.flag(key);
        (void)line.list(key);
        (void)line.has(key);
    }
    if (const auto bytes = orvex::trace::Unhex(line.text("data")))
        FUZZ_CHECK(orvex::trace::Hex(bytes->data(), bytes->size()).size() ==
                   line.text("data").size());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using orvex::trace::Line;
    const std::string input(reinterpret_cast<const char*>(data), size);

    // Each line on its own: parsed, or refused with a reason.
    for (size_t pos = 0; pos <= input.size();) {
        const size_t nl = input.find('\n', pos);
        const size_t end = nl == std::string::npos ? input.size() : nl;
        Line line;
        std::string why;
        if (line.parse(input.substr(pos, end - pos), why)) {
            FUZZ_CHECK(why.empty());
            touch(line);
        } else {
            FUZZ_CHECK(!why.empty());
        }
        pos = end + 1;
    }

    // What the writer dumps reads back: the same text when it is UTF-8,
    // otherwise with U+FFFD in place of the bytes that are not.
    Line written;
    std::string why;
    const orvex::trace::Json event{{"k", input}, {"l", {input}}};
    FUZZ_CHECK(written.parse(orvex::trace::Dump(event), why));
    FUZZ_CHECK(written.list("l").size() == 1 && written.list("l")[0] == written.text("k"));
    FUZZ_CHECK(written.text("k") == input ||
               orvex::trace::Dump(event).find("\xEF\xBF\xBD") != std::string::npos);
    const std::string hex = orvex::trace::Hex(data, size);
    const auto back = orvex::trace::Unhex(hex);
    FUZZ_CHECK(back && back->size() == size && std::equal(back->begin(), back->end(), data));

    // The whole as a file: a trace, or one line saying why not.
    {
        std::ofstream f(workFile(), std::ios::binary | std::ios::trunc);
        f.write(input.data(), static_cast<std::streamsize>(input.size()));
    }
    orvex::trace::Trace trace;
    std::string error;
    if (orvex::trace::ReadTrace(workFile(), trace, error)) {
        FUZZ_CHECK(trace.header.text("format") == orvex::trace::kFormatName);
        FUZZ_CHECK(trace.header.number("version") == orvex::trace::kFormatVersion);
        for (const auto& e : trace.events)
            touch(e);
    } else {
        FUZZ_CHECK(!error.empty() && error.find('\n') == std::string::npos);
    }
    return 0;
}
