// libFuzzer target for the upgrade journal's reader: any bytes are read or
// refused, never crash; every journal read has its numbers in range and
// writes back to a text that reads as the same journal.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ops/journal_format.h"

namespace {

bool same(const orvex::firmware::UpgradeJournal& a, const orvex::firmware::UpgradeJournal& b) {
    const auto& x = a.settings;
    const auto& y = b.settings;
    return a.program == b.program && a.startedAt == b.startedAt && a.imagePath == b.imagePath &&
           a.imageSha256 == b.imageSha256 && a.downloadStarted == b.downloadStarted &&
           x.captured == y.captured && x.serialNumber == y.serialNumber && x.usbPort == y.usbPort &&
           x.no_of_keys == y.no_of_keys && x.keypad_table == y.keypad_table &&
           x.led_brightness == y.led_brightness && x.buzzer_enable == y.buzzer_enable &&
           x.buzzer_period == y.buzzer_period && x.key_codes == y.key_codes;
}

bool utf8(const std::string& s) {
    for (size_t i = 0; i < s.size(); ++i)
        if (static_cast<unsigned char>(s[i]) >= 0x80)
            return false;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace orvex::firmware;
    if (size > kMaxJournalBytes)
        return 0; // the reader refuses such a file before parsing
    UpgradeJournal journal;
    std::string why;
    if (!ParseUpgradeJournal(std::string(reinterpret_cast<const char*>(data), size), journal, why))
        return 0;
    const auto& s = journal.settings;
    if (s.serialNumber.size() > 12 || s.no_of_keys < 0 || s.no_of_keys > 255 ||
        s.buzzer_period < -1 || s.buzzer_period > 254)
        std::abort();
    for (int code : s.key_codes)
        if (code < 0 || code > 255)
            std::abort();
    // Texts that are not ASCII may be replaced on writing; the rest round-trips.
    if (!utf8(journal.program) || !utf8(journal.startedAt) || !utf8(journal.imagePath) ||
        !utf8(journal.imageSha256) || !utf8(s.usbPort))
        return 0;
    UpgradeJournal again;
    if (!ParseUpgradeJournal(UpgradeJournalText(journal), again, why) || !same(journal, again))
        std::abort();
    return 0;
}
