// POSIX serial link: termios for the line, flock and TIOCEXCL for exclusive
// access, ppoll against one monotonic deadline for every read and write.

#include <algorithm>
#include <cerrno>
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

#include "line_users_linux.hpp"
#include "ports_linux.hpp"
#include "serial_platform.hpp"

#ifndef COM_DEVICE_PREFIX
#define COM_DEVICE_PREFIX "/dev/ttyS"
#endif

// An open line, and its settings as this program found them, which a port
// probed among others (a getty's, a terminal program's) gets back when it
// closes.
struct DeviceLine {
    int fd = -1;
    termios found{};
    bool restore = false;
};

void DeviceLineClose::operator()(DeviceLine* line) const
{
    if (line->restore) {
        (void)tcsetattr(line->fd, TCSANOW, &line->found);
    }
    // The exclusive flag outlives this descriptor while anyone else keeps
    // the line open; clear it so the next session can open the port.
    (void)ioctl(line->fd, TIOCNXCL);
    ::close(line->fd);
    delete line;
}

namespace {

struct Speed {
    unsigned baud;
    speed_t code;
};
constexpr Speed speeds[] = {{1200, B1200},   {2400, B2400},   {4800, B4800},   {9600, B9600},
                            {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200}};

std::optional<speed_t> speed_code(unsigned baud)
{
    for (const Speed& speed : speeds) {
        if (speed.baud == baud) {
            return speed.code;
        }
    }
    return std::nullopt;
}

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

std::optional<termios> wanted_settings(termios settings, const LineSettings& line)
{
    const std::optional<speed_t> speed = speed_code(line.baud);
    if (!speed || line.data_bits < 5 || line.data_bits > 8 || line.stop_bits < 1 || line.stop_bits > 2) {
        return std::nullopt;
    }
    constexpr tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    cfmakeraw(&settings);
    cfsetispeed(&settings, *speed);
    cfsetospeed(&settings, *speed);
    settings.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK | IGNPAR | PARMRK);
    settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CSTOPB | CRTSCTS | PARENB | PARODD);
    settings.c_cflag |= sizes[line.data_bits - 5] | CLOCAL | CREAD;
    settings.c_cflag |= line.stop_bits == 2 ? CSTOPB : 0;
    settings.c_cflag |= line.parity == Parity::none  ? 0
                        : line.parity == Parity::odd ? PARENB | PARODD
                                                     : PARENB;
    // Reads and writes wait in ppoll; read() and write() never block.
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
        holds = holds && (actual.c_cflag & PARENB) == (wanted.c_cflag & PARENB);
    }
    return holds;
}

bool configure_line(int fd, const LineSettings& line)
{
    termios current{};
    if (tcgetattr(fd, &current) != 0) {
        return false;
    }
    const std::optional<termios> wanted = wanted_settings(current, line);
    if (!wanted) {
        return false;
    }
    (void)tcsetattr(fd, TCSANOW, &*wanted);
    return line_holds(fd, *wanted);
}

std::int64_t monotonic_ns()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

timespec left_until(std::int64_t deadline)
{
    // Past the deadline a poll returns at once, with nothing ready.
    const std::int64_t left = std::max<std::int64_t>(deadline - monotonic_ns(), 0);
    return {static_cast<time_t>(left / 1'000'000'000), static_cast<long>(left % 1'000'000'000)};
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

void fail(SerialPort& link, OpenStatus status, int error = 0)
{
    link.status = status;
    link.system_error = error;
}

// How a transfer ended, from the errno of a failed read() or write(): a
// terminal whose line has gone answers EIO.
TransferEnd end_for(int error)
{
    return error == EIO ? TransferEnd::hung_up : TransferEnd::failed;
}

// Waits for `events` until the deadline: true when ready; otherwise `end`
// says why not.
bool wait_for(int fd, short events, std::int64_t deadline, Transfer& transfer)
{
    for (;;) {
        const timespec wait = left_until(deadline);
        pollfd line{fd, events, 0};
        const int ready = ppoll(&line, 1, &wait, nullptr);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready < 0 || (line.revents & POLLNVAL) != 0) {
            transfer.end = TransferEnd::failed;
            transfer.error = ready < 0 ? errno : EBADF;
            return false;
        }
        if (ready == 0) {
            transfer.end = TransferEnd::timed_out;
            return false;
        }
        if ((line.revents & events) == 0) {
            transfer.end = TransferEnd::hung_up; // POLLHUP or POLLERR with nothing left to read
            return false;
        }
        return true;
    }
}

