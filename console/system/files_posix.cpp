// Files on POSIX: names go to the system as they are.

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "files.hpp"

namespace {

Unexpected<std::string> failed(int number = errno)
{
    return Unexpected{std::string(std::strerror(number))};
}

bool write_all(int fd, const std::string& text)
{
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        written += static_cast<std::size_t>(n);
    }
    return true;
}

std::string directory_of(const std::string& path)
{
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// Follows symlinks to the file they lead to, which need not exist yet, as
// `>` would create it.
Result<std::string> resolve_links(std::string path)
{
    for (int hops = 0; hops < 40; ++hops) {
        struct stat status {};
        if (lstat(path.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) {
            return path;
        }
        char target[PATH_MAX];
        const ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
        if (n < 0) {
            return failed();
        }
        const std::string next(target, static_cast<std::size_t>(n));
        path = next.starts_with('/') ? next : directory_of(path) + "/" + next;
    }
    return failed(ELOOP);
}

mode_t new_file_mode()
{
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

// Writes into what is there: a device, a FIFO or a terminal stays itself.
Result<void> write_into(const std::string& path, const std::string& text)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd == -1) {
        return failed();
    }
    const bool written = write_all(fd, text);
    const int write_error = errno;
    if (::close(fd) != 0 || !written) {
        return failed(written ? errno : write_error);
    }
    return {};
}

// An exclusive flock, waited for in short steps so a stop is seen at once,
// whenever it comes.
Result<void> lock_within(int fd, GiveUp give_up)
{
    while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR) {
            return failed();
        }
        if (give_up != nullptr && give_up()) {
            return Unexpected{std::string(stopped_waiting)};
        }
        const timespec step{0, 20'000'000L};
        nanosleep(&step, nullptr);
    }
    return {};
}

} // namespace

std::string device_behind_name(const std::string&)
{
    return {}; // every name is a file's or says it is a device (/dev/...)
}

Result<std::string> read_file(const std::string& name, std::size_t limit)
{
    const int fd = name == "-" ? STDIN_FILENO : ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd == -1) {
        return failed();
    }
    std::string text;
    char buffer[8192];
    ssize_t n = 1;
    while (n != 0 && text.size() < limit) {
        n = ::read(fd, buffer, std::min(sizeof buffer, limit - text.size()));
        if (n < 0 && errno != EINTR) {
            break;
        }
        text.append(buffer, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
    }
    const int cause = errno;
    if (fd != STDIN_FILENO) {
        ::close(fd);
    }
    if (n < 0) {
        return failed(cause);
    }
    return text;
}

Result<void> replace_file(const std::string& name, const std::string& text)
{
    const Result<std::string> resolved = resolve_links(name);
    if (!resolved) {
        return Unexpected{resolved.error()};
    }
    const std::string& path = resolved.value();
    struct stat old {};
    const bool exists = stat(path.c_str(), &old) == 0;
    if (exists && S_ISDIR(old.st_mode)) {
        return failed(EISDIR);
    }
    if (exists && !S_ISREG(old.st_mode)) {
        return write_into(path, text);
    }
    // As > would: a file its user may not write is not replaced either.
    if (exists && access(path.c_str(), W_OK) != 0) {
        return failed();
    }
    // A name of our own making beside it: never one that exists already.
    const std::string directory = directory_of(path);
    std::string temporary = path + ".XXXXXX";
    const int fd = mkostemp(temporary.data(), O_CLOEXEC);
    if (fd == -1) {
        return failed();
    }
    bool done = write_all(fd, text);
    int cause = errno;
    if (done && exists) {
        // The owner only where the user may keep it, else the group if one
        // of the user's; the mode always.
        const bool owner_kept = fchown(fd, old.st_uid, old.st_gid) == 0;
        const bool group_kept = owner_kept || fchown(fd, static_cast<uid_t>(-1), old.st_gid) == 0;
        static_cast<void>(group_kept);
        done = fchmod(fd, old.st_mode & 07777) == 0;
    } else if (done) {
        done = fchmod(fd, new_file_mode()) == 0;
    }
    cause = done ? cause : errno;
    // On the disk before it takes the name: a power cut leaves the old file
    // or the new one.
    if (done && fsync(fd) != 0) {
        done = false;
        cause = errno;
    }
    if (::close(fd) != 0 && done) {
        done = false;
        cause = errno;
    }
    if (done && std::rename(temporary.c_str(), path.c_str()) != 0) {
        done = false;
        cause = errno;
    }
    if (!done) {
        ::unlink(temporary.c_str());
        return failed(cause);
    }
    const int folder = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        (void)fsync(folder);
        ::close(folder);
    }
    return {};
}

