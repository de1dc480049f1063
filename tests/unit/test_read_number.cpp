#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

#include "console/console_io.hpp"

namespace {

// Feeds text to standard input for the reads that follow. Reopening drops
// whatever the previous case left in the stream's buffer.
void type_in(const std::string& text)
{
    char path[] = "/tmp/read-number-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
    ASSERT_NE(std::freopen(path, "rb", stdin), nullptr);
    unlink(path);
}

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

TEST(ReadNumber, ValuesSignsAndWrapping)
{
    struct Case {
        const char* input;
        Status status;
        std::uint32_t value;
        const char* left;
    };
    const Case cases[] = {
        {"7\n", Status::number, 7, "\n"},
        {"  \n\t 42 rest\n", Status::number, 42, " rest\n"},
        {"+5\n", Status::number, 5, "\n"},
        {"-1\n", Status::number, 4294967295U, "\n"},
        {"-0\n", Status::number, 0, "\n"},
        {"4294967297\n", Status::number, 1, "\n"},
        {"4294967296\n", Status::number, 0, "\n"},
        {"00063x", Status::number, 63, "x"},
        {"99999999999999999999999999\n", Status::number, 3825205247U, "\n"},
        {"-4294967295\n", Status::number, 1, "\n"},
        {"12", Status::number, 12, ""},
        {"abc\n", Status::not_a_number, 0, "abc\n"},
        {"+\n", Status::not_a_number, 0, "\n"},
        {"- 3\n", Status::not_a_number, 0, " 3\n"},
        {"--3\n", Status::not_a_number, 0, "-3\n"},
        {"", Status::end_of_input, 0, ""},
        {"   \n\n", Status::end_of_input, 0, ""},
        {"-", Status::end_of_input, 0, ""},
    };
    for (const auto& c : cases) {
        type_in(c.input);
        const NumberRead read = read_number();
        EXPECT_EQ(read.status, c.status) << '"' << c.input << '"';
        EXPECT_EQ(read.value, c.value) << '"' << c.input << '"';
        EXPECT_EQ(rest_of_input(), c.left) << '"' << c.input << '"';
    }
}

TEST(ReadNumber, TwoNumbersOnOneLineAnswerTwoReads)
{
    type_in("1 1\n3\n");
    std::vector<std::uint32_t> values;
    for (int i = 0; i < 3; ++i) {
        values.push_back(read_number().value);
    }
    EXPECT_EQ(values, (std::vector<std::uint32_t>{1, 1, 3}));
    EXPECT_EQ(read_number().status, Status::end_of_input);
}

TEST(ReadNumber, ANulByteIsNotANumber)
{
    type_in(std::string("\0"
                        "5\n",
                        3));
    const NumberRead read = read_number();
    EXPECT_EQ(read.status, Status::not_a_number);
    discard_input_line();
    EXPECT_EQ(rest_of_input(), "");
}

TEST(DiscardInputLine, DropsThroughTheLineEndOnly)
{
    type_in("abc def\n9\n");
    discard_input_line();
    EXPECT_EQ(read_number().value, 9U);
    type_in("no line end");
    discard_input_line();
    EXPECT_EQ(read_number().status, Status::end_of_input);
}
