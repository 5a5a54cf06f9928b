// Both programs under valgrind's thread checker: no data race, no misuse of the
// threads interface, no lock-order problem. (DRD is left out: it reports the C
// library's standard output buffer, which a lock it does not model protects.)
#include "spawn.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Checked {
    const char *name;
    const char *program;
    std::size_t stop_after_lines; // 0 for a program that ends by itself
    std::size_t lines;            // how many it writes at least
};

class UnderHelgrind : public testing::TestWithParam<Checked> {};

TEST_P(UnderHelgrind, ReportsNothing)
{
    const Checked &c = GetParam();
    if (std::string(VALGRIND).empty()) {
        GTEST_SKIP() << "valgrind is not installed, or this is a sanitizer build";
    }
    // -q: helgrind writes to standard error only what it finds.
    Recording r =
        record({.argv = {VALGRIND, "--tool=helgrind", "-q", c.program}, .stop_after_lines = c.stop_after_lines});

    EXPECT_EQ(r.err, "");
    EXPECT_GE(r.lines.size(), c.lines);
}

INSTANTIATE_TEST_SUITE_P(Programs, UnderHelgrind,
                         testing::Values(Checked{"Quadrel", QUADREL, 0, 16}, Checked{"Pellit", PELLIT, 4, 4}),
                         [](const testing::TestParamInfo<Checked> &info) { return info.param.name; });

} // namespace
