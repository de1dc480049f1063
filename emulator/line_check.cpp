#include "line_check.hpp"

namespace emulator {

std::string line_setting_problems(const termios& settings)
{
    struct Flag {
        tcflag_t termios::*field;
        tcflag_t mask;
        bool wanted;
        const char* name;
    };
    static constexpr Flag flags[] = {
        {&termios::c_cflag, PARODD, true, "PARODD"},    {&termios::c_cflag, CSTOPB, false, "CSTOPB"},
        {&termios::c_cflag, CREAD, true, "CREAD"},      {&termios::c_cflag, CLOCAL, true, "CLOCAL"},
        {&termios::c_cflag, CRTSCTS, false, "CRTSCTS"}, {&termios::c_iflag, IXON, false, "IXON"},
        {&termios::c_iflag, IXOFF, false, "IXOFF"},     {&termios::c_iflag, IXANY, false, "IXANY"},
        {&termios::c_iflag, ICRNL, false, "ICRNL"},     {&termios::c_iflag, INLCR, false, "INLCR"},
        {&termios::c_iflag, IGNCR, false, "IGNCR"},     {&termios::c_iflag, ISTRIP, false, "ISTRIP"},
        {&termios::c_lflag, ICANON, false, "ICANON"},   {&termios::c_lflag, ECHO, false, "ECHO"},
        {&termios::c_lflag, ISIG, false, "ISIG"},       {&termios::c_lflag, IEXTEN, false, "IEXTEN"},
        {&termios::c_oflag, OPOST, false, "OPOST"},
    };

    std::string problems;
    auto add = [&problems](const std::string& problem) {
        problems += problems.empty() ? problem : ", " + problem;
    };
    if (::cfgetispeed(&settings) != B9600) {
        add("input speed not 9600");
    }
    if (::cfgetospeed(&settings) != B9600) {
        add("output speed not 9600");
    }
    if ((settings.c_cflag & CSIZE) != CS8) {
        add("not 8 data bits");
    }
    for (const Flag& flag : flags) {
        const bool set = (settings.*flag.field & flag.mask) != 0;
        if (set != flag.wanted) {
            add(std::string(flag.name) + (flag.wanted ? " clear" : " set"));
        }
    }
    return problems;
}

} // namespace emulator
