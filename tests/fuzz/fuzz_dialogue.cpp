// Whole sessions in-process: fuzzed keyboard input and fuzzed controller
// replies. What goes on the line must be exactly what the keys ask for; in
// particular a write only ever follows eight accepted answers.
//
// Input: one flag byte (bit 0: the port refuses to open), the keyboard's
// length in two bytes (little endian, taken modulo what is left), the
// keyboard, then the reply bytes as they arrive on the line.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "dialogue.hpp"
#include "dialogue_model.hpp"
#include "scripted_line.hpp"

namespace {

void require(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "fuzz_dialogue: %s\n", what);
        std::abort();
    }
}

std::vector<std::uint8_t> expected_line(const model::Expectation& e)
{
    std::vector<std::uint8_t> bytes;
    std::size_t form = 0;
    for (model::Request request : e.requests) {
        const bool write = request == model::Request::write;
        const auto frame = model::frame_of(request, write ? &e.forms.at(form++) : nullptr);
        bytes.insert(bytes.end(), frame.begin(), frame.end());
    }
    return bytes;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    require(std::freopen("/dev/null", "w", stdout) != nullptr, "no /dev/null");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    constexpr std::size_t header = 3;
    if (size < header) {
        return 0;
    }
    const bool refuse_open = (data[0] & 1) != 0;
    const std::size_t keyboard_length = (data[1] | std::size_t{data[2]} << 8) % (size - header + 1);
    const std::string keyboard(reinterpret_cast<const char*>(data + header), keyboard_length);
    const std::vector<std::uint8_t> replies(data + header + keyboard_length, data + size);

    reset_scripted_line();
    scripted_line().refuse_open = refuse_open;
    give_reply(replies);
    char empty = 0;
    std::FILE* keys =
        fmemopen(keyboard.empty() ? &empty : const_cast<char*>(keyboard.data()), keyboard.size(), "r");
    require(keys != nullptr, "fmemopen failed");
    std::FILE* const saved = stdin;
    stdin = keys;
    run_configurator();
    stdin = saved;
    std::fclose(keys);

    // A read takes what has arrived, up to the reply's length.
    std::size_t unread = replies.size();
    const model::Expectation e = model::expect(
        keyboard, [&](unsigned) { return !refuse_open; },
        [&](model::Request request) {
            const std::size_t wanted = model::reply_length(request);
            const bool whole = unread >= wanted;
            unread -= whole ? wanted : unread;
            return whole;
        });

    const ScriptedLine& line = scripted_line();
    require(line.written == expected_line(e), "the line carried other bytes than the keys asked for");
    std::vector<std::size_t> reads;
    for (model::Request request : e.requests) {
        reads.push_back(model::reply_length(request));
    }
    require(line.read_sizes == reads, "replies were read with other lengths");
    require(line.opens == (e.port ? 1 : 0), "the port was opened other than once for a valid choice");
    if (e.port) {
        require(line.last_port_name == "COM" + std::to_string(*e.port), "another port was opened");
    }
    require(!line.open, "the port was left open");
    require(!e.opened || line.closes >= 1, "an opened port was never closed");
    require(!line.open_when_key_waited, "waited for a key with the port open");
    require(line.key_waits == (e.key_wait ? 1 : 0), "waited for a key other than once after a failure");
    return 0;
}