Result<void, NotCreated> create_new_file(const std::string& name, const std::string& text)
{
    const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd == -1) {
        return Unexpected{NotCreated{.exists = errno == EEXIST, .reason = failed().error}};
    }
    const bool done = write_all(fd, text) && fsync(fd) == 0;
    const int cause = errno;
    ::close(fd);
    if (!done) {
        ::unlink(name.c_str());
        return Unexpected{NotCreated{.reason = failed(cause).error}};
    }
    return {};
}

Result<void> make_directories(const std::string& name)
{
    if (mkdir(name.c_str(), 0777) == 0) {
        return {};
    }
    if (errno == ENOENT && directory_of(name) != name) {
        if (Result<void> above = make_directories(directory_of(name)); !above) {
            return above;
        }
        if (mkdir(name.c_str(), 0777) == 0 || errno == EEXIST) {
            return {};
        }
        return failed();
    }
    struct stat status {};
    if (errno == EEXIST) {
        if (stat(name.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
            return {};
        }
        return failed(ENOTDIR);
    }
    return failed();
}

Result<void> append_rows(const std::string& name, const std::string& header, const std::string& rows, Waiting,
                         GiveUp give_up)
{
    const int fd = ::open(name.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd == -1) {
        return failed();
    }
    if (Result<void> locked = lock_within(fd, give_up); !locked) {
        ::close(fd);
        return locked;
    }
    struct stat status {};
    char last = '\n';
    bool done =
        fstat(fd, &status) == 0 && (status.st_size == 0 || pread(fd, &last, 1, status.st_size - 1) == 1);
    const std::string mend = last == '\n' ? "" : "\n";
    // One write, so a reader never sees half a row.
    done = done && write_all(fd, (status.st_size == 0 ? header : mend) + rows) && fsync(fd) == 0;
    const int cause = errno;
    ::close(fd); // and with it the lock
    if (!done) {
        return failed(cause);
    }
    return {};
}

Result<std::FILE*> open_for_writing(const std::string& name)
{
    std::FILE* file = std::fopen(name.c_str(), "w");
    if (file == nullptr) {
        return failed();
    }
    return file;
}

Result<FileHold> hold_file(const std::string& name, GiveUp give_up)
{
    const int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd == -1) {
        return failed();
    }
    if (Result<void> locked = lock_within(fd, give_up); !locked) {
        ::close(fd);
        return Unexpected{locked.error()};
    }
    return FileHold{fd};
}

Result<void> may_replace(const std::string& name)
{
    const Result<std::string> resolved = resolve_links(name);
    if (!resolved) {
        return Unexpected{resolved.error()};
    }
    const std::string& path = resolved.value();
    struct stat status {};
    if (stat(path.c_str(), &status) == 0) {
        // As replace_file judges it: a device or FIFO is written into.
        if (S_ISDIR(status.st_mode)) {
            return failed(EISDIR);
        }
        if (S_ISREG(status.st_mode) && access(path.c_str(), W_OK) != 0) {
            return failed();
        }
        return {};
    }
    const std::string directory = directory_of(path);
    if (stat(directory.c_str(), &status) != 0) {
        return failed();
    }
    if (!S_ISDIR(status.st_mode)) {
        return failed(ENOTDIR);
    }
    return folder_takes_files(directory);
}

Result<void> folder_takes_files(const std::string& name)
{
    if (access(name.c_str(), W_OK | X_OK) != 0) {
        return failed();
    }
    return {};
}

Result<std::string> read_file_from(const std::string& name, std::uint64_t offset, std::size_t limit, GiveUp)
{
    std::string text;
    const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd == -1 && errno == ENOENT) {
        return text;
    }
    if (fd == -1) {
        return failed();
    }
    struct stat status {};
    bool done = fstat(fd, &status) == 0 && (S_ISREG(status.st_mode) || (errno = EINVAL, false));
    const std::uint64_t size = done ? static_cast<std::uint64_t>(status.st_size) : 0;
    if (done && size > offset) {
        text.resize(static_cast<std::size_t>(std::min<std::uint64_t>(size - offset, limit)));
        std::size_t got = 0;
        while (done && got < text.size()) {
            const ssize_t n =
                pread(fd, text.data() + got, text.size() - got, static_cast<off_t>(offset + got));
            done = n > 0 || (n < 0 && errno == EINTR);
            got += static_cast<std::size_t>(std::max<ssize_t>(n, 0));
        }
        text.resize(got);
    }
    const int cause = errno;
    ::close(fd);
    if (!done) {
        return failed(cause);
    }
    return text;
}

void release_hold(FileHold& hold)
{
    if (hold.handle != -1) {
        ::close(static_cast<int>(hold.handle)); // and with it the lock
        hold.handle = -1;
    }
}
