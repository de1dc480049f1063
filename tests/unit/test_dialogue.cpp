// What the dialogue reads beside the line: typed numbers.

#include <gtest/gtest.h>

#include <cstdio>

#include "dialogue/typed_numbers.hpp"
#include "dialogue_model.hpp"

namespace {

// What a read leaves unread.
std::string rest_of_input()
{
    std::string rest;
    for (int c = std::getchar(); c != EOF; c = std::getchar()) {
        rest += static_cast<char>(c);
    }
    return rest;
}

using Status = NumberRead::Status;

} // namespace

TEST(ReadNumber, ValuesSignsWrappingAndWhatStaysUnread)
{
    struct Case {
        const char* input;
        Status status;
        std::uint32_t value;
        const char* left;
    };
    const Case cases[] = {
        {"  \n\t 42 rest\n", Status::number, 42, " rest\n"},
        {"+5\n", Status::number, 5, "\n"},
        {"-1\n", Status::number, 4294967295U, "\n"},
        {"-0\n", Status::number, 0, "\n"},
        {"4294967297\n", Status::number, 1, "\n"},
        {"00063x", Status::number, 63, "x"},
        {"99999999999999999999999999\n", Status::number, 3825205247U, "\n"},
        {"12", Status::number, 12, ""},
        {"\v\f\r9", Status::number, 9, ""},
        {"abc\n", Status::not_a_number, 0, "abc\n"},
        {"+\n", Status::not_a_number, 0, "\n"},
        {"--3\n", Status::not_a_number, 0, "-3\n"},
        {"", Status::end_of_input, 0, ""},
        {"   \n\n", Status::end_of_input, 0, ""},
        {"-", Status::end_of_input, 0, ""},
    };
    for (const auto& c : cases) {
        model::reading(c.input, [&c] {
            const NumberRead read = read_number();
            EXPECT_EQ(read.status, c.status) << '"' << c.input << '"';
            EXPECT_EQ(read.value, c.value) << '"' << c.input << '"';
            EXPECT_EQ(rest_of_input(), c.left) << '"' << c.input << '"';
        });
    }
    model::reading(std::string(1, '\0') + "5\n7 8\nrest", [] {
        EXPECT_EQ(read_number().status, Status::not_a_number) << "NUL is not a digit";
        discard_input_line();
        EXPECT_EQ(read_number().value, 7U);
        EXPECT_EQ(read_number().value, 8U);
        discard_input_line();
        discard_input_line();
        EXPECT_EQ(read_number().status, Status::end_of_input);
    });
}
