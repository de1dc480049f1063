#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "emulator/pty_line.hpp"

namespace {

using namespace emulator;
using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

const Bytes type_request{0xFF, 0x28, 0x59, 0x80};
const Bytes firmware_request{0xFF, 0x26, 0x5B, 0x80};
const Bytes read_request{0xFF, 0x30, 0x56, 0x7B, 0x80};

// What the configurator must set: raw 9600 Bd 8O1, no flow control.
termios right_settings()
{
    termios settings{};
    cfmakeraw(&settings);
    settings.c_cflag &= ~(CSTOPB | CRTSCTS);
    settings.c_cflag |= CS8 | PARENB | PARODD | CREAD | CLOCAL;
    cfsetispeed(&settings, B9600);
    cfsetospeed(&settings, B9600);
    return settings;
}

TEST(EmulatorLineSettings, NamesWhatIsWrong)
{
    const struct {
        const char* name;
        void (*spoil)(termios&);
        const char* problem; // nullptr: settings are right
    } cases[] = {
        {"right", [](termios&) {}, nullptr},
        {"parity enable cleared by the pty", [](termios& t) { t.c_cflag &= ~PARENB; }, nullptr},
        {"even parity", [](termios& t) { t.c_cflag &= ~PARODD; }, "PARODD clear"},
        {"input speed", [](termios& t) { cfsetispeed(&t, B19200); }, "input speed"},
        {"output speed", [](termios& t) { cfsetospeed(&t, B4800); }, "output speed"},
        {"seven bits", [](termios& t) { t.c_cflag = (t.c_cflag & ~CSIZE) | CS7; }, "8 data bits"},
        {"two stop bits", [](termios& t) { t.c_cflag |= CSTOPB; }, "CSTOPB set"},
        {"receiver off", [](termios& t) { t.c_cflag &= ~CREAD; }, "CREAD clear"},
        {"modem lines", [](termios& t) { t.c_cflag &= ~CLOCAL; }, "CLOCAL clear"},
        {"rts/cts", [](termios& t) { t.c_cflag |= CRTSCTS; }, "CRTSCTS set"},
        {"xon", [](termios& t) { t.c_iflag |= IXON; }, "IXON set"},
        {"xoff", [](termios& t) { t.c_iflag |= IXOFF; }, "IXOFF set"},
        {"xany", [](termios& t) { t.c_iflag |= IXANY; }, "IXANY set"},
        {"cr to nl", [](termios& t) { t.c_iflag |= ICRNL; }, "ICRNL set"},
        {"nl to cr", [](termios& t) { t.c_iflag |= INLCR; }, "INLCR set"},
        {"ignore cr", [](termios& t) { t.c_iflag |= IGNCR; }, "IGNCR set"},
        {"strip", [](termios& t) { t.c_iflag |= ISTRIP; }, "ISTRIP set"},
        {"canonical", [](termios& t) { t.c_lflag |= ICANON; }, "ICANON set"},
        {"echo", [](termios& t) { t.c_lflag |= ECHO; }, "ECHO set"},
        {"signals", [](termios& t) { t.c_lflag |= ISIG; }, "ISIG set"},
        {"extensions", [](termios& t) { t.c_lflag |= IEXTEN; }, "IEXTEN set"},
        {"output processing", [](termios& t) { t.c_oflag |= OPOST; }, "OPOST set"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        termios settings = right_settings();
        c.spoil(settings);
        const std::string problems = line_setting_problems(settings);
        if (c.problem == nullptr)
            EXPECT_EQ(problems, "");
        else
            EXPECT_NE(problems.find(c.problem), std::string::npos) << problems;
    }
}

// A pty drops parity enable, and glibc then reports EINVAL for a call that
// changed nothing else. What counts is what took.
bool apply(int fd, const termios& wanted)
{
    ::tcsetattr(fd, TCSANOW, &wanted);
    termios now{};
    return ::tcgetattr(fd, &now) == 0 && now.c_iflag == wanted.c_iflag && now.c_oflag == wanted.c_oflag &&
           now.c_lflag == wanted.c_lflag && (now.c_cflag & ~PARENB) == (wanted.c_cflag & ~PARENB);
}

struct Arrival {
    std::uint8_t byte;
    Clock::time_point at;
};

// Reads until `count` bytes came, the line hung up, or the time is up.
std::vector<Arrival> read_bytes(int fd, std::size_t count, std::chrono::milliseconds limit,
                                bool* hung_up = nullptr)
{
    std::vector<Arrival> arrivals;
    const Clock::time_point end = Clock::now() + limit;
    while (arrivals.size() < count && Clock::now() < end) {
        pollfd poll_fd{fd, POLLIN, 0};
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now());
        if (::poll(&poll_fd, 1, static_cast<int>(left.count())) <= 0)
            break;
        std::uint8_t buffer[64];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0 || (poll_fd.revents & POLLHUP) != 0) {
            if (hung_up != nullptr)
                *hung_up = (poll_fd.revents & POLLHUP) != 0 && (n == 0 || errno == EIO);
            break;
        }
        for (ssize_t i = 0; i < n; ++i)
            arrivals.push_back({buffer[i], Clock::now()});
    }
    return arrivals;
}

