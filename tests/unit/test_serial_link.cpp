// The POSIX serial link on pseudo-terminals that stand where COMn leads.

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "serial/serial_link.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

double ms_since(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// The far end of COM1: a pty whose slave the link opens through the link path.
class Com1 : public ::testing::Test {
  protected:
    void SetUp() override
    {
        char name[256];
        ASSERT_EQ(openpty(&master, &held_slave, name, nullptr, nullptr), 0);
        path = COM_DEVICE_PREFIX "0";
        std::filesystem::create_directories(path.parent_path());
        std::filesystem::remove(path);
        std::filesystem::create_symlink(name, path);
    }
    void TearDown() override
    {
        close_port();
        if (master >= 0) {
            close(master);
        }
        close(held_slave);
        std::filesystem::remove(path);
    }
    void send_later(Bytes bytes, int after_ms)
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(after_ms));
        ASSERT_EQ(write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    Bytes received(std::size_t count)
    {
        Bytes bytes(count);
        std::size_t got = 0;
        while (got < count) {
            pollfd fd{master, POLLIN, 0};
            if (poll(&fd, 1, 2000) <= 0) {
                break;
            }
            const ssize_t n = read(master, bytes.data() + got, count - got);
            if (n <= 0) {
                break;
            }
            got += static_cast<std::size_t>(n);
        }
        bytes.resize(got);
        return bytes;
    }
    int master = -1;
    int held_slave = -1;
    std::filesystem::path path;
};

} // namespace

TEST_F(Com1, AReadWaitsItsWholeTimeOutAndReturnsWhatCame)
{
    ASSERT_NE(open_port("COM1", "9600"), 0);
    Bytes buffer(52);

    auto start = Clock::now();
    EXPECT_EQ(port_read(buffer.data(), 12), 0U);
    EXPECT_GE(ms_since(start), 1012.0);
    EXPECT_LT(ms_since(start), 2000.0);

    // 30 of 52 bytes, in two pieces: the read ends at 1052 ms with them.
    std::thread sender([&] {
        send_later(Bytes(10, 0xA5), 50);
        send_later(Bytes(20, 0x5A), 200);
    });
    start = Clock::now();
    EXPECT_EQ(port_read(buffer.data(), 52), 30U);
    EXPECT_GE(ms_since(start), 1052.0);
    sender.join();
    EXPECT_EQ(buffer[9], 0xA5);
    EXPECT_EQ(buffer[29], 0x5A);
}

TEST_F(Com1, AReadEndsAsSoonAsItsBytesHaveArrived)
{
    ASSERT_NE(open_port("COM1", "9600"), 0);
    std::thread sender([&] {
        send_later({0x11, 0x13, 0x0D, 0x0A, 0x03, 0x1C, 0x7F, 0x00, 0xFF, 0x80, 0x0D, 0x04}, 20);
    });
    Bytes buffer(12);
    const auto start = Clock::now();
    EXPECT_EQ(port_read(buffer.data(), 12), 12U);
    EXPECT_LT(ms_since(start), 1000.0);
    sender.join();
    // Raw line: no flow control, no line-end translation, no signals.
    EXPECT_EQ(buffer, (Bytes{0x11, 0x13, 0x0D, 0x0A, 0x03, 0x1C, 0x7F, 0x00, 0xFF, 0x80, 0x0D, 0x04}));
}

TEST_F(Com1, WritesArriveWholeAndUnchanged)
{
    ASSERT_NE(open_port("COM1", "9600"), 0);
    Bytes frame(4000);
    for (std::size_t i = 0; i < frame.size(); ++i) {
        frame[i] = static_cast<std::uint8_t>(i * 7);
    }
    std::thread reader([&] { EXPECT_EQ(received(frame.size()), frame); });
    EXPECT_EQ(port_write(frame.data(), frame.size()), frame.size());
    reader.join();
}

