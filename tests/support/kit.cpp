#include "kit.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace kit {

Bytes write_frame(const std::array<std::uint8_t, 6>& configuration)
{
    Bytes frame(52, 0x00);
    frame[0] = emulator::start_byte;
    frame[1] = emulator::command_write;
    std::copy(configuration.begin(), configuration.end(), frame.begin() + 2);
    frame[50] = emulator::checksum(std::span(frame).first(50));
    frame[51] = emulator::end_byte;
    return frame;
}

Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

std::string written_to(int fd, const std::function<void()>& run)
{
    std::fflush(nullptr);
    std::FILE* capture = std::tmpfile();
    const int saved = dup(fd);
    if (capture == nullptr || saved < 0 || dup2(fileno(capture), fd) < 0) {
        std::abort();
    }
    run();
    std::fflush(nullptr);
    dup2(saved, fd);
    close(saved);
    std::rewind(capture);
    std::string text;
    for (int c = std::fgetc(capture); c != EOF; c = std::fgetc(capture)) {
        text += static_cast<char>(c);
    }
    std::fclose(capture);
    return text;
}

namespace {

struct OwnDirectory {
    std::filesystem::path path;
    pid_t owner = getpid(); // a forked child must not remove it
    OwnDirectory()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "zumel-test-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            std::abort();
        }
        path = pattern;
    }
    ~OwnDirectory()
    {
        std::error_code ignored;
        if (getpid() == owner) {
            std::filesystem::remove_all(path, ignored);
        }
    }
};

} // namespace

const std::filesystem::path& own_directory()
{
    static const OwnDirectory directory;
    return directory.path;
}

} // namespace kit