Bytes values(const std::vector<Arrival>& arrivals)
{
    Bytes bytes;
    for (const Arrival& arrival : arrivals)
        bytes.push_back(arrival.byte);
    return bytes;
}

class EmulatorPty : public ::testing::Test {
  protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/emulator-test-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        directory = pattern;
        link = directory / "ports" / "COM1";
    }
    void TearDown() override
    {
        if (client >= 0)
            ::close(client);
        line.reset();
        std::error_code ignored;
        std::filesystem::remove_all(directory, ignored);
    }
    bool start(const ControllerSetup& setup)
    {
        std::string error;
        line = start_pty_line(link, setup, error);
        EXPECT_EQ(error, "");
        return line != nullptr;
    }
    bool open_client(const termios& settings = right_settings())
    {
        client = ::open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        return client >= 0 && apply(client, settings);
    }
    // When the request started on its way: replies are timed from after it.
    Clock::time_point send(const Bytes& request)
    {
        const Clock::time_point start = Clock::now();
        EXPECT_EQ(::write(client, request.data(), request.size()), static_cast<ssize_t>(request.size()));
        return start;
    }

    std::filesystem::path directory;
    std::filesystem::path link;
    PtyLineHandle line;
    int client = -1;
};

TEST_F(EmulatorPty, KeepsReplyTiming)
{
    ASSERT_TRUE(start(
        {.faults = {
             {.kind = FaultKind::pieces, .request = 0, .count = 4, .delay_ms = 30, .first_delay_ms = 20},
             {.kind = FaultKind::delay, .request = 1, .delay_ms = 80}}}));
    ASSERT_TRUE(open_client());

    Clock::time_point sent = send(type_request);
    auto arrivals = read_bytes(client, 12, 2s);
    ASSERT_EQ(arrivals.size(), 12u);
    EXPECT_GE(arrivals[0].at - sent, 20ms);
    EXPECT_GE(arrivals[4].at - sent, 50ms);
    EXPECT_GE(arrivals[8].at - sent, 80ms);
    EXPECT_LT(arrivals[3].at - arrivals[0].at, 10ms); // a piece comes whole

    sent = send(firmware_request);
    arrivals = read_bytes(client, 8, 2s);
    ASSERT_EQ(arrivals.size(), 8u);
    EXPECT_GE(arrivals[0].at - sent, 80ms);
    EXPECT_EQ(values(arrivals), (Bytes{0xFF, 0x26, 5, 1, 0, 0, 0x55, 0x80}));
}

TEST_F(EmulatorPty, IgnoresAClientThatLeftFlowControlOn)
{
    ASSERT_TRUE(start({}));
    termios with_xon = right_settings();
    with_xon.c_iflag |= IXON;
    ASSERT_TRUE(open_client(with_xon));
    send(read_request);
    EXPECT_TRUE(read_bytes(client, 1, 200ms).empty());
    ASSERT_TRUE(wait_for_requests(*line, 1, 1s));
    EXPECT_NE(snapshot(*line).requests[0].line_problems.find("IXON"), std::string::npos);

    ASSERT_TRUE(apply(client, right_settings()));
    send(read_request);
    EXPECT_EQ(read_bytes(client, 52, 2s).size(), 52u);
    EXPECT_EQ(snapshot(*line).requests.at(1).line_problems, "");
}

// Bytes for a client that has gone must not reach the next one.
TEST_F(EmulatorPty, DropsRepliesTheClientDidNotRead)
{
    const Bytes firmware_reply{0xFF, 0x26, 5, 1, 0, 0, 0x55, 0x80};
    ASSERT_TRUE(start({.faults = {{.kind = FaultKind::delay, .request = 0, .delay_ms = 50}}}));

    // Answered while the port is closed.
    ASSERT_TRUE(open_client());
    send(type_request);
    ::close(client);
    std::this_thread::sleep_for(150ms);

    // Answered, then left unread.
    ASSERT_TRUE(open_client());
    send(type_request);
    ASSERT_TRUE(wait_for_requests(*line, 2, 1s));
    std::this_thread::sleep_for(50ms);
    ::close(client);
    std::this_thread::sleep_for(20ms); // as between two runs of a program

    ASSERT_TRUE(open_client());
    send(firmware_request);
    EXPECT_EQ(values(read_bytes(client, 30, 300ms)), firmware_reply);
}

} // namespace
