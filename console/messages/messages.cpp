#include "messages.hpp"

#include "system/terminal.hpp"

void say(const std::string& text)
{
    print_error_line(std::string(program_name) + ": " + text);
}
