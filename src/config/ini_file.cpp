#include "config/ini_file.h"

#include "config/atomic_file.h"

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <system_error>

namespace orvex {

namespace {

using Record = CIniFile::Record;

const std::string kBlanks = " \t\n\r";

// ---------------------------------------------------------------- reading

std::vector<Record> parse(const std::string& text, const std::string& fileName) {
    std::vector<Record> records;
    std::string pending; // comment lines waiting for the next record
    std::string current; // section of the keys that follow
    // A UTF-8 byte-order mark (editors on some systems write one) is not part
    // of the first line: with it, a first "[appSettings]" would not read as
    // a header.
    std::size_t pos = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    std::size_t lineNo = 0;
    while (pos < text.size()) {
        const std::size_t nl = text.find('\n', pos);
        const std::size_t end = nl == std::string::npos ? text.size() : nl;
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        ++lineNo;

        Trim(line, kBlanks, 0);
        if (line.empty())
            continue;

        char mark = ' ';
        if (line[0] == '#' || line[0] == ';') {
            std::string rest = line.substr(1);
            Trim(rest, kBlanks, 0);
            if ((rest.empty() || rest[0] != '[') && rest.find('=') == std::string::npos) {
                pending += line;
                pending += '\n';
                continue;
            }
            mark = line[0];
            line.swap(rest);
        }

        if (line[0] == '[') {
            const std::size_t close = line.find(']');
            if (close == std::string::npos)
                throw IniFormatError(fileName, lineNo);
            Record r;
            r.Comments.swap(pending);
            r.CommentMark = mark;
            r.Section = line.substr(1, close - 1);
            current = r.Section;
            records.push_back(std::move(r));
            continue;
        }

        const std::size_t eq = line.find('=');
        // A line with nothing before '=' would give an empty key, which is how a
        // header is told apart; it is ignored like any other unreadable line.
        if (eq == std::string::npos || eq == 0)
            continue;
        Record r;
        r.Comments.swap(pending);
        r.CommentMark = mark;
        r.Section = current;
        r.Key = line.substr(0, eq);
        r.Value = line.substr(eq + 1);
        records.push_back(std::move(r));
    }
    return records;
}

// ---------------------------------------------------------------- writing

std::string serialize(const std::vector<Record>& content) {
    std::string out;
    for (const Record& r : content) {
        for (std::size_t i = 0; i < r.Comments.size(); ++i) {
            const char c = r.Comments[i];
            if (c == '\n' && (i == 0 || r.Comments[i - 1] != '\r'))
                out += '\r';
            out += c;
        }
        out += r.CommentMark;
        if (r.Key.empty()) {
            out += '[';
            out += r.Section;
            out += ']';
        } else {
            out += r.Key;
            out += '=';
            out += r.Value;
        }
        out += "\r\n";
    }
    return out;
}

// ---------------------------------------------------------------- helpers

template <class Pred> Record* findFirst(std::vector<Record>& list, Pred pred) {
    const auto it = std::find_if(list.begin(), list.end(), pred);
    return it == list.end() ? nullptr : &*it;
}

Record* findHeader(std::vector<Record>& list, const std::string& section) {
    return findFirst(list, [&](const Record& r) { return r.Key.empty() && r.Section == section; });
}

std::string withFinalLineFeed(std::string text) {
    if (!text.empty() && text.back() != '\n')
        text += '\n';
    return text;
}

Record newRecord(const std::string& section, const std::string& key, const std::string& value) {
    Record r;
    r.Section = section;
    r.Key = key;
    r.Value = value;
    return r;
}

// SetValue on a list: the first match changes in place; a new key goes
// directly after the first record of its section; a new section is appended
// with its key.
void setValueIn(std::vector<Record>& list, const std::string& key, const std::string& value,
                const std::string& section) {
    const auto first = std::find_if(list.begin(), list.end(), CIniFile::RecordSectionIs(section));
    if (first == list.end()) {
        list.push_back(newRecord(section, "", ""));
        list.push_back(newRecord(section, key, value));
    } else if (Record* r = findFirst(list, CIniFile::RecordSectionKeyIs(section, key))) {
        r->Value = value;
    } else {
        list.insert(first + 1, newRecord(section, key, value));
    }
}

// Loads, lets `edit` change the list and saves. `edit` returns false when it
// found nothing to change and the file is to be left alone.
template <class Edit> bool editFile(const std::string& fileName, Edit edit) {
    std::vector<Record> list;
    if (!CIniFile::Load(fileName, list))
        return false;
    if (!edit(list))
        return false;
    return CIniFile::Save(fileName, list);
}

bool setMarkOfFirst(const std::string& fileName, const std::string& key, const std::string& section,
                    char mark) {
    return editFile(fileName, [&](std::vector<Record>& list) {
        Record* r = findFirst(list, CIniFile::RecordSectionKeyIs(section, key));
        if (!r)
            return false;
        r->CommentMark = mark;
        return true;
    });
}

bool setMarkOfSection(const std::string& fileName, const std::string& section, char mark) {
    return editFile(fileName, [&](std::vector<Record>& list) {
        for (Record& r : list)
            if (r.Section == section)
                r.CommentMark = mark;
        return true;
    });
}

} // namespace

IniFormatError::IniFormatError(const std::string& file, std::size_t line)
    : std::out_of_range(file + ":" + std::to_string(line) + ": section header without ']'"),
      line_(line) {}

CIniFile::~CIniFile() = default;

// std::string's comparison is defined on unsigned char, shorter first on a common prefix.
bool CIniFile::AscendingSectionSort::operator()(const Record& a, const Record& b) const {
    return a.Section < b.Section;
}
bool CIniFile::DescendingSectionSort::operator()(const Record& a, const Record& b) const {
    return b.Section < a.Section;
}
bool CIniFile::AscendingRecordSort::operator()(const Record& a, const Record& b) const {
    return a.Key < b.Key;
}
bool CIniFile::DescendingRecordSort::operator()(const Record& a, const Record& b) const {
    return b.Key < a.Key;
}

void Trim(std::string& str, const std::string& chars, int mode) {
    const std::size_t first = str.find_first_not_of(chars);
    if (first == std::string::npos) {
        str.clear();
        return;
    }
    if (mode == 0 || mode == 2)
        str.erase(str.find_last_not_of(chars) + 1);
    if (mode == 0 || mode == 1)
        str.erase(0, first);
}

bool CIniFile::Load(const std::string& fileName, std::vector<Record>& content) {
    std::string text;
    if (!ReadWholeFile(fileName, text))
        return false;
    std::vector<Record> records = parse(text, fileName); // may throw; content untouched
    content.swap(records);
    return true;
}

bool CIniFile::Save(const std::string& fileName, const std::vector<Record>& content) {
    return ReplaceFileContents(fileName, serialize(content));
}

std::string CIniFile::Content(const std::string& fileName) {
    std::vector<Record> list;
    if (!Load(fileName, list))
        return {};
    std::string out;
    for (const Record& r : list) {
        out += r.Comments;
        if (r.CommentMark != ' ')
            out += r.CommentMark;
        if (r.Key.empty())
            out += "[" + r.Section + "]";
        else
            out += r.Key + "=" + r.Value;
        out += '\n';
    }
    return out;
}

bool CIniFile::Create(const std::string& fileName) {
    return Save(fileName, {});
}

std::vector<std::string> CIniFile::GetSectionNames(const std::string& fileName) {
    std::vector<std::string> names;
    for (const Record& r : GetSections(fileName))
        names.push_back(r.Section);
    return names;
}

std::vector<Record> CIniFile::GetSections(const std::string& fileName) {
    std::vector<Record> list;
    std::vector<Record> out;
    if (!Load(fileName, list))
        return out;
    for (Record& r : list)
        if (r.Key.empty())
            out.push_back(std::move(r));
    return out;
}

std::vector<Record> CIniFile::GetSection(const std::string& section, const std::string& fileName) {
    std::vector<Record> list;
    std::vector<Record> out;
    if (!Load(fileName, list))
        return out;
    for (Record& r : list)
        if (!r.Key.empty() && r.Section == section)
            out.push_back(std::move(r));
    return out;
}

bool CIniFile::SectionExists(const std::string& section, const std::string& fileName) {
    std::vector<Record> list;
    return Load(fileName, list) && findFirst(list, RecordSectionIs(section)) != nullptr;
}

bool CIniFile::RecordExists(const std::string& key, const std::string& section,
                            const std::string& fileName) {
    return !GetRecord(key, section, fileName).empty();
}

std::vector<Record> CIniFile::GetRecord(const std::string& key, const std::string& section,
                                        const std::string& fileName) {
    std::vector<Record> list;
    if (!Load(fileName, list))
        return {};
    const Record* r = findFirst(list, RecordSectionKeyIs(section, key));
    if (!r)
        return {};
    return {*r};
}

std::string CIniFile::GetValue(const std::string& key, const std::string& section,
                               const std::string& fileName) {
    const std::vector<Record> r = GetRecord(key, section, fileName);
    return r.empty() ? std::string() : r.front().Value;
}

bool CIniFile::SetValue(const std::string& key, const std::string& value,
                        const std::string& section, const std::string& fileName) {
    return editFile(fileName, [&](std::vector<Record>& list) {
        setValueIn(list, key, value, section);
        return true;
    });
}

bool CIniFile::SetValues(const std::vector<std::pair<std::string, std::string>>& values,
                         const std::string& section, const std::string& fileName) {
    return editFile(fileName, [&](std::vector<Record>& list) {
        for (const auto& [key, value] : values)
            setValueIn(list, key, value, section);
        return true;
    });
}

bool CIniFile::AddSection(const std::string& section, const std::string& fileName) {
    return editFile(fileName, [&](std::vector<Record>& list) {
        list.push_back(newRecord(section, "", ""));
        return true;
    });
}

bool CIniFile::RenameSection(const std::string& oldSection, const std::string& newSection,
                             const std::string& fileName) {
    return editFile(fileName, [&](std::vector<Record>& list) {
        for (Record& r : list)
            if (r.Section == oldSection)
                r.Section = newSection;
        return true;
    });
}

bool CIniFile::CommentRecord(CommentChar cc, const std::string& key, const std::string& section,
                             const std::string& fileName) {
    return setMarkOfFirst(fileName, key, section, static_cast<char>(cc));
}

bool CIniFile::UnCommentRecord(const std::string& key, const std::string& section,
                               const std::string& fileName) {
    return setMarkOfFirst(fileName, key, section, ' ');
}

bool CIniFile::CommentSection(CommentChar cc, const std::string& section,
                              const std::string& fileName) {
    return setMarkOfSection(fileName, section, static_cast<char>(cc));
}

bool CIniFile::UnCommentSection(const std::string& section, const std::string& fileName) {
    return setMarkOfSection(fileName, section, ' ');
}

bool CIniFile::DeleteRecord(const std::string& key, const std::string& section,
                            const std::string& fileName) {
    return editFile(fileName, [&](std::vector<Record>& list) {
        const auto it = std::find_if(list.begin(), list.end(), RecordSectionKeyIs(section, key));
        if (it == list.end())
            return false;
        list.erase(it);
        return true;
    });
}

bool CIniFile::DeleteSection(const std::string& section, const std::string& fileName) {
    return editFile(fileName, [&](std::vector<Record>& list) {
        std::erase_if(list, RecordSectionIs(section));
        return true;
    });
}

bool CIniFile::SetSectionComments(const std::string& comments, const std::string& section,
                                  const std::string& fileName) {
    return editFile(fileName, [&](std::vector<Record>& list) {
        Record* r = findHeader(list, section);
        if (!r)
            return false;
        r->Comments = withFinalLineFeed(comments);
        return true;
    });
}

bool CIniFile::SetRecordComments(const std::string& comments, const std::string& key,
                                 const std::string& section, const std::string& fileName) {
    return editFile(fileName, [&](std::vector<Record>& list) {
        Record* r = findFirst(list, RecordSectionKeyIs(section, key));
        if (!r)
            return false;
        r->Comments = withFinalLineFeed(comments);
        return true;
    });
}

bool CIniFile::Sort(const std::string& fileName, bool descending) {
    return editFile(fileName, [&](std::vector<Record>& list) {
        std::vector<Record> headers;
        for (const Record& r : list)
            if (r.Key.empty())
                headers.push_back(r);
        if (headers.empty())
            return false;
        if (descending)
            std::stable_sort(headers.begin(), headers.end(), DescendingSectionSort());
        else
            std::stable_sort(headers.begin(), headers.end(), AscendingSectionSort());

        const auto keysOf = [&](const std::string& section) {
            std::vector<Record> keys;
            for (const Record& r : list)
                if (!r.Key.empty() && r.Section == section)
                    keys.push_back(r);
            if (descending)
                std::stable_sort(keys.begin(), keys.end(), DescendingRecordSort());
            else
                std::stable_sort(keys.begin(), keys.end(), AscendingRecordSort());
            return keys;
        };

        std::vector<Record> sorted;
        sorted.reserve(list.size());
        const auto append = [&](std::vector<Record> keys) {
            std::move(keys.begin(), keys.end(), std::back_inserter(sorted));
        };
        // Keys before every header have no header to follow; anywhere but the
        // top they would join another section on the next load.
        if (!findHeader(list, ""))
            append(keysOf(""));
        for (std::size_t i = 0; i < headers.size();) {
            const std::string section = headers[i].Section;
            while (i < headers.size() && headers[i].Section == section)
                sorted.push_back(std::move(headers[i++]));
            append(keysOf(section));
        }
        list.swap(sorted);
        return true;
    });
}

} // namespace orvex
