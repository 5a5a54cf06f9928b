// pellit as its users meet it: it runs until it is stopped, so every run is
// stopped once it has written enough lines to judge.
#include "build.hpp"
#include "elf.hpp"
#include "lines.hpp"
#include "rows.hpp"
#include "spawn.hpp"
#include "status.hpp"
#include "timing.hpp"
#include "trace.hpp"
#include "valgrind.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using testing::Each;
using testing::ElementsAre;

// main's line and six of the worker's.
constexpr std::size_t kLines = 7;

class PellitRun : public testing::TestWithParam<WholeRun> {};

// main's line and the worker's first in the first moment, then a worker line each
// second while main's thread is gone, until a signal ends the process.
TEST_P(PellitRun, WritesALineASecondUntilStopped)
{
    const WholeRun &c = GetParam();
    char main_thread = '?';
    Spawn spawn{.argv = {PROGRAM},
                .output = c.output,
                .stop_after_lines = kLines,
                .stop_signal = c.stop_signal,
                .before_stop = [&main_thread](pid_t pid) { main_thread = thread_state(pid, pid); }};
    spawn.argv.insert(spawn.argv.end(), c.args.begin(), c.args.end());
    Recording r = record(spawn);

    EXPECT_EQ(main_thread, 'Z') << "the main thread should have ended, the process running on";
    EXPECT_THAT(r.status, KilledBy(c.stop_signal));
    EXPECT_EQ(r.err, "");

    // main's line once; every other line the worker's, a line a second, none held back.
    std::vector<std::string> out = r.texts();
    ASSERT_GE(out.size(), kLines) << testing::PrintToString(out);
    ASSERT_EQ(std::count(out.begin(), out.end(), kPaused), 1) << testing::PrintToString(out);
    out.erase(std::find(out.begin(), out.end(), kPaused));
    EXPECT_THAT(out, Each(kInput));
    const std::vector<double> input = r.times_of(kInput);
    EXPECT_TRUE(a_line_a_second(input));
    EXPECT_TRUE(together({r.times_of(kPaused).at(0), input.at(0)})) << "main's line and the worker's first";
}

INSTANTIATE_TEST_SUITE_P(
    Outputs, PellitRun,
    testing::Values(
        WholeRun{.name = "TerminalInterrupted", .output = Output::terminal, .stop_signal = SIGINT},
        WholeRun{.name = "TerminalWithArguments",
                 .output = Output::terminal,
                 .args = {"-x", "%s%n"},
                 .stop_signal = SIGTERM},
        WholeRun{.name = "PipeKilled", .output = Output::pipe, .stop_signal = SIGKILL},
        WholeRun{.name = "PipeWithArguments", .output = Output::pipe, .args = {"1", "--help"}, .stop_signal = SIGINT},
        WholeRun{.name = "FileKilled", .output = Output::file, .stop_signal = SIGKILL}),
    testing::PrintToStringParamName());

// helgrind: no data race, no misuse of the threads interface, in the first lines.
TEST(PellitUnderValgrind, HelgrindReportsNothing)
{
    REQUIRE_VALGRIND();
    Recording r = record({.argv = under_valgrind({"--tool=helgrind", "-q"}, {PROGRAM}), .stop_after_lines = 4});

    EXPECT_EQ(r.err, "");
    EXPECT_GE(r.lines.size(), 4U);
}

// pellit loads the unwinder that pthread_exit needs when it starts, not when main
// ends.
TEST(PellitLibraries, IncludeTheUnwinder)
{
    EXPECT_THAT(needed(PROGRAM), testing::Contains("libgcc_s.so.1"));
    EXPECT_THAT(needed(TWIN), testing::Contains("libgcc_s.so.1"));
}

// ---- failures -------------------------------------------------------------------

class PellitFault : public FaultTable {};

// pellit either runs for good or ends before its worker writes, saying why.
TEST_P(PellitFault, EndsTheProcessAndSaysWhy)
{
    const Fault &row = GetParam();
    expect_fault(row, record(fault_run(row, PROGRAM, TWIN)));
}

const Fault kInjected[] = {
    {.name = "ThreadNotCreated", .inject = "pthread_create:1", .out = {kNotCreated}, .last = kNotCreated},
    {.name = "LineBufferingRefused",
     .inject = "setvbuf:1",
     .err = "pellit: cannot make standard output line-buffered\n"},
};

INSTANTIATE_TEST_SUITE_P(Injected, PellitFault, testing::ValuesIn(kInjected), testing::PrintToStringParamName());

INSTANTIATE_TEST_SUITE_P(RealLimit, PellitFault,
                         testing::Values(
                             // The real pthread_create fails for want of room for a stack.
                             Fault{.name = "NoRoomForAnyStack",
                                   .limits = {{RLIMIT_STACK, kHugeStack}},
                                   .out = {kNotCreated},
                                   .last = kNotCreated},
                             // The unwinder that pthread_exit needs cannot be loaded: the loader stops the
                             // program before it starts, where glibc would abort it once it runs.
                             Fault{.name = "UnwinderUnloadable",
                                   .env = {"LD_LIBRARY_PATH=" BROKEN_LIBRARIES},
                                   .err = std::string(PROGRAM) +
                                          ": error while loading shared libraries: " BROKEN_LIBRARIES
                                          "/libgcc_s.so.1: file too short\n",
                                   .status = 127}),
                         testing::PrintToStringParamName());

// However little address space pellit has, it never starts, or says that it cannot
// create its worker, or runs for good: it never dies once it has written a line.
// The sweep goes up from too little until pellit has run five times in a row.
TEST(PellitLimits, NeverDiesForWantOfAddressSpace)
{
    if (kSanitized) {
        SKIP_FOR_THIS_BUILD("a sanitizer needs far more address space than this");
    }
    if (kEmulated) {
        SKIP_FOR_THIS_BUILD("an emulator maps far more address space than this, for itself and the program");
    }
    // The usual stack limit, which sets a new thread's stack size: a worker needs
    // that much address space beyond what the process has mapped to start.
    constexpr rlim_t kStack = rlim_t{8} << 20;
    // From far too little for the loader to map the program, in steps of 2 % (at
    // most 1 MiB, smaller than a worker's stack, so that no step can pass over the
    // limits at which the worker alone cannot be created), up to eight stacks.
    int refused = 0;
    int ran = 0;
    for (rlim_t kib = 1024; kib <= 8 * (kStack >> 10) && ran < 5; kib += std::min<rlim_t>(kib / 50, 1024)) {
        SCOPED_TRACE("address space limited to " + std::to_string(kib) + " KiB");
        Recording r = record(
            {.argv = {PROGRAM}, .limits = {{RLIMIT_AS, kib << 10}, {RLIMIT_STACK, kStack}}, .stop_after_lines = 3});
        if (WIFSIGNALED(r.status) && WTERMSIG(r.status) == SIGKILL && r.lines.size() >= 3) {
            ran++;
            continue;
        }
        ran = 0;
        ASSERT_TRUE(WIFEXITED(r.status)) << "wait status " << r.status << ", stderr: " << r.err;
        if (WEXITSTATUS(r.status) == 127) { // the loader could not map it: it never started
            ASSERT_EQ(r.lines.size(), 0U);
        } else {
            ASSERT_THAT(r.status, ExitedWith(1));
            ASSERT_THAT(r.texts(), ElementsAre(kNotCreated));
            refused++;
        }
    }
    EXPECT_GT(refused, 0) << "the sweep should start where the worker cannot be created";
    EXPECT_EQ(ran, 5) << "the sweep should end where pellit runs";
}

} // namespace
