#include "scripted_line.hpp"

#include <algorithm>

#include "key_wait.hpp"
#include "serial_link.hpp"

ScriptedLine& scripted_line()
{
    static ScriptedLine line;
    return line;
}

void reset_scripted_line()
{
    scripted_line() = ScriptedLine{};
}

void give_reply(const std::vector<std::uint8_t>& bytes)
{
    auto& line = scripted_line();
    line.incoming.insert(line.incoming.end(), bytes.begin(), bytes.end());
}

int open_port(const char* port_name, const char* /*speed*/)
{
    auto& line = scripted_line();
    line.last_port_name = port_name;
    ++line.opens;
    line.open = !line.refuse_open;
    return line.open ? 1 : 0;
}

std::size_t port_write(const std::uint8_t* bytes, std::size_t count)
{
    auto& line = scripted_line();
    line.written.insert(line.written.end(), bytes, bytes + count);
    return count;
}

// Returns what has "arrived": at most count bytes, never waiting.
std::size_t port_read(std::uint8_t* bytes, std::size_t count)
{
    auto& line = scripted_line();
    line.read_sizes.push_back(count);
    const std::size_t n = std::min(count, line.incoming.size());
    std::copy_n(line.incoming.begin(), n, bytes);
    line.incoming.erase(line.incoming.begin(), line.incoming.begin() + static_cast<std::ptrdiff_t>(n));
    return n;
}

void close_port()
{
    auto& line = scripted_line();
    line.open = false;
    ++line.closes;
}

void wait_for_key()
{
    auto& line = scripted_line();
    ++line.key_waits;
    line.open_when_key_waited = line.open_when_key_waited || line.open;
}

bool set_com_device_prefix(const std::string&)
{
    return true;
}

std::string open_failure_reason()
{
    return "refused by the test";
}
