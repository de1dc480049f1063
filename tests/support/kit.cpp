#include "kit.hpp"

#include <algorithm>
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