// Until what was written has left the port: the reply's time-out starts
// once the request is out, as on a line whose writes return only when sent.
// Bounded by the deadline, so a device that stops draining cannot hold the
// program.
bool drain(int fd, std::int64_t deadline, Transfer& transfer)
{
    for (;;) {
        int queued = 0;
        if (ioctl(fd, TIOCOUTQ, &queued) != 0 || queued <= 0) {
            break;
        }
        if (monotonic_ns() >= deadline) {
            transfer.end = TransferEnd::timed_out;
            return false;
        }
        // About a byte's time at 9600 Bd per byte queued, then look again.
        const timespec nap =
            left_until(std::min(deadline, monotonic_ns() + std::int64_t{queued} * 1'000'000));
        nanosleep(&nap, nullptr);
    }
    // What is left sits in the UART's own buffer and leaves by itself.
    while (tcdrain(fd) != 0 && errno == EINTR) {
    }
    return true;
}

} // namespace

ComNaming default_com_naming()
{
    return {.prefix = COM_DEVICE_PREFIX, .lock_folders = {"/var/lock", "/run/lock"}};
}

bool com_prefix_applies()
{
    return true;
}

void platform::open(SerialPort& link, const ComNaming& naming)
{
    link.device = naming.prefix + std::to_string(link.port.number - 1);
    if (link.port.number < 1 || link.port.number > highest_com_number) {
        fail(link, OpenStatus::no_device, ENOENT);
        return;
    }
    // A line another program has locked, or the one this program runs in,
    // gets no byte and keeps its settings.
    struct stat device {};
    if (stat(link.device.c_str(), &device) == 0 && S_ISCHR(device.st_mode) &&
        is_own_terminal(device.st_rdev)) {
        fail(link, OpenStatus::own_terminal);
        return;
    }
    if (locked_by_another(link.device, naming.lock_folders)) {
        fail(link, OpenStatus::in_use);
        return;
    }
    // Non-blocking so a line without carrier cannot stall the open.
    const int fd = ::open(link.device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd == -1) {
        const int error = errno;
        fail(link, open_error_status(error), error);
        if (link.status == OpenStatus::denied) {
            link.device_group = device_group(link.device);
        }
        return;
    }
    // TIOCEXCL keeps other users out; flock also holds against root, whom
    // TIOCEXCL lets through.
    const bool terminal = isatty(fd) != 0;
    if (!terminal || flock(fd, LOCK_EX | LOCK_NB) != 0 || ioctl(fd, TIOCEXCL) != 0) {
        ::close(fd);
        fail(link, terminal ? OpenStatus::in_use : OpenStatus::not_serial);
        return;
    }
    link.device_line.reset(new DeviceLine{.fd = fd});
    DeviceLine& line = *link.device_line;
    const bool found = tcgetattr(fd, &line.found) == 0;
    line.restore = found && link.leaving == Leaving::as_found;
    if (!found || !configure_line(fd, link.line)) {
        // A port that cannot be set up is not kept from others.
        link.device_line.reset();
        fail(link, OpenStatus::settings_refused);
        return;
    }
    link.status = OpenStatus::open;
}

Transfer platform::write(DeviceLine& line, std::span<const std::uint8_t> bytes, unsigned timeout_ms)
{
    const int fd = line.fd;
    const std::int64_t deadline = monotonic_ns() + std::int64_t{timeout_ms} * 1'000'000;
    Transfer written;
    while (written.count < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + written.count, bytes.size() - written.count);
        if (n > 0) {
            written.count += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno == EAGAIN) {
            if (!wait_for(fd, POLLOUT, deadline, written)) {
                return written;
            }
        } else {
            written.error = n < 0 ? errno : 0;
            written.end = n < 0 ? end_for(errno) : TransferEnd::hung_up;
            return written;
        }
    }
    drain(fd, deadline, written);
    return written;
}

Transfer platform::read(DeviceLine& line, std::span<std::uint8_t> bytes, unsigned timeout_ms)
{
    const int fd = line.fd;
    const std::int64_t deadline = monotonic_ns() + std::int64_t{timeout_ms} * 1'000'000;
    Transfer received;
    while (received.count < bytes.size()) {
        if (!wait_for(fd, POLLIN, deadline, received)) {
            return received;
        }
        const ssize_t n = ::read(fd, bytes.data() + received.count, bytes.size() - received.count);
        if (n > 0) {
            received.count += static_cast<std::size_t>(n);
        } else if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        } else {
            // Readable but empty: the line is gone.
            received.error = n < 0 ? errno : 0;
            received.end = n < 0 ? end_for(errno) : TransferEnd::hung_up;
            return received;
        }
    }
    return received;
}

std::vector<PortInfo> list_ports(const ComNaming& naming)
{
    return list_serial_ports({.com_prefix = naming.prefix});
}
