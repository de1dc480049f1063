// POSIX serial link: termios for the line, flock and TIOCEXCL for exclusive
// access, ppoll against one monotonic deadline for the total read time-out.

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <string>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include "ports_posix.hpp"
#include "serial_platform.hpp"

#ifndef COM_DEVICE_PREFIX
#define COM_DEVICE_PREFIX "/dev/ttyS"
#endif

namespace {

std::string com_device_prefix = COM_DEVICE_PREFIX;

// The group that may use the device, e.g. dialout; empty when unknown.
std::string device_group(const std::string& path)
{
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) {
        return {};
    }
    const group* owner = getgrgid(status.st_gid);
    return owner != nullptr ? owner->gr_name : std::to_string(status.st_gid);
}

termios wanted_settings(termios settings)
{
    cfmakeraw(&settings);
    cfsetispeed(&settings, B9600);
    cfsetospeed(&settings, B9600);
    settings.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK | IGNPAR | PARMRK);
    settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CSTOPB | CRTSCTS);
    settings.c_cflag |= CS8 | PARENB | PARODD | CLOCAL | CREAD;
    // Reads wait in ppoll; read() itself must never block.
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
    return settings;
}

// glibc's tcsetattr reports EINVAL when a pseudo-terminal keeps none of the
// requested changes (it drops PARENB), even where the line is already set
// as wanted. So its result is not trusted either way: the settings are read
// back and what matters is judged.
bool line_holds(int fd, const termios& wanted)
{
    termios actual{};
    if (tcgetattr(fd, &actual) != 0) {
        return false;
    }
    const tcflag_t cflag_mask = CSIZE | CSTOPB | CLOCAL | CREAD | CRTSCTS | PARODD;
    const tcflag_t iflag_mask = IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP | INPCK | PARMRK;
    const tcflag_t lflag_mask = ICANON | ECHO | ISIG | IEXTEN;
    bool holds = cfgetispeed(&actual) == cfgetispeed(&wanted) &&
                 cfgetospeed(&actual) == cfgetospeed(&wanted) &&
                 (actual.c_cflag & cflag_mask) == (wanted.c_cflag & cflag_mask) &&
                 (actual.c_iflag & iflag_mask) == (wanted.c_iflag & iflag_mask) &&
                 (actual.c_lflag & lflag_mask) == (wanted.c_lflag & lflag_mask) &&
                 (actual.c_oflag & OPOST) == (wanted.c_oflag & OPOST) &&
                 actual.c_cc[VMIN] == wanted.c_cc[VMIN] && actual.c_cc[VTIME] == wanted.c_cc[VTIME];
    struct stat status {};
    if (fstat(fd, &status) != 0 || !is_pseudo_terminal_major(major(status.st_rdev))) {
        holds = holds && (actual.c_cflag & PARENB) != 0;
    }
    return holds;
}

bool configure_line(int fd)
{
    termios current{};
    if (tcgetattr(fd, &current) != 0) {
        return false;
    }
    const termios wanted = wanted_settings(current);
    (void)tcsetattr(fd, TCSANOW, &wanted);
    return line_holds(fd, wanted);
}

std::int64_t monotonic_ns()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

// Why open() failed, for the technician.
std::string open_error_reason(int error, const std::string& path)
{
    switch (error) {
    case ENOENT:
    case ENOTDIR:
    case ENXIO:
    case ENODEV:
    case EIO:
        return "no such device; is the adapter plugged in? zumel-config --list shows the serial ports";
    case EACCES:
    case EPERM: {
        const std::string group = device_group(path);
        if (group.empty()) {
            return "permission denied; ask for access to the device";
        }
        return "permission denied; the device belongs to the group " + group +
               ": add yourself to it (sudo usermod -aG " + group + " $USER) and log in again";
    }
    default:
        return std::strerror(error);
    }
}

void fail(SerialPort& link, OpenStatus status, const std::string& reason)
{
    link.status = status;
    link.failure = reason;
}

