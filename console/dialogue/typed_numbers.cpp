#include "typed_numbers.hpp"

#include <cstdio>

namespace {

bool is_white_space(int c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool is_digit(int c)
{
    return c >= '0' && c <= '9';
}

} // namespace

NumberRead read_number()
{
    std::fflush(stdout);
    int c = std::getchar();
    while (is_white_space(c)) {
        c = std::getchar();
    }
    bool negative = false;
    if (c == '+' || c == '-') {
        negative = c == '-';
        c = std::getchar();
    }
    if (c == EOF) {
        return {NumberRead::Status::end_of_input, 0};
    }
    if (!is_digit(c)) {
        std::ungetc(c, stdin);
        return {NumberRead::Status::not_a_number, 0};
    }
    std::uint32_t value = 0; // unsigned arithmetic wraps modulo 2^32
    while (is_digit(c)) {
        value = value * 10U + static_cast<std::uint32_t>(c - '0');
        c = std::getchar();
    }
    if (c != EOF) {
        std::ungetc(c, stdin);
    }
    if (negative) {
        value = 0U - value;
    }
    return {NumberRead::Status::number, value};
}

void discard_input_line()
{
    int c = std::getchar();
    while (c != EOF && c != '\n') {
        c = std::getchar();
    }
}
