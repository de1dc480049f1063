// Whole sessions in-process: fuzzed keyboard input and fuzzed controller
// replies, with stand-ins for the two seams, serial link and key wait. What
// goes on the line must be exactly what the keys ask for; in particular a
// write only ever follows eight accepted answers.
//
// Input: one flag byte (bit 0: the port refuses to open), the keyboard's
// length in two bytes (little endian, taken modulo what is left), the
// keyboard, then the reply bytes as they arrive on the line.

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "dialogue/dialogue.hpp"
#include "dialogue_model.hpp"
#include "stub_line.hpp"
#include "system/key_wait.hpp"

namespace {

using stub::line;

int key_waits = 0;
bool open_when_key_waited = false; // the port must be closed first

void require(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "fuzz_dialogue: %s\n", what);
        std::abort();
    }
}

} // namespace

void wait_for_key()
{
    ++key_waits;
    open_when_key_waited = open_when_key_waited || line.open;
}

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
    const std::size_t keyboard_length = (data[1] | std::size_t{data[2]} << 8) % (size - header + 1);
    const std::string keyboard(reinterpret_cast<const char*>(data + header), keyboard_length);
    stub::reset(
        {.incoming = {data + header + keyboard_length, data + size}, .refuse_open = (data[0] & 1) != 0});
    key_waits = 0;
    open_when_key_waited = false;
    std::size_t unread = line.incoming.size();
    model::reading(keyboard, [] { run_configurator(); });

    // A read takes what has arrived, up to the reply's length.
    const model::Expectation e = model::expect(
        keyboard, [](unsigned) { return !line.refuse_open; },
        [&unread](model::Request request) {
            const std::size_t wanted = model::reply_length(request);
            const bool whole = unread >= wanted;
            unread -= whole ? wanted : unread;
            return whole;
        });
    require(line.written == model::expected_line(e), "the line carried other bytes than the keys asked for");
    std::vector<std::size_t> reads;
    for (model::Request request : e.requests) {
        reads.push_back(model::reply_length(request));
    }
    require(line.reads == reads, "replies were read with other lengths");
    require(line.opens == (e.port ? 1 : 0), "the port was opened other than once for a valid choice");
    require(!e.port || line.last_port_name == "COM" + std::to_string(*e.port), "another port was opened");
    require(!line.open, "the port was left open");
    require(!e.opened || line.closes >= 1, "an opened port was never closed");
    require(!open_when_key_waited, "waited for a key with the port open");
    require(key_waits == (e.key_wait ? 1 : 0), "waited for a key other than once after a failure");
    return 0;
}