OpenStatus open_error_status(int error)
{
    switch (error) {
    case EBUSY: // held exclusively by another program
        return OpenStatus::in_use;
    case EISDIR:
        return OpenStatus::not_serial;
    case EACCES:
    case EPERM:
        return OpenStatus::denied;
    case ENOENT:
    case ENOTDIR:
    case ENXIO:
    case ENODEV:
    case EIO:
        return OpenStatus::no_device;
    default:
        return OpenStatus::other;
    }
}

} // namespace

void platform::open(SerialPort& link)
{
    link.device = com_device_prefix + std::to_string(link.port.number - 1);
    if (link.port.number < 1 || link.port.number > highest_com_number) {
        fail(link, OpenStatus::other, "not a port name (COM1 to COM255)");
        return;
    }
    // Non-blocking so a line without carrier cannot stall the open.
    const int fd = ::open(link.device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd == -1) {
        const int error = errno;
        const OpenStatus status = open_error_status(error);
        fail(link, status,
             status == OpenStatus::in_use       ? "in use by another program; end it and try again"
             : status == OpenStatus::not_serial ? "not a serial device"
                                                : open_error_reason(error, link.device));
        return;
    }
    // TIOCEXCL keeps other users out; flock also holds against root, whom
    // TIOCEXCL lets through.
    const bool terminal = isatty(fd) != 0;
    if (!terminal || flock(fd, LOCK_EX | LOCK_NB) != 0 || ioctl(fd, TIOCEXCL) != 0) {
        ::close(fd);
        fail(link, terminal ? OpenStatus::in_use : OpenStatus::not_serial,
             terminal ? "in use by another program; end it and try again" : "not a serial device");
        return;
    }
    // Writes block until complete; reads never block past their deadline
    // since VMIN and VTIME are 0 and every read follows a ready ppoll.
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0 || !configure_line(fd)) {
        platform::close(fd); // a port that cannot be set up is not kept from others
        fail(link, OpenStatus::setup_failed, std::string("the line cannot be set to ") + line_settings_text);
        return;
    }
    link.handle = fd;
    link.status = OpenStatus::open;
}

std::size_t platform::write(std::intptr_t handle, const std::uint8_t* bytes, std::size_t count)
{
    const int fd = static_cast<int>(handle);
    std::size_t written = 0;
    while (written < count) {
        const ssize_t n = ::write(fd, bytes + written, count - written);
        if (n > 0) {
            written += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            break;
        }
    }
    // The reply's time-out starts once the request has left, as it would on
    // a line whose writes return only when sent.
    while (tcdrain(fd) != 0 && errno == EINTR) {
    }
    return written;
}

std::size_t platform::read(std::intptr_t handle, std::uint8_t* bytes, std::size_t count, unsigned timeout_ms)
{
    const int fd = static_cast<int>(handle);
    const std::int64_t deadline = monotonic_ns() + std::int64_t{timeout_ms} * 1'000'000;
    std::size_t received = 0;
    while (received < count) {
        // Past the deadline the poll returns at once, with nothing ready.
        const std::int64_t remaining = std::max<std::int64_t>(deadline - monotonic_ns(), 0);
        const timespec wait{static_cast<time_t>(remaining / 1'000'000'000),
                            static_cast<long>(remaining % 1'000'000'000)};
        pollfd line{fd, POLLIN, 0};
        const int ready = ppoll(&line, 1, &wait, nullptr);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if (ready == 0) {
            break;
        }
        if ((line.revents & POLLIN) == 0) {
            break; // hang-up or error with nothing left to read
        }
        const ssize_t n = ::read(fd, bytes + received, count - received);
        if (n > 0) {
            received += static_cast<std::size_t>(n);
        } else if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        } else {
            break; // readable but empty: the device is gone
        }
    }
    return received;
}

void platform::close(std::intptr_t handle)
{
    const int fd = static_cast<int>(handle);
    // The exclusive flag outlives this descriptor while anyone else keeps
    // the line open; clear it so the next session can open the port.
    (void)ioctl(fd, TIOCNXCL);
    ::close(fd);
}

bool set_com_device_prefix(const std::string& prefix)
{
    com_device_prefix = prefix;
    return true;
}

std::vector<PortInfo> list_ports()
{
    return list_serial_ports({.com_prefix = com_device_prefix});
}
