#include "config/atomic_file.h"

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace orvex {

namespace {

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

} // namespace

bool ReadWholeFile(const std::string& fileName, std::string& out, std::size_t limit) {
    if (fileName.empty()) {
        errno = ENOENT;
        return false;
    }
    const int fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    std::string data;
    char buf[8192];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0)
            break;
        // A directory fails here (EISDIR); a file without end at the limit.
        if (n < 0 || data.size() + static_cast<std::size_t>(n) > limit) {
            const int error = n < 0 ? errno : EFBIG;
            ::close(fd);
            errno = error;
            return false;
        }
        data.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    out.swap(data);
    return true;
}

// Writes a temporary file next to the target and renames it over the target,
// so the file on disk is always either the old or the new whole file.
bool ReplaceFileContents(const std::string& fileName, const std::string& data, AtLink atLink) {
    namespace fs = std::filesystem;
    if (fileName.empty())
        return false;
    const bool follow = atLink == AtLink::Follow;
    const fs::path target = follow ? resolveLinks(fs::path(fileName)) : fs::path(fileName);

    struct stat st {};
    const int found = follow ? ::stat(target.c_str(), &st) : ::lstat(target.c_str(), &st);
    if (found != 0 && errno != ENOENT)
        return false;
    // A link that is to be replaced counts as no file: the new file gets the
    // usual mode, and the rename below takes the link's place.
    const bool exists = found == 0 && !S_ISLNK(st.st_mode);
    // Replacing is only done where writing in place would have been allowed,
    // and never for directories or device files.
    if (exists &&
        (!S_ISREG(st.st_mode) || ::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0))
        return false;

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
        if (st.st_uid != ::geteuid() || st.st_gid != ::getegid()) {
            [[maybe_unused]] const int given = ::fchown(fd, st.st_uid, st.st_gid);
        }
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

} // namespace orvex