TEST_F(Com1, TheLineIsSetRawAt9600OddParityWithoutFlowControl)
{
    ASSERT_NE(open_port("COM1", "9600"), 0);
    termios line{};
    ASSERT_EQ(tcgetattr(held_slave, &line), 0);
    EXPECT_EQ(cfgetispeed(&line), B9600);
    EXPECT_EQ(cfgetospeed(&line), B9600);
    EXPECT_EQ(line.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_NE(line.c_cflag & PARODD, 0U) << "odd parity asked for (a pty itself cannot keep PARENB)";
    EXPECT_EQ(line.c_cflag & (CSTOPB | CRTSCTS), 0U);
    EXPECT_EQ(line.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(line.c_iflag & (IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP), 0U);
    EXPECT_EQ(line.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0U);
    EXPECT_EQ(line.c_oflag & OPOST, 0U);

    // A line already set so is taken again (glibc then reports EINVAL).
    close_port();
    EXPECT_NE(open_port("COM1", "9600"), 0);
}

TEST_F(Com1, APortInUseOrNotATerminalIsRefused)
{
    // Another holder of the lock, as a second configurator would be.
    const int other = open(path.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(other, 0);
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(open_port("COM1", "9600"), 0);
    close(other);
    EXPECT_NE(open_port("COM1", "9600"), 0);
    close_port();

    const std::filesystem::path plain = COM_DEVICE_PREFIX "1";
    std::filesystem::remove(plain);
    {
        std::FILE* f = std::fopen(plain.c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fclose(f);
    }
    EXPECT_EQ(open_port("COM2", "9600"), 0) << "a plain file is no serial port";
    std::filesystem::remove(plain);
    EXPECT_EQ(open_port("COM2", "9600"), 0) << "nothing there";
}

TEST_F(Com1, OnlyComNamesAndTheLineSpeedAreAccepted)
{
    for (const char* name : {"COM0", "COM", "COM1x", "com1", "LPT1", "", "COM-1", "COM01x"}) {
        EXPECT_EQ(open_port(name, "9600"), 0) << name;
    }
    EXPECT_EQ(open_port("COM1", "9601"), 0);
    EXPECT_NE(open_port("COM1", "9600"), 0);
}

TEST_F(Com1, AHangUpEndsAReadAtOnceWithWhatArrived)
{
    ASSERT_NE(open_port("COM1", "9600"), 0);
    std::thread far_end([&] {
        send_later({1, 2, 3}, 30);
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        close(held_slave);
        held_slave = open("/dev/null", O_RDONLY); // keeps TearDown simple
        close(master);
        master = -1;
    });
    Bytes buffer(52);
    const auto start = Clock::now();
    const auto cpu_start = std::clock();
    EXPECT_EQ(port_read(buffer.data(), 52), 3U);
    EXPECT_LT(ms_since(start), 1000.0) << "a dead line must not be waited on";
    EXPECT_LT(double(std::clock() - cpu_start) / CLOCKS_PER_SEC, 0.2) << "nor spun on";
    far_end.join();
}

TEST_F(Com1, APortThatCannotBeSetUpIsNotKept)
{
    // Lock the line's control flags and speed, as a driver that cannot do
    // 9600 8O1 would hold them.
    termios locked{};
    locked.c_cflag = ~tcflag_t{0};
    locked.c_ispeed = locked.c_ospeed = 1;
    if (ioctl(held_slave, TIOCSLCKTRMIOS, &locked) != 0) {
        GTEST_SKIP() << "locking a line's settings needs CAP_SYS_ADMIN";
    }
    EXPECT_EQ(open_port("COM1", "9600"), 0);

    // Nothing holds the port now: another program may lock it at once.
    const int other = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(other, 0) << "the port was left exclusive";
    EXPECT_EQ(flock(other, LOCK_EX | LOCK_NB), 0) << "the port was left locked";
    close(other);

    const termios unlocked{};
    ioctl(held_slave, TIOCSLCKTRMIOS, &unlocked);
}
