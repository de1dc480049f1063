#pragma once

// An instant controller on a pseudo-terminal of its own, for the exchange
// overhead: it answers through the emulator's controller logic and notes, on
// the monotonic clock, when each reply has been handed to the line and when
// the next request's first byte comes in.

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "emulator/controller.hpp"

class Responder {
  public:
    // Points `link` at the slave side. Check ready() before use.
    explicit Responder(std::filesystem::path link);
    ~Responder();
    Responder(const Responder&) = delete;
    Responder& operator=(const Responder&) = delete;

    bool ready() const
    {
        return thread_.joinable();
    }

    // Reply out to next request in, in ms, since the last call. No gap spans
    // two sessions.
    std::vector<double> take_gaps();

    // The last write frame that came in; empty if none.
    std::vector<std::uint8_t> last_write_frame() const;

  private:
    using Clock = std::chrono::steady_clock;
    void run();

    std::filesystem::path link_;
    int master_ = -1;
    int held_slave_ = -1; // keeps the line up between sessions
    std::atomic<bool> stopping_{false};
    Clock::time_point epoch_ = Clock::now();

    mutable std::mutex mutex_;
    emulator::Controller controller_;              // guarded by mutex_
    std::optional<Clock::time_point> reply_out_{}; // guarded by mutex_
    std::vector<double> gaps_{};                   // guarded by mutex_
    std::thread thread_;
};
