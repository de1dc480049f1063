#include "console_pty.hpp"

#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

Console open_console()
{
    Console console;
    console.master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    char name[128];
    if (console.master < 0 || grantpt(console.master) != 0 || unlockpt(console.master) != 0 ||
        ptsname_r(console.master, name, sizeof name) != 0) {
        return console;
    }
    console.slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (console.slave >= 0) {
        console.path = name;
    }
    return console;
}

void close_console(Console& console)
{
    for (int fd : {console.master, console.slave}) {
        if (fd >= 0) {
            close(fd);
        }
    }
    console = Console{};
}

termios mode_of(const Console& console)
{
    termios mode{};
    tcgetattr(console.slave, &mode);
    return mode;
}

bool same_mode(const termios& a, const termios& b)
{
    return a.c_lflag == b.c_lflag && a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag &&
           a.c_cflag == b.c_cflag && a.c_cc[VMIN] == b.c_cc[VMIN] && a.c_cc[VTIME] == b.c_cc[VTIME];
}
