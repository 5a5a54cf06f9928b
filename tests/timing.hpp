// How the tests judge when lines arrive, for both programs.
//
// A line can never come early: a worker sleeps at least its second before the next
// one, so lower bounds are tight and measured from the start. A line can come late
// on a loaded machine, through start-up, a sanitizer or the scheduler, so upper
// bounds only compare lines of the same run with each other: the typical gap
// between a worker's lines, and lines written in the same moment.
#pragma once

#include <algorithm>
#include <vector>

// The typical (median) gap between a worker's lines is a second, give or take this.
// A worker that sleeps 0.9 s or 1.1 s is outside it; one late read, which makes one
// gap longer and the next shorter, moves the median hardly at all.
constexpr double kBeatSlack = 0.06;

// Lines written in the same moment arrive within this of each other.
constexpr double kTogether = 0.75;

// The median of the gaps between successive times; 0 for fewer than two times.
inline double median_gap(const std::vector<double> &times)
{
    std::vector<double> gaps;
    for (std::size_t i = 1; i < times.size(); i++) {
        gaps.push_back(times[i] - times[i - 1]);
    }
    if (gaps.empty()) {
        return 0;
    }
    std::nth_element(gaps.begin(), gaps.begin() + static_cast<long>(gaps.size() / 2), gaps.end());
    return gaps[gaps.size() / 2];
}
