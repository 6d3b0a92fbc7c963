#include "config/ini_file.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <filesystem>
#include <iterator>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace orvex {

namespace {

using Record = CIniFile::Record;

const std::string kBlanks = " \t\n\r";

// ---------------------------------------------------------------- reading

bool readWholeFile(const std::string& fileName, std::string& out) {
    if (fileName.empty())
        return false;
    const int fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    std::string data;
    char buf[8192];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) { // a directory lands here too (EISDIR)
            ::close(fd);
            return false;
        }
        if (n == 0)
            break;
        data.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    out.swap(data);
    return true;
}

std::vector<Record> parse(const std::string& text, const std::string& fileName) {
    std::vector<Record> records;
    std::string pending; // comment lines waiting for the next record
    std::string current; // section of the keys that follow
    std::size_t pos = 0;
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

// Follows symbolic links so that saving replaces the file a link points to,
// not the link itself.
std::filesystem::path resolveLinks(std::filesystem::path p) {
    namespace fs = std::filesystem;
    for (int hops = 0; hops < 40; ++hops) {
        std::error_code ec;
        if (!fs::is_symlink(fs::symlink_status(p, ec)))
            return p;
        const fs::path link = fs::read_symlink(p, ec);
        if (ec)
            return p;
        p = link.is_absolute() ? link : p.parent_path() / link;
    }
    return p; // a loop: the stat below fails with ELOOP
}

bool writeAll(int fd, const std::string& data) {
    const char* p = data.data();
    std::size_t left = data.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    return true;
}

// Writes a temporary file next to the target and renames it over the target,
// so the file on disk is always either the old or the new whole file.
bool replaceFile(const std::string& fileName, const std::string& data) {
    namespace fs = std::filesystem;
    if (fileName.empty())
        return false;
    const fs::path target = resolveLinks(fs::path(fileName));

    struct stat st {};
    const bool exists = ::stat(target.c_str(), &st) == 0;
    if (exists) {
        // Replacing is only done where writing in place would have been allowed,
        // and never for directories or device files.
        if (!S_ISREG(st.st_mode) || ::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0)
            return false;
    } else if (errno != ENOENT) {
        return false;
    }

    static std::atomic<unsigned> counter{0};
    const fs::path dir = target.has_parent_path() ? target.parent_path() : fs::path(".");
    const std::string base = target.filename().string().substr(0, 100);
    fs::path tmp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        tmp = dir /
              ("." + base + ".tmp" + std::to_string(::getpid()) + "." + std::to_string(counter++));
        // A new file gets the usual 0666 less umask; an existing file's mode is
        // copied below before anything is written.
        fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, exists ? 0600 : 0666);
        if (fd < 0 && errno != EEXIST)
            return false;
    }
    if (fd < 0)
        return false;

    bool ok = true;
    if (exists) {
        // Owner first: changing it may clear mode bits. Only root may give the
        // file away, so a failure here is expected and harmless.
        if (st.st_uid != ::geteuid() || st.st_gid != ::getegid())
            (void)::fchown(fd, st.st_uid, st.st_gid);
        ok = ::fchmod(fd, st.st_mode & 07777) == 0;
    }
    ok = ok && writeAll(fd, data) && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    ok = ok && ::rename(tmp.c_str(), target.c_str()) == 0;
    if (!ok) {
        ::unlink(tmp.c_str());
        return false;
    }
    // Make the rename itself durable; the data is already safe either way.
    const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        (void)::fsync(dfd);
        ::close(dfd);
    }
    return true;
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
    if (!readWholeFile(fileName, text))
        return false;
    std::vector<Record> records = parse(text, fileName); // may throw; content untouched
    content.swap(records);
    return true;
}

bool CIniFile::Save(const std::string& fileName, const std::vector<Record>& content) {
    return replaceFile(fileName, serialize(content));
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
        const auto first = std::find_if(list.begin(), list.end(), RecordSectionIs(section));
        if (first == list.end()) {
            list.push_back(newRecord(section, "", ""));
            list.push_back(newRecord(section, key, value));
        } else if (Record* r = findFirst(list, RecordSectionKeyIs(section, key))) {
            r->Value = value;
        } else {
            list.insert(first + 1, newRecord(section, key, value));
        }
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
