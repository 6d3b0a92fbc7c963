#pragma once

// Whole-file reads and replacements. A replacement writes a temporary file in
// the target's folder and renames it over the target, so the file on disk is
// always either the old or the new whole file.

#include <cstddef>
#include <cstdint>
#include <string>

namespace orvex {

// False when the file cannot be opened or read (a directory included), with
// errno saying why; a pipe is read to its end. A file of more than `limit`
// bytes is not read further: false with errno EFBIG.
bool ReadWholeFile(const std::string& fileName, std::string& out, std::size_t limit = SIZE_MAX);

// What a symbolic link at the target means to a replacement.
enum class AtLink {
    Follow,  // the file it points to is replaced; the link stays
    Replace, // the link itself is replaced by the new file; what it points to is untouched
};

// Replaces the file's contents (creating it when missing). An existing file
// keeps its mode and, where allowed, its owner. False, with the target
// untouched, when the target is not a regular file, could not have been
// written in place, or any write fails.
bool ReplaceFileContents(const std::string& fileName, const std::string& data,
                         AtLink atLink = AtLink::Follow);

} // namespace orvex
