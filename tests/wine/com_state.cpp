// com-state: what a port's line state is, for the tests under Wine.
//   com-state spoil COMn   leave the port as a careless program would: 19200
//                          7E2, XON/XOFF and RTS/CTS on, DTR off, errors that
//                          stop the line, NUL bytes dropped
//   com-state show COMn    print the port's state
//   com-state check COMn   open it as the configurator does, then print the
//                          state a second handle reads (Wine does not keep
//                          the open exclusive; Windows would refuse it)

#include <cstdio>
#include <string>

#include "line.hpp"
#include "serial_link.hpp"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

int main(int argc, char** argv)
{
    const std::string action = argc == 3 ? argv[1] : "";
    if (action != "spoil" && action != "show" && action != "check") {
        std::fputs("usage: com-state spoil|show|check COMn\n", stderr);
        return 2;
    }
    SerialPort link;
    if (action == "check") {
        link = open_port(parse_com_port(argv[2]).value_or(ComPort{}), default_com_naming(), controller_line);
        if (!is_open(link)) {
            std::printf("open_port failed: status %d, %s error %d\n", static_cast<int>(link.status),
                        link.failed_call.c_str(), link.system_error);
            return 1;
        }
    }
    HANDLE port = CreateFileA(argv[2], GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (port == INVALID_HANDLE_VALUE || !GetCommState(port, &dcb)) {
        std::printf("cannot read the state of %s: error %lu\n", argv[2], GetLastError());
        return 1;
    }
    if (action == "spoil") {
        dcb.BaudRate = 19200;
        dcb.ByteSize = 7;
        dcb.Parity = EVENPARITY;
        dcb.StopBits = TWOSTOPBITS;
        dcb.fOutX = dcb.fInX = dcb.fOutxCtsFlow = dcb.fAbortOnError = dcb.fNull = dcb.fErrorChar = TRUE;
        dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
        dcb.fDtrControl = DTR_CONTROL_DISABLE;
        const bool spoiled = SetCommState(port, &dcb);
        CloseHandle(port);
        return spoiled ? 0 : 1;
    }
    std::printf(
        "baud %lu, %u data bits, parity %u, stop bits %u; binary %u, parity check %u, CTS %u, DSR %u, "
        "DSR sensitivity %u, XON/XOFF %u/%u, TX on XOFF %u, DTR %u, RTS %u, error char %u, null %u, "
        "abort on error %u\n",
        dcb.BaudRate, dcb.ByteSize, dcb.Parity, dcb.StopBits, dcb.fBinary, dcb.fParity, dcb.fOutxCtsFlow,
        dcb.fOutxDsrFlow, dcb.fDsrSensitivity, dcb.fOutX, dcb.fInX, dcb.fTXContinueOnXoff, dcb.fDtrControl,
        dcb.fRtsControl, dcb.fErrorChar, dcb.fNull, dcb.fAbortOnError);
    CloseHandle(port);
    close_port(link);
    return 0;
}
