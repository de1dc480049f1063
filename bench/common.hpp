#pragma once

// What every part of zumel-bench uses: the clock, lists of figures and their
// spread, and the way out when a run does not go as set up.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;
using Values = std::vector<double>;

inline constexpr std::chrono::milliseconds run_limit{20'000};

[[noreturn]] inline void fail(const std::string& why)
{
    std::fflush(stdout);
    std::fprintf(stderr, "zumel-bench: %s\n", why.c_str());
    std::exit(1);
}

inline void require(bool condition, const std::string& why)
{
    if (!condition) {
        fail(why);
    }
}

inline void progress(const char* what)
{
    std::fprintf(stderr, "zumel-bench: %s\n", what);
}

inline double ms_between(Clock::time_point start, Clock::time_point end)
{
    return std::chrono::duration<double, std::milli>(end - start).count();
}

inline void append(Values& to, const Values& from)
{
    to.insert(to.end(), from.begin(), from.end());
}

struct Stats {
    double min = 0;
    double median = 0;
    double max = 0;
};

inline Stats stats(Values values)
{
    if (values.empty()) {
        return {};
    }
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    const double median = n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    return {values.front(), median, values.back()};
}

inline double median(const Values& values)
{
    return stats(values).median;
}

inline bool contains(const std::string& text, std::string_view part)
{
    return text.find(part) != std::string::npos;
}

} // namespace bench
