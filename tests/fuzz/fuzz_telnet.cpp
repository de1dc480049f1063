// Any byte stream a device server may send, through the telnet decoder and
// the answers: a defined result in pieces of any size, bounded memory, and
// replies that never grow with the stream.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "telnet.hpp"

namespace {

void require(bool holds)
{
    if (!holds) {
        std::abort();
    }
}

struct Result {
    std::vector<std::uint8_t> data;
    std::vector<telnet::Event> events;
};

Result decode(std::span<const std::uint8_t> stream, std::size_t piece)
{
    telnet::Decoder decoder;
    Result result;
    for (std::size_t at = 0; at < stream.size(); at += piece) {
        telnet::decode(decoder, stream.subspan(at, std::min(piece, stream.size() - at)), result.data,
                       result.events);
        require(decoder.kept_size <= telnet::subnegotiation_limit);
    }
    return result;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size)
{
    if (size == 0) {
        return 0;
    }
    // The first byte sets the size of the pieces the rest arrives in.
    const std::size_t piece = bytes[0] % 16 + 1;
    const std::span<const std::uint8_t> stream(bytes + 1, size - 1);
    const Result whole = decode(stream, stream.size() + 1);
    const Result pieces = decode(stream, piece);
    require(whole.data == pieces.data && whole.events == pieces.events);
    require(whole.data.size() + 2 * whole.events.size() <= stream.size());

    telnet::Options options;
    (void)telnet::opening(options);
    for (const telnet::Event& event : whole.events) {
        require(telnet::answer(options, event).size() <= 3);
    }
    return 0;
}
