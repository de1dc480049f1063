#!/usr/bin/python3
"""The configurator's exchanges made with pyserial, to compare against.

Usage:
  pyserial_peer.py PORT_PATH session WRITE_FRAME_HEX [COUNT]
  (PORT_PATH a pseudo-terminal's path, or rfc2217://HOST:PORT)
      identify, firmware, read, write, read: the requests the configurator
      sends in a session, each followed by a read of its reply's length;
      COUNT sessions (1), each opening and closing the port
  pyserial_peer.py PORT_PATH timeouts
      a read of 12 bytes from a silent line, then a read request and a read
      of 52 bytes

Prints one line, "peer key=value ...": times in ns on the monotonic clock
(the one the caller uses too), durations in ms.
"""

import errno
import sys
import termios
import time

import serial

ready_ns = time.monotonic_ns()  # the interpreter and pyserial are loaded

TYPE_REQUEST = bytes([0xFF, 0x28, 0x59, 0x80])
FIRMWARE_REQUEST = bytes([0xFF, 0x26, 0x5B, 0x80])
READ_REQUEST = bytes([0xFF, 0x30, 0x56, 0x7B, 0x80])


class Port(serial.Serial):
    # A pseudo-terminal drops parity enable; tcsetattr then reports EINVAL
    # for settings the line already holds. The rest of the line stands.
    def _reconfigure_port(self, force_update=False):
        try:
            super()._reconfigure_port(force_update)
        except termios.error as error:
            if error.args[0] != errno.EINVAL:
                raise


def open_port(path):
    settings = dict(baudrate=9600, bytesize=serial.EIGHTBITS, parity=serial.PARITY_ODD,
                    stopbits=serial.STOPBITS_ONE, xonxoff=False, rtscts=False, dsrdtr=False)
    if "://" in path:
        # ser2net never acknowledges SET-CONTROL, for which pyserial would
        # wait and fail: its own option for such servers.
        return serial.serial_for_url(path + "?ign_set_control", **settings)
    return Port(path, **settings)


def read(port, count):
    # pyserial's timeout bounds one read call in all: n + 1000 ms.
    wanted = (count + 1000) / 1000
    if port.timeout != wanted:
        port.timeout = wanted
    return port.read(count)


def send(port, request):
    port.write(request)
    port.flush()  # tcdrain, as the configurator does: the time-out starts once it has left


def exchange(port, request, reply_length):
    send(port, request)
    return len(read(port, reply_length)) == reply_length


def session(path, write_frame):
    port = open_port(path)
    ok = (exchange(port, TYPE_REQUEST, 12) and exchange(port, FIRMWARE_REQUEST, 8)
          and exchange(port, READ_REQUEST, 52) and exchange(port, write_frame, 4)
          and exchange(port, READ_REQUEST, 52))
    port.close()
    return ok


def sessions(path, write_frame, count):
    open_ns = time.monotonic_ns()
    ok = all([session(path, write_frame) for _ in range(count)])
    return {"ok": int(ok), "open": open_ns, "end": time.monotonic_ns()}


def timeouts(path):
    port = open_port(path)
    start = time.monotonic_ns()
    got12 = len(read(port, 12))
    silent12 = time.monotonic_ns() - start
    send(port, READ_REQUEST)
    start = time.monotonic_ns()
    got52 = len(read(port, 52))
    short52 = time.monotonic_ns() - start
    port.close()
    return {"got12": got12, "silent12_ms": silent12 / 1e6, "got52": got52, "short52_ms": short52 / 1e6}


def peak_rss_kib():
    # VmHWM, not ru_maxrss: that would count the spawner's memory too.
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def main(arguments):
    if len(arguments) in (3, 4) and arguments[1] == "session":
        count = int(arguments[3]) if len(arguments) == 4 else 1
        values = sessions(arguments[0], bytes.fromhex(arguments[2]), count)
    elif len(arguments) == 2 and arguments[1] == "timeouts":
        values = timeouts(arguments[0])
    else:
        sys.exit(__doc__)
    values["ready"] = ready_ns
    values["peak_rss_kib"] = peak_rss_kib()
    print("peer " + " ".join(f"{key}={value}" for key, value in values.items()), flush=True)


if __name__ == "__main__":
    main(sys.argv[1:])
