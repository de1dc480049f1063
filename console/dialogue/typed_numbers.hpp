#pragma once

#include <cstdint>

// What one read of a typed number found.
struct NumberRead {
    enum class Status { number, not_a_number, end_of_input };
    Status status = Status::end_of_input;
    std::uint32_t value = 0;
};

// Reads one unsigned decimal number from standard input: leading white space
// (line ends included) is skipped, an optional sign may precede the digits,
// the digits wrap modulo 2^32 and a minus sign negates modulo 2^32. The
// character that ends the number, and the rest of its line, stay unread.
// With no digits the offending character also stays unread.
// Standard output is flushed first, so every prompt is visible.
NumberRead read_number();

// Drops the rest of the current input line, its line end included.
void discard_input_line();
