// The pages against pellit's runs: the kernel page's trace against a traced run
// of its own command, and the README's timeline against the seconds on which a
// traced run's lines fell due.
#include "build.hpp"
#include "docs.hpp"
#include "judges.hpp"
#include "lines.hpp"
#include "spawn.hpp"
#include "status.hpp"
#include "timing.hpp"
#include "trace.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

namespace {

using testing::Each;
using testing::ElementsAreArray;

// ---- what the kernel sees --------------------------------------------------------

// The page's own command, run on a terminal and stopped with Ctrl-C as the page
// says, which must end it. pthread_create is a clone of a thread in the same
// process; pthread_exit in main ends the main thread with exit, not the process
// with exit_group; the worker goes on writing after it, asking for a sleep of
// exactly one second after each line.
TEST(PellitKernel, EndsOnlyItsMainThreadAsThePageShows)
{
    REQUIRE_NO_THREADS_OF_THE_BUILD();
    const std::string page = SOURCE_DIR "/docs/what-the-kernel-sees.md";
    const std::string command = doc_command(page, "strace ", "build/default/pellit");
    Trace t = trace_command(
        command, {.output = Output::terminal, .env = kNoExitChecks, .stop_after_lines = 7, .stop_signal = SIGINT});
    REQUIRE_TRACE(t);
    EXPECT_THAT(t.run.status, KilledBy(SIGINT)) << command << "\n" << t.run.err;

    const std::vector<Syscall> made = creations(t.calls);
    ASSERT_EQ(made.size(), 1U);
    EXPECT_THAT(made[0].text, testing::HasSubstr("CLONE_THREAD"));
    const pid_t main_thread = made[0].tid;
    const auto worker = static_cast<pid_t>(made[0].result());
    auto main_exit = std::find_if(t.calls.begin(), t.calls.end(), [main_thread](const Syscall &call) {
        return call.tid == main_thread && (call.name == "exit" || call.name == "exit_group");
    });
    ASSERT_NE(main_exit, t.calls.end()) << "the main thread should end";
    EXPECT_EQ(main_exit->name, "exit") << "the main thread alone should end, not the process";
    EXPECT_TRUE(std::any_of(main_exit, t.calls.end(), [worker](const Syscall &call) {
        return call.tid == worker && call.name == "write";
    })) << "the worker should write after the main thread has ended";

    const std::vector<std::string> sleeps = sleeps_asked(t.calls, worker);
    ASSERT_GE(sleeps.size(), 3U);
    EXPECT_THAT(sleeps, Each(kOneSecond));

    // Ctrl-C comes from the terminal (SI_KERNEL), as the page shows it.
    EXPECT_FIGURES_OF_THE_RUN(shown_after(page, command), t.calls);
}

// The README's timeline: every bar on the second on which a traced run's line, or
// the main thread's end, fell due. The run is stopped after the worker's seventh
// line, past the last bar.
TEST(PellitReadme, TimelineBarsFallOnTheSecondsOfARun)
{
    REQUIRE_NO_THREADS_OF_THE_BUILD();
    Trace t = trace_command(
        "strace -f -tt -e trace=clone,clone3,clock_nanosleep,exit,exit_group,write -o trace.txt build/default/pellit",
        {.output = Output::terminal, .env = kNoExitChecks, .stop_after_lines = 8, .stop_signal = SIGINT});
    REQUIRE_TRACE(t);
    EXPECT_THAT(t.run.status, KilledBy(SIGINT)) << t.run.err;
    expect_timeline_of_the_run(gantt_bars(SOURCE_DIR "/README.md", "pellit, second by second"), t.calls,
                               {{"main", "The execution"}, {"worker", "Input is"}}, false);
}

} // namespace
