// The timing judgements themselves, on made-up timelines: what they let pass and
// what they catch. A bound that is widened or narrowed fails a row here.
#include "rows.hpp"
#include "timing.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace {

// n lines, the first at `first`, then one every `gap` seconds.
std::vector<double> beats(int n, double first, double gap)
{
    std::vector<double> times;
    times.reserve(static_cast<std::size_t>(n));
    for (int k = 0; k < n; k++) {
        times.push_back(first + k * gap);
    }
    return times;
}

std::vector<double> with_one_late(std::vector<double> times, std::size_t which, double by)
{
    times.at(which) += by;
    return times;
}

struct Timeline {
    const char *name;
    std::vector<double> times;
    bool passes;
};
PRINTS_AS_ITS_NAME(Timeline)

class ALineASecond : public testing::TestWithParam<Timeline> {};

TEST_P(ALineASecond, JudgesTheTimeline)
{
    EXPECT_EQ(static_cast<bool>(a_line_a_second(GetParam().times)), GetParam().passes)
        << a_line_a_second(GetParam().times).message();
}

INSTANTIATE_TEST_SUITE_P(
    Timelines, ALineASecond,
    testing::Values(
        Timeline{.name = "OnTheSecond", .times = beats(10, 0.01, 1.0), .passes = true},
        Timeline{.name = "StartingLate", .times = beats(10, 1.5, 1.0), .passes = true},
        // Late bounds count from the first line, not from the second it was due on.
        Timeline{.name = "StartingLaterThanAllowedForOneLine", .times = beats(10, 3.5, 1.0), .passes = true},
        Timeline{.name = "LastReadTooLate", .times = with_one_late(beats(10, 0.01, 1.0), 9, 3.1), .passes = false},
        Timeline{.name = "OneReadLate", .times = with_one_late(beats(10, 0.01, 1.0), 4, 0.9), .passes = true},
        Timeline{
            .name = "OneReadAsLateAsAllowed", .times = with_one_late(beats(10, 0.01, 1.0), 4, 2.9), .passes = true},
        Timeline{.name = "OneReadTooLate", .times = with_one_late(beats(10, 0.01, 1.0), 4, 3.1), .passes = false},
        // The bound itself, from either side: three seconds.
        Timeline{.name = "OneReadJustInTime", .times = with_one_late(beats(10, 0.01, 1.0), 4, 2.98), .passes = true},
        Timeline{.name = "OneReadJustTooLate", .times = with_one_late(beats(10, 0.01, 1.0), 4, 3.02), .passes = false},
        Timeline{.name = "LoadedMachine", .times = beats(10, 0.2, 1.18), .passes = true},
        Timeline{.name = "EveryPointNineSeconds", .times = beats(10, 0.01, 0.9), .passes = false},
        Timeline{.name = "EveryOnePointOneSecondsForAMinute", .times = beats(60, 0.01, 1.1), .passes = false},
        Timeline{.name = "EveryTwoSeconds", .times = beats(10, 0.01, 2.0), .passes = false},
        Timeline{.name = "SecondLineEarly", .times = {0.01, 0.95, 2.0}, .passes = false},
        Timeline{.name = "LastLineEarly", .times = {0.01, 1.0, 1.95}, .passes = false}),
    testing::PrintToStringParamName());

class Together : public testing::TestWithParam<Timeline> {};

TEST_P(Together, JudgesTheMoment)
{
    EXPECT_EQ(static_cast<bool>(together(GetParam().times)), GetParam().passes);
}

INSTANTIATE_TEST_SUITE_P(Timelines, Together,
                         testing::Values(Timeline{.name = "AtOnce", .times = {3.0, 3.0, 3.0}, .passes = true},
                                         Timeline{.name = "ASecondApart", .times = {0.0, 1.0, 0.5}, .passes = true},
                                         Timeline{.name = "AsFarApartAsAllowed", .times = {0.0, 1.9}, .passes = true},
                                         Timeline{.name = "TooFarApart", .times = {0.0, 2.1}, .passes = false},
                                         Timeline{
                                             .name = "ThreeSecondsApart", .times = {5.0, 2.0, 4.0}, .passes = false}),
                         testing::PrintToStringParamName());

} // namespace
