#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace orvex {

// Raised by CIniFile::Load (and so by every operation that loads) when a
// section header line has no closing ']'. Nothing is written back after it.
class IniFormatError : public std::out_of_range {
public:
    IniFormatError(const std::string& file, std::size_t line);
    // 1-based number of the offending line.
    std::size_t line() const { return line_; }

private:
    std::size_t line_;
};

// Whole-file INI engine. Nothing is kept between calls: every operation loads
// the file into an ordered record list, works on that list and, when it changes
// something, writes the whole file back. Comments and commented-out records are
// kept, so an edit leaves the rest of the file as it was.
//
// A UTF-8 byte-order mark at the start of a file is skipped when it loads.
// Texts are 8-bit byte strings, used without any code-page conversion; names
// are compared byte for byte (case-sensitive, no trimming). Lookups ignore the
// comment marker, so they also find commented-out records.
//
// Lines are written with CR LF, active records led by one space. A file the
// engine wrote loads back to the same records and saves again byte for byte
// (as long as no key or value carries a line break or leading/trailing blanks
// at the ends of its line).
//
// Failures are results: false, an empty list or an empty text, and nothing is
// written. Editing operations never create a missing file; Create does.
// The one exception: a section line without ']' throws IniFormatError from
// every operation that loads.
class CIniFile {
public:
    // The character a record is commented out with.
    enum CommentChar : char { Pound = '#', SemiColon = ';' };

    // One line of the file that is a section header (Key empty) or a key.
    struct Record {
        // Comment lines that stood directly before this record, each whole
        // (with its leading # or ;) and followed by a line feed.
        std::string Comments;
        // ' ' for an active record, '#' or ';' when it is commented out.
        char CommentMark = ' ';
        // Section name; for a key, the section it belongs to ("" before any header).
        std::string Section;
        // Key name; empty marks a section header.
        std::string Key;
        std::string Value;

        bool operator==(const Record&) const = default;
    };

    struct RecordSectionIs {
        explicit RecordSectionIs(const std::string& section) : section_(section) {}
        bool operator()(const Record& r) const { return r.Section == section_; }
        std::string section_;
    };

    struct RecordSectionKeyIs {
        RecordSectionKeyIs(const std::string& section, const std::string& key)
            : section_(section), key_(key) {}
        bool operator()(const Record& r) const { return r.Section == section_ && r.Key == key_; }
        std::string section_;
        std::string key_;
    };

    // Orderings compare bytes as unsigned characters, shorter first on a common prefix.
    struct AscendingSectionSort {
        bool operator()(const Record& a, const Record& b) const;
    };
    struct DescendingSectionSort {
        bool operator()(const Record& a, const Record& b) const;
    };
    struct AscendingRecordSort {
        bool operator()(const Record& a, const Record& b) const;
    };
    struct DescendingRecordSort {
        bool operator()(const Record& a, const Record& b) const;
    };

    CIniFile() = default;
    virtual ~CIniFile();

    // Reads the whole file into `content`. False if it cannot be read; `content`
    // is then untouched. Throws IniFormatError (content untouched) on a section
    // line without ']'.
    static bool Load(const std::string& fileName, std::vector<Record>& content);
    // Writes `content` to a temporary file in the same folder, flushes it to
    // disk and renames it over `fileName`, keeping an existing file's
    // permissions (symbolic links are followed). False when the target is not
    // writable or any step fails; the file on disk is then the old one.
    static bool Save(const std::string& fileName, const std::vector<Record>& content);
    // The file as one text: markers only when not a space, every line ended
    // by a single line feed. Empty if the file cannot be read.
    static std::string Content(const std::string& fileName);
    // Creates the file, or empties an existing one.
    static bool Create(const std::string& fileName);

    static std::vector<std::string> GetSectionNames(const std::string& fileName);
    // Section header records in file order.
    static std::vector<Record> GetSections(const std::string& fileName);
    // Key records of the section in file order (no header).
    static std::vector<Record> GetSection(const std::string& section, const std::string& fileName);
    // True when any record (header or key) belongs to the section.
    static bool SectionExists(const std::string& section, const std::string& fileName);
    static bool RecordExists(const std::string& key, const std::string& section,
                             const std::string& fileName);
    // The first matching record alone, or an empty list.
    static std::vector<Record> GetRecord(const std::string& key, const std::string& section,
                                         const std::string& fileName);
    // Empty when the key is missing.
    static std::string GetValue(const std::string& key, const std::string& section,
                                const std::string& fileName);
    // Changes the value of the first match in place. A new key goes directly
    // after the first record of its section (so keys added one after another
    // end up in reverse order); a new section is appended with its key.
    static bool SetValue(const std::string& key, const std::string& value,
                         const std::string& section, const std::string& fileName);
    // Sets several keys of one section as SetValue would, one after another,
    // with one load and one save: the file on disk goes from the old to the new
    // whole file in one step, never holding some of the keys new.
    static bool SetValues(const std::vector<std::pair<std::string, std::string>>& values,
                          const std::string& section, const std::string& fileName);
    // Appends a header without looking for an existing one.
    static bool AddSection(const std::string& section, const std::string& fileName);
    // Renames header and keys; rewrites the file also when nothing matched.
    static bool RenameSection(const std::string& oldSection, const std::string& newSection,
                              const std::string& fileName);
    // First match only; false (nothing written) when there is none.
    static bool CommentRecord(CommentChar cc, const std::string& key, const std::string& section,
                              const std::string& fileName);
    static bool UnCommentRecord(const std::string& key, const std::string& section,
                                const std::string& fileName);
    // Header and keys; rewrites the file also when nothing matched.
    static bool CommentSection(CommentChar cc, const std::string& section,
                               const std::string& fileName);
    static bool UnCommentSection(const std::string& section, const std::string& fileName);
    // First match with its comments; false (nothing written) when there is none.
    static bool DeleteRecord(const std::string& key, const std::string& section,
                             const std::string& fileName);
    // Header, keys and their comments; rewrites the file also when nothing matched.
    static bool DeleteSection(const std::string& section, const std::string& fileName);
    // Replace the comments of the first matching header / record; a line feed
    // is appended to a non-empty text that lacks one. Each line should start
    // with # or ; to read back as a comment. False when there is no match.
    static bool SetSectionComments(const std::string& comments, const std::string& section,
                                   const std::string& fileName);
    static bool SetRecordComments(const std::string& comments, const std::string& key,
                                  const std::string& section, const std::string& fileName);
    // Sections by name, each followed by its keys sorted by key, both in the
    // same direction. Keys that precede every header stay at the top (sorted);
    // headers sharing a name are kept together, followed by their keys once.
    // False (nothing written) when the file has no section header.
    static bool Sort(const std::string& fileName, bool descending);
};

// Strips characters of `chars` from `str`: mode 0 both ends, 1 the start only,
// 2 the end only. A text made only of such characters becomes empty whatever
// the mode.
void Trim(std::string& str, const std::string& chars = " \t\n\r", int mode = 0);

} // namespace orvex
