// How the tests judge when lines arrive, for both programs.
//
// A line can never come early: a worker sleeps at least its second before the next
// one, so lower bounds are tight and measured from the start. A line can come late
// on a loaded machine, through start-up, a sanitizer or the scheduler, so the
// upper bounds are generous and only compare lines of the same run with each
// other. That a worker asks for exactly one second each time is for the kernel to
// say (trace.hpp), not the clock.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

// Lines written in the same moment arrive within this of each other, however
// busy the machine. (Seen: a second between them at a load of 15 on two cores.)
constexpr double kTogether = 2.0;

// Line k of a worker comes at most this much later than k seconds after its first.
// (Seen: 1.6 s late by the tenth line at a load of 29 on two cores.)
constexpr double kLate = 3.0;

// Each line of a worker that writes a line a second, the first at `first_second`
// seconds after the start: never before its second, never far behind.
inline testing::AssertionResult a_line_a_second(const std::vector<double> &times, double first_second = 0)
{
    for (std::size_t k = 0; k < times.size(); k++) {
        const double due = first_second + static_cast<double>(k);
        if (times[k] < due) {
            return testing::AssertionFailure() << "line " << k + 1 << " came early, at " << times[k] << " s";
        }
        if (times[k] > times[0] + static_cast<double>(k) + kLate) {
            return testing::AssertionFailure() << "line " << k + 1 << " came late, at " << times[k] << " s, after "
                                               << times[0] << " s for the first";
        }
    }
    return testing::AssertionSuccess();
}

// All of these times within kTogether of each other.
inline testing::AssertionResult together(const std::vector<double> &times)
{
    if (times.empty()) {
        return testing::AssertionSuccess();
    }
    const auto [low, high] = std::minmax_element(times.begin(), times.end());
    if (*high - *low > kTogether) {
        return testing::AssertionFailure() << "lines of one moment came " << *high - *low << " s apart";
    }
    return testing::AssertionSuccess();
}
