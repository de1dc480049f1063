// Arbitrary bytes as the keyboard: numbers are read until the end of input,
// and a line without a number is dropped, as the entry form does. Each read
// must account for exactly the bytes it consumed.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "console/console_io.hpp"

namespace {

void require(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "fuzz_read_number: %s\n", what);
        std::abort();
    }
}

bool blank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool digit(char c)
{
    return c >= '0' && c <= '9';
}

std::size_t position()
{
    const long at = std::ftell(stdin);
    require(at >= 0, "input position unknown");
    return static_cast<std::size_t>(at);
}

// Skips the blanks and the sign a read may consume before its digits.
struct Lead {
    std::size_t end = 0; // first byte after them
    bool minus = false;
    bool signed_ = false;
};

Lead lead_of(std::string_view input, std::size_t from, std::size_t limit)
{
    Lead lead{from};
    while (lead.end < limit && blank(input[lead.end])) {
        ++lead.end;
    }
    if (lead.end < limit && (input[lead.end] == '+' || input[lead.end] == '-')) {
        lead.minus = input[lead.end] == '-';
        lead.signed_ = true;
        ++lead.end;
    }
    return lead;
}

void check_number(std::string_view input, std::size_t before, std::size_t after, const NumberRead& read)
{
    const Lead lead = lead_of(input, before, after);
    require(lead.end < after, "a number without a digit");
    std::uint32_t value = 0;
    for (std::size_t i = lead.end; i < after; ++i) {
        require(digit(input[i]), "a number took a byte that is not a digit");
        value = value * 10U + static_cast<std::uint32_t>(input[i] - '0');
    }
    require(after == input.size() || !digit(input[after]), "a number stopped before its last digit");
    require(read.value == (lead.minus ? 0U - value : value), "wrong value");
}

void check_not_a_number(std::string_view input, std::size_t before, std::size_t after)
{
    const Lead lead = lead_of(input, before, after);
    require(lead.end == after, "not a number, yet it consumed more than blanks and a sign");
    require(after < input.size(), "not a number at the end of input");
    require(!digit(input[after]), "not a number in front of a digit");
    if (!lead.signed_) {
        require(!blank(input[after]) && input[after] != '+' && input[after] != '-',
                "not a number before the blanks or sign were taken");
    }
}

void check_discard(std::string_view input, std::size_t before, std::size_t after)
{
    const std::size_t line_end = input.find('\n', before);
    const std::size_t expected = line_end == std::string_view::npos ? input.size() : line_end + 1;
    require(after == expected, "dropping the line stopped elsewhere than after its end");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // read_number flushes standard output; nothing needs to be seen.
    require(std::freopen("/dev/null", "w", stdout) != nullptr, "no /dev/null");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    char empty = 0;
    void* const bytes = size == 0 ? static_cast<void*>(&empty) : const_cast<std::uint8_t*>(data);
    std::FILE* keyboard = fmemopen(bytes, size, "r");
    require(keyboard != nullptr, "fmemopen failed");
    std::FILE* const saved = stdin;
    stdin = keyboard;

    for (;;) {
        const std::size_t before = position();
        const NumberRead read = read_number();
        const std::size_t after = position();
        require(after >= before, "input went backwards");
        if (read.status == NumberRead::Status::end_of_input) {
            require(after == input.size(), "end of input before its end");
            const Lead lead = lead_of(input, before, after);
            require(lead.end == after, "end of input reported over a digit or other byte");
            break;
        }
        if (read.status == NumberRead::Status::number) {
            check_number(input, before, after, read);
            continue; // it consumed a digit, so the loop advances
        }
        require(read.status == NumberRead::Status::not_a_number, "unknown status");
        check_not_a_number(input, before, after);
        discard_input_line();
        const std::size_t dropped = position();
        check_discard(input, after, dropped);
        require(dropped > before, "a read and a dropped line consumed nothing");
    }

    stdin = saved;
    std::fclose(keyboard);
    return 0;
}
