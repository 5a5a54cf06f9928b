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

#include <string>
#include <vector>

// Lines written in the same moment arrive within this of each other, however
// busy the machine. (Seen: a second between them at a load of 15 on two cores.)
constexpr double kTogether = 2.0;

// Line k of a worker comes at most this much later than k seconds after its first.
// (Seen: 1.6 s late by the tenth line at a load of 29 on two cores.)
constexpr double kLate = 3.0;

// Each line of a worker that writes a line a second, the first at `first_second`
// seconds after the start: never before its second, and never more than kLate
// behind the second that the first line came on.
testing::AssertionResult a_line_a_second(const std::vector<double> &times, double first_second = 0);

// All of these times within kTogether of each other.
testing::AssertionResult together(const std::vector<double> &times);
