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

bool failed(std::string& error, int number = errno)
{
    error = std::strerror(number);
    return false;
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
bool resolve_links(std::string& path, std::string& error)
{
    for (int hops = 0; hops < 40; ++hops) {
        struct stat status {};
        if (lstat(path.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) {
            return true;
        }
        char target[PATH_MAX];
        const ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
        if (n < 0) {
            return failed(error);
        }
        const std::string next(target, static_cast<std::size_t>(n));
        path = next.starts_with('/') ? next : directory_of(path) + "/" + next;
    }
    return failed(error, ELOOP);
}

mode_t new_file_mode()
{
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

// Writes into what is there: a device, a FIFO or a terminal stays itself.
bool write_into(const std::string& path, const std::string& text, std::string& error)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd == -1) {
        return failed(error);
    }
    const bool written = write_all(fd, text);
    const int write_error = errno;
    if (::close(fd) != 0 || !written) {
        return failed(error, written ? errno : write_error);
    }
    return true;
}

// An exclusive flock, waited for in short steps so a stop is seen at once,
// whenever it comes.
bool lock_within(int fd, GiveUp give_up, std::string& error)
{
    while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR) {
            return failed(error);
        }
        if (give_up != nullptr && give_up()) {
            error = stopped_waiting;
            return false;
        }
        const timespec step{0, 20'000'000L};
        nanosleep(&step, nullptr);
    }
    return true;
}

} // namespace

std::string device_behind_name(const std::string&)
{
    return {}; // every name is a file's or says it is a device (/dev/...)
}

bool read_file(const std::string& name, std::size_t limit, std::string& text, std::string& error)
{
    const int fd = name == "-" ? STDIN_FILENO : ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd == -1) {
        return failed(error);
    }
    text.clear();
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
    return n >= 0 || failed(error, cause);
}

bool replace_file(const std::string& name, const std::string& text, std::string& error)
{
    std::string path = name;
    if (!resolve_links(path, error)) {
        return false;
    }
    struct stat old {};
    const bool exists = stat(path.c_str(), &old) == 0;
    if (exists && S_ISDIR(old.st_mode)) {
        return failed(error, EISDIR);
    }
    if (exists && !S_ISREG(old.st_mode)) {
        return write_into(path, text, error);
    }
    // As > would: a file its user may not write is not replaced either.
    if (exists && access(path.c_str(), W_OK) != 0) {
        return failed(error);
    }
    // A name of our own making beside it: never one that exists already.
    const std::string directory = directory_of(path);
    std::string temporary = path + ".XXXXXX";
    const int fd = mkostemp(temporary.data(), O_CLOEXEC);
    if (fd == -1) {
        return failed(error);
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
        return failed(error, cause);
    }
    const int folder = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        (void)fsync(folder);
        ::close(folder);
    }
    return true;
}

bool create_new_file(const std::string& name, const std::string& text, bool& exists, std::string& error)
{
    const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    exists = fd == -1 && errno == EEXIST;
    if (fd == -1) {
        return failed(error);
    }
    const bool done = write_all(fd, text) && fsync(fd) == 0;
    const int cause = errno;
    ::close(fd);
    if (!done) {
        ::unlink(name.c_str());
        return failed(error, cause);
    }
    return true;
}

bool make_directories(const std::string& name, std::string& error)
{
    if (mkdir(name.c_str(), 0777) == 0) {
        return true;
    }
    if (errno == ENOENT && directory_of(name) != name) {
        return make_directories(directory_of(name), error) &&
               (mkdir(name.c_str(), 0777) == 0 || errno == EEXIST || failed(error));
    }
    struct stat status {};
    if (errno == EEXIST) {
        return (stat(name.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) || failed(error, ENOTDIR);
    }
    return failed(error);
}

bool append_rows(const std::string& name, const std::string& header, const std::string& rows,
                 std::string& error, Waiting, GiveUp give_up)
{
    const int fd = ::open(name.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd == -1) {
        return failed(error);
    }
    if (!lock_within(fd, give_up, error)) {
        ::close(fd);
        return false;
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
    return done || failed(error, cause);
}

std::FILE* open_for_writing(const std::string& name, std::string& error)
{
    std::FILE* file = std::fopen(name.c_str(), "w");
    if (file == nullptr) {
        failed(error);
    }
    return file;
}

bool hold_file(const std::string& name, FileHold& hold, std::string& error, GiveUp give_up)
{
    const int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd == -1) {
        return failed(error);
    }
    if (!lock_within(fd, give_up, error)) {
        ::close(fd);
        return false;
    }
    hold.handle = fd;
    return true;
}

bool may_replace(const std::string& name, std::string& error)
{
    std::string path = name;
    if (!resolve_links(path, error)) {
        return false;
    }
    struct stat status {};
    if (stat(path.c_str(), &status) == 0) {
        // As replace_file judges it: a device or FIFO is written into.
        return S_ISDIR(status.st_mode)                                      ? failed(error, EISDIR)
               : S_ISREG(status.st_mode) && access(path.c_str(), W_OK) != 0 ? failed(error)
                                                                            : true;
    }
    const std::string directory = directory_of(path);
    if (stat(directory.c_str(), &status) != 0) {
        return failed(error);
    }
    return !S_ISDIR(status.st_mode) ? failed(error, ENOTDIR) : folder_takes_files(directory, error);
}

bool folder_takes_files(const std::string& name, std::string& error)
{
    return access(name.c_str(), W_OK | X_OK) == 0 || failed(error);
}

bool read_file_from(const std::string& name, std::uint64_t offset, std::size_t limit, std::string& text,
                    bool& exists, std::string& error, GiveUp)
{
    text.clear();
    const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    exists = fd != -1 || errno != ENOENT;
    if (fd == -1) {
        return !exists || failed(error);
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
    return done || failed(error, cause);
}

void release_hold(FileHold& hold)
{
    if (hold.handle != -1) {
        ::close(static_cast<int>(hold.handle)); // and with it the lock
        hold.handle = -1;
    }
}
