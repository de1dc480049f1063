#pragma once

#include "controller.hpp"
#include "line_check.hpp"

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// The controller on a pseudo-terminal. A symlink at a chosen path leads to the
// slave side, which the configurator opens as its serial port; a thread
// behind the master side answers. The emulator keeps the slave open itself,
// so the port outlives the configurator's sessions and, like a real port,
// keeps their settings; what a client left unread goes when it closes.

namespace emulator {

// Called on the line's thread with one line of text per event.
using LogSink = std::function<void(const std::string& line)>;

struct PtyLine;

// Stops the line (see stop) and frees it.
struct PtyLineStop {
    void operator()(PtyLine* line) const;
};
using PtyLineHandle = std::unique_ptr<PtyLine, PtyLineStop>;

// Replies leave when the controller's actions say. paced: what a client left
// unread is lost when it closes the port, as on a real line. instant: no
// session bookkeeping in the way, to measure a client's own delays on a
// setup that takes no time.
enum class LineMode { paced, instant };

// Creates the pty, points `link` at its slave (replacing a symlink already
// there, creating missing directories) and starts answering; the setup's
// waiting bytes are in the slave's input before the link appears. Returns
// null with `error` set when that fails. Each request records when it
// arrived and when its reply was handed to the line.
PtyLineHandle start_pty_line(const std::filesystem::path& link, const ControllerSetup& setup,
                             std::string& error, LogSink log = {}, LineMode mode = LineMode::paced);

// Several controllers that come and go on the line as `visits` say (see
// Visit); without visits the first stays throughout. The first visit's
// controller is connected from the start, with its waiting bytes. Also null
// when the script names a controller that is not there.
PtyLineHandle start_pty_line(const std::filesystem::path& link,
                             const std::vector<ControllerSetup>& controllers,
                             const std::vector<Visit>& visits, std::string& error, LogSink log = {},
                             LineMode mode = LineMode::paced);

// Ends the thread, closes the pty and removes the link. A scheduled reply is
// dropped. Safe to call twice.
void stop(PtyLine& line);

// The slave device, e.g. /dev/pts/7.
std::string slave_path(const PtyLine& line);

// When the line's clock started: requests' times count from here.
std::chrono::steady_clock::time_point started_at(const PtyLine& line);

// A copy of the controller as it is now: bytes received, requests with their
// line-settings verdicts, configuration, protocol errors. With several
// controllers, the line seen as one (see as_one).
Controller snapshot(const PtyLine& line);

// A copy of the whole line as it is now: each controller with its
// configuration and requests, and every byte and request on the line.
Line line_snapshot(const PtyLine& line);

// Waits until at least `count` valid requests have arrived or the line has
// closed, at most `timeout`. True when they have.
bool wait_for_requests(const PtyLine& line, std::size_t count, std::chrono::milliseconds timeout);

// Connects or disconnects the line's controller by hand, as a technician
// plugs one in or pulls it out (see Line::unplugged).
void connect(PtyLine& line, bool connected);

// True once the line hung up (a fault) or failed; the thread has then ended.
bool closed(const PtyLine& line);

} // namespace emulator
