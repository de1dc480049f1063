// POSIX serial link: termios for the line, flock and TIOCEXCL for exclusive
// access, ppoll against one monotonic deadline for the total read time-out.

#include "serial_link.hpp"

#include <algorithm>
#include <cerrno>
#include <charconv>
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

#ifndef COM_DEVICE_PREFIX
#define COM_DEVICE_PREFIX "/dev/ttyS"
#endif

namespace {

struct SerialPort {
    int fd = -1;
};

SerialPort serial_port;
std::string com_device_prefix = COM_DEVICE_PREFIX;

// What the last failed open ran into, for open_failure_reason.
enum class Failure { none, name, open, not_a_terminal, in_use, setup };
struct LastFailure {
    Failure failure = Failure::none;
    int error = 0;
    std::string port;
    std::string path;
};
LastFailure last_failure;

int fail(Failure failure, int error = 0)
{
    last_failure.failure = failure;
    last_failure.error = error;
    return 0;
}

// "COMn" names the device com_device_prefix followed by n-1.
bool device_path(const char* port_name, std::string& path)
{
    if (std::strncmp(port_name, "COM", 3) != 0) {
        return false;
    }
    const char* digits = port_name + 3;
    const char* end = digits + std::strlen(digits);
    unsigned number = 0;
    const auto [rest, error] = std::from_chars(digits, end, number);
    if (error != std::errc{} || rest != end || number == 0) {
        return false;
    }
    path = com_device_prefix + std::to_string(number - 1);
    return true;
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

speed_t speed_constant(const char* speed)
{
    if (std::strcmp(speed, "9600") == 0) {
        return B9600;
    }
    return B0;
}

// Unix98 pseudo-terminal slaves cannot hold PARENB: the driver drops it.
bool is_pseudo_terminal(int fd)
{
    struct stat status {};
    if (fstat(fd, &status) != 0) {
        return false;
    }
    const unsigned major_number = major(status.st_rdev);
    return major_number >= 136 && major_number <= 143;
}

termios wanted_settings(termios settings, speed_t speed)
{
    cfmakeraw(&settings);
    cfsetispeed(&settings, speed);
    cfsetospeed(&settings, speed);
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
    if (!is_pseudo_terminal(fd)) {
        holds = holds && (actual.c_cflag & PARENB) != 0;
    }
    return holds;
}

bool configure_line(int fd, speed_t speed)
{
    termios current{};
    if (tcgetattr(fd, &current) != 0) {
        return false;
    }
    const termios wanted = wanted_settings(current, speed);
    (void)tcsetattr(fd, TCSANOW, &wanted);
    return line_holds(fd, wanted);
}

std::int64_t monotonic_ns()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

} // namespace

int open_port(const char* port_name, const char* speed)
{
    last_failure = LastFailure{};
    last_failure.port = port_name;
    std::string& path = last_failure.path;
    const speed_t line_speed = speed_constant(speed);
    if (!device_path(port_name, path) || line_speed == B0) {
        return fail(Failure::name);
    }
    // Non-blocking so a line without carrier cannot stall the open.
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        // Held exclusively by another program, or a folder: said as below.
        return fail(errno == EBUSY    ? Failure::in_use
                    : errno == EISDIR ? Failure::not_a_terminal
                                      : Failure::open,
                    errno);
    }
    // TIOCEXCL keeps other users out; flock also holds against root, whom
    // TIOCEXCL lets through.
    const bool terminal = isatty(fd) != 0;
    if (!terminal || flock(fd, LOCK_EX | LOCK_NB) != 0 || ioctl(fd, TIOCEXCL) != 0) {
        close(fd);
        return fail(terminal ? Failure::in_use : Failure::not_a_terminal);
    }
    serial_port.fd = fd;
    // Writes block until complete; reads never block past their deadline
    // since VMIN and VTIME are 0 and every read follows a ready ppoll.
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0 || !configure_line(fd, line_speed)) {
        close_port(); // a port that cannot be set up is not kept from others
        return fail(Failure::setup);
    }
    last_failure = {};
    return 1;
}

std::size_t port_write(const std::uint8_t* bytes, std::size_t count)
{
    std::size_t written = 0;
    while (written < count) {
        const ssize_t n = write(serial_port.fd, bytes + written, count - written);
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
    while (tcdrain(serial_port.fd) != 0 && errno == EINTR) {
    }
    return written;
}

std::size_t port_read(std::uint8_t* bytes, std::size_t count)
{
    const std::int64_t deadline = monotonic_ns() + std::int64_t{read_timeout_ms(count)} * 1'000'000;
    std::size_t received = 0;
    while (received < count) {
        // Past the deadline the poll returns at once, with nothing ready.
        const std::int64_t remaining = std::max<std::int64_t>(deadline - monotonic_ns(), 0);
        const timespec wait{static_cast<time_t>(remaining / 1'000'000'000),
                            static_cast<long>(remaining % 1'000'000'000)};
        pollfd line{serial_port.fd, POLLIN, 0};
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
        const ssize_t n = read(serial_port.fd, bytes + received, count - received);
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

void close_port()
{
    if (serial_port.fd >= 0) {
        // The exclusive flag outlives this descriptor while anyone else keeps
        // the line open; clear it so the next session can open the port.
        (void)ioctl(serial_port.fd, TIOCNXCL);
        close(serial_port.fd);
        serial_port.fd = -1;
    }
}

bool set_com_device_prefix(const std::string& prefix)
{
    com_device_prefix = prefix;
    return true;
}

std::string open_failure_reason()
{
    const LastFailure& last = last_failure;
    const std::string device = last.port + " (" + last.path + "): ";
    switch (last.failure) {
    case Failure::none:
        return {};
    case Failure::name:
        return last.port + ": not a port name (COM1, COM2, ...)";
    case Failure::not_a_terminal:
        return device + "not a serial device";
    case Failure::in_use:
        return device + "in use by another program; end it and try again";
    case Failure::setup:
        return device + "the line cannot be set to 9600 Bd, 8 data bits, odd parity, 1 stop bit";
    case Failure::open:
        break;
    }
    switch (last.error) {
    case ENOENT:
    case ENOTDIR:
    case ENXIO:
    case ENODEV:
    case EIO:
        return device + "no such device; is the adapter plugged in? A USB adapter is usually "
                        "--com-prefix /dev/ttyUSB or --com-prefix /dev/ttyACM";
    case EACCES:
    case EPERM: {
        const std::string group = device_group(last.path);
        if (group.empty()) {
            return device + "permission denied; ask for access to the device";
        }
        return device + "permission denied; the device belongs to the group " + group +
               ": add yourself to it (sudo usermod -aG " + group + " $USER) and log in again";
    }
    default:
        return device + std::strerror(last.error);
    }
}
