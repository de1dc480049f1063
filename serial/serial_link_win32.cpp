#include "serial/serial_link.hpp"

#include <string>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

namespace {

// The one port this process has open; null when none was opened.
struct SerialPort {
    HANDLE handle = nullptr;
};

SerialPort serial_port;

// BuildCommDCB does not reliably turn flow control off: Wine keeps what the
// device had, and a line with XON/XOFF still on swallows 0x11 and 0x13 from
// the controller's replies. The line has no flow control at all.
void disable_flow_control(DCB& dcb)
{
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDsrSensitivity = FALSE;
    if (dcb.fRtsControl == RTS_CONTROL_HANDSHAKE || dcb.fRtsControl == RTS_CONTROL_TOGGLE) {
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
    }
    if (dcb.fDtrControl == DTR_CONTROL_HANDSHAKE) {
        dcb.fDtrControl = DTR_CONTROL_ENABLE;
    }
}

// A port that cannot be set up is not kept: the open is exclusive, and the
// program still waits for a key before it ends.
int fail_open()
{
    CloseHandle(serial_port.handle);
    serial_port.handle = nullptr;
    return 0;
}

} // namespace

int open_port(const char* port_name, const char* speed)
{
    serial_port.handle =
        CreateFileA(port_name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (serial_port.handle == INVALID_HANDLE_VALUE) {
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
        return fail_open();
    }

    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    if (!GetCommState(serial_port.handle, &dcb)) {
        return fail_open();
    }

    const std::string mode = std::string("baud=") + speed + " parity=O data=8 stop=1";
    // Its result is not looked at; SetCommState's is the one that counts.
    BuildCommDCBA(mode.c_str(), &dcb);
    disable_flow_control(dcb);

    return SetCommState(serial_port.handle, &dcb) ? 1 : fail_open();
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
