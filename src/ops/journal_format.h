#pragma once

// The upgrade journal's file format (JSON), apart from its file, so the
// reader of this outside input can be fuzzed on its own.

#include <string>

#include "ops/upgrade_journal.h"

namespace orvex::firmware {

std::string UpgradeJournalText(const UpgradeJournal& journal);
// The journal in `text`; false with the reason when it is not one: every
// number range-checked, never wrapped, every field of its type.
bool ParseUpgradeJournal(const std::string& text, UpgradeJournal& journal, std::string& why);
// The bytes in lower-case hex, two digits each.
std::string HexOf(const std::string& bytes);

} // namespace orvex::firmware
