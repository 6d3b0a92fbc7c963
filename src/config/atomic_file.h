#pragma once

// Whole-file reads and replacements. A replacement writes a temporary file in
// the target's folder and renames it over the target, so the file on disk is
// always either the old or the new whole file.

#include <string>

namespace orvex {

// False when the file cannot be opened or read (a directory included).
bool ReadWholeFile(const std::string& fileName, std::string& out);

// Replaces the file's contents (creating it when missing). A link is followed
// and the file it points to replaced; an existing file keeps its mode and,
// where allowed, its owner. False, with the target untouched, when the target
// is not a regular file, could not have been written in place, or any write
// fails.
bool ReplaceFileContents(const std::string& fileName, const std::string& data);

} // namespace orvex
