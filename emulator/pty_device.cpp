#include "pty_device.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace emulator {

void close_fd(int& fd)
{
    if (fd >= 0) {
        ::close(fd);
    }
    fd = -1;
}

void log(const PtyLine& line, const std::string& text)
{
    if (line.log) {
        line.log(text);
    }
}

std::string errno_text(const char* what)
{
    return std::string(what) + ": " + std::strerror(errno);
}

bool write_out(PtyLine& line, std::vector<std::uint8_t>& unwritten)
{
    while (!unwritten.empty()) {
        const ssize_t count = ::write(line.master, unwritten.data(), unwritten.size());
        if (count < 0) {
            return errno == EAGAIN || errno == EINTR;
        }
        unwritten.erase(unwritten.begin(), unwritten.begin() + count);
    }
    return true;
}

bool open_pty(PtyLine& line, std::string& error)
{
    line.master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (line.master < 0 || ::grantpt(line.master) != 0 || ::unlockpt(line.master) != 0) {
        error = errno_text("cannot create a pseudo-terminal");
        return false;
    }
    char name[128];
    if (::ptsname_r(line.master, name, sizeof name) != 0) {
        error = errno_text("cannot name the pseudo-terminal");
        return false;
    }
    line.slave_path = name;
    line.held_slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (line.held_slave < 0) {
        error = errno_text("cannot open the pseudo-terminal's slave");
        return false;
    }
    if (line.mode == LineMode::paced) {
        line.session_watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (line.session_watch < 0 || ::inotify_add_watch(line.session_watch, name, IN_OPEN | IN_CLOSE) < 0) {
            error = errno_text("cannot watch the pseudo-terminal");
            return false;
        }
    }
    int wake[2];
    if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        error = errno_text("cannot create a pipe");
        return false;
    }
    line.wake_read = wake[0];
    line.wake_write = wake[1];
    return true;
}

// Puts what the controller sent before anyone opened the port into the
// slave's input. The held slave goes raw first: as it starts (canonical,
// with echo) the bytes would come back to the master and sit in a line
// buffer. Its speed stays, so a client still has to set the line itself.
bool put_waiting(PtyLine& line, const std::vector<std::uint8_t>& bytes, std::string& error)
{
    if (bytes.empty()) {
        return true;
    }
    termios settings{};
    if (::tcgetattr(line.held_slave, &settings) != 0) {
        error = errno_text("cannot read the pseudo-terminal's settings");
        return false;
    }
    ::cfmakeraw(&settings);
    if (::tcsetattr(line.held_slave, TCSANOW, &settings) != 0) {
        error = errno_text("cannot set the pseudo-terminal raw");
        return false;
    }
    std::vector<std::uint8_t> unwritten = bytes;
    if (!write_out(line, unwritten) || !unwritten.empty()) {
        error = errno_text("cannot put the waiting bytes on the line");
        return false;
    }
    // Ready only once they are in the queue: a client that flushes it at
    // open must not have them arrive after its flush.
    for (int tries = 0; tries < 1000; ++tries) {
        pollfd slave{line.held_slave, POLLIN, 0};
        ::poll(&slave, 1, 1);
        int pending = 0;
        if (::ioctl(line.held_slave, FIONREAD, &pending) == 0 && pending >= static_cast<int>(bytes.size())) {
            log(line, "waiting in the port: " + hex(bytes));
            return true;
        }
    }
    error = "the waiting bytes did not reach the port";
    return false;
}

bool make_link(const PtyLine& line, std::string& error)
{
    std::error_code code;
    const std::filesystem::path parent = line.link.parent_path();
    if (!parent.empty()) {
        std::filesystem::create_directories(parent, code);
    }
    if (code) {
        error = "cannot create " + parent.string() + ": " + code.message();
        return false;
    }
    const std::filesystem::file_status status = std::filesystem::symlink_status(line.link, code);
    if (std::filesystem::is_symlink(status)) {
        std::filesystem::remove(line.link, code);
    } else if (std::filesystem::exists(status)) {
        error = line.link.string() + " exists and is not a symlink";
        return false;
    }
    std::filesystem::create_symlink(line.slave_path, line.link, code);
    if (code) {
        error = "cannot create " + line.link.string() + ": " + code.message();
        return false;
    }
    return true;
}

void remove_link(const PtyLine& line)
{
    // Only if it is still ours: a later emulator may have taken the path.
    std::error_code code;
    if (std::filesystem::read_symlink(line.link, code) == line.slave_path && !code) {
        std::filesystem::remove(line.link, code);
    }
}

} // namespace emulator
