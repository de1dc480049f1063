// The process's console on POSIX: bytes as they are.

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "terminal.hpp"

bool write_standard_output(const std::string& text, std::string& error)
{
    std::fputs(text.c_str(), stdout);
    if (std::fflush(stdout) == 0) {
        return true;
    }
    error = std::strerror(errno);
    return false;
}

void print_error_line(const std::string& text)
{
    std::fflush(stdout);
    std::fprintf(stderr, "%s\n", text.c_str());
}

std::vector<std::string> program_arguments(int argc, char** argv)
{
    return {argv, argv + argc};
}

bool console_is_own()
{
    return false; // a terminal outlives what runs in it
}

std::string system_error_text(int code)
{
    return std::strerror(code);
}
