#include "serial_link.hpp"

#include <cstdlib>
#include <string>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

namespace {

// The one port this process has open; null when none was opened.
struct SerialPort {
    HANDLE handle = nullptr;
};

SerialPort serial_port;

// What the last failed open ran into, for open_failure_reason.
struct LastFailure {
    std::string port;
    DWORD error = ERROR_SUCCESS;
    bool setup = false; // opened, but the line could not be set up
};
LastFailure last_failure;

// The driver keeps a port's settings from whatever program used it last, and
// BuildCommDCB changes only what its text names. Every field such a program
// may have left is set here: no flow control of any kind, DTR and RTS on (as
// the POSIX build has them, and as adapters powered from those lines need),
// no byte replaced or dropped, and no error that stops the line until
// cleared. False when the mode text did not take.
bool known_line_state(DCB& dcb, const char* speed)
{
    if (dcb.BaudRate != std::strtoul(speed, nullptr, 10) || dcb.ByteSize != 8 || dcb.Parity != ODDPARITY ||
        dcb.StopBits != ONESTOPBIT) {
        return false;
    }
    dcb.fBinary = TRUE;
    dcb.fParity = TRUE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fTXContinueOnXoff = TRUE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fAbortOnError = FALSE;
    return true;
}

// COM10 and above open only through the device namespace.
std::string device_name(const std::string& port_name)
{
    return port_name.size() > 4 ? "\\\\.\\" + port_name : port_name;
}

// A port that cannot be set up is not kept: the open is exclusive, and the
// program still waits for a key before it ends.
int fail_setup()
{
    last_failure.error = GetLastError();
    last_failure.setup = true;
    CloseHandle(serial_port.handle);
    serial_port.handle = nullptr;
    return 0;
}

} // namespace

int open_port(const char* port_name, const char* speed)
{
    last_failure = LastFailure{};
    last_failure.port = port_name;
    serial_port.handle = CreateFileA(device_name(port_name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                     OPEN_EXISTING, 0, nullptr);
    if (serial_port.handle == INVALID_HANDLE_VALUE) {
        last_failure.error = GetLastError();
        serial_port.handle = nullptr;
        return 0;
    }

    // A read waits 1 ms per byte asked for plus one second, then returns
    // what came; writes wait as long as they need.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = 0;
    timeouts.ReadTotalTimeoutMultiplier = 1;
    timeouts.ReadTotalTimeoutConstant = 1000;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 0;
    if (!SetCommTimeouts(serial_port.handle, &timeouts)) {
        return fail_setup();
    }

    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    if (!GetCommState(serial_port.handle, &dcb)) {
        return fail_setup();
    }

    const std::string mode = std::string("baud=") + speed + " parity=O data=8 stop=1";
    if (!BuildCommDCBA(mode.c_str(), &dcb) || !known_line_state(dcb, speed) ||
        !SetCommState(serial_port.handle, &dcb)) {
        return fail_setup();
    }
    // An error latched before this session would fail its first request.
    // The bytes already received stay: nothing is discarded.
    DWORD errors = 0;
    ClearCommError(serial_port.handle, &errors, nullptr);
    return 1;
}

std::size_t port_write(const std::uint8_t* bytes, std::size_t count)
{
    DWORD written = 0;
    WriteFile(serial_port.handle, bytes, static_cast<DWORD>(count), &written, nullptr);
    return written;
}

std::size_t port_read(std::uint8_t* bytes, std::size_t count)
{
    DWORD read = 0;
    ReadFile(serial_port.handle, bytes, static_cast<DWORD>(count), &read, nullptr);
    return read;
}

void close_port()
{
    if (serial_port.handle != nullptr) {
        CloseHandle(serial_port.handle);
        serial_port.handle = nullptr;
    }
}

bool set_com_device_prefix(const std::string&)
{
    return false; // COM names are the system's own
}

std::string open_failure_reason()
{
    const LastFailure& last = last_failure;
    const std::string code = " (Windows error " + std::to_string(last.error) + ")";
    if (last.setup) {
        return last.port + ": the line cannot be set to 9600 Bd, 8 data bits, odd parity, 1 stop bit" + code;
    }
    switch (last.error) {
    case ERROR_SUCCESS:
        return {};
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return last.port + ": no such port; is the adapter plugged in? Device Manager lists the ports "
                           "under \"Ports (COM & LPT)\"";
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        return last.port + ": in use by another program; end it and try again";
    default:
        return last.port + ": cannot be opened" + code;
    }
}
