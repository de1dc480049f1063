#include "console_pty.hpp"

#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

Console::Console() : master(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK))
{
    char name[128];
    if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0 &&
        ptsname_r(master, name, sizeof name) == 0) {
        slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
        path = slave >= 0 ? name : "";
    }
}

Console::~Console()
{
    for (int fd : {master, slave}) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

termios Console::mode() const
{
    termios mode{};
    tcgetattr(slave, &mode);
    return mode;
}

bool same_mode(const termios& a, const termios& b)
{
    return a.c_lflag == b.c_lflag && a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag &&
           a.c_cflag == b.c_cflag && a.c_cc[VMIN] == b.c_cc[VMIN] && a.c_cc[VTIME] == b.c_cc[VTIME];
}
