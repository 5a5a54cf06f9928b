// The pages against quadrel's runs: the kernel page's traces and words against a
// traced run of its own commands, and the README's timeline against the seconds
// on which a traced run's lines fell due.
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
#include <map>
#include <regex>
#include <string>
#include <vector>

namespace {

using testing::Each;
using testing::ElementsAreArray;

// ---- what the kernel sees --------------------------------------------------------

const std::string kKernelPage = SOURCE_DIR "/docs/what-the-kernel-sees.md";

// The page's own command, run as the page gives it. Each pthread_create is a clone
// of a thread in the same process; each worker asks for sleeps of exactly one
// second, one a line; a worker that returns ends its own thread with exit, worker 2
// some eight seconds before worker 10; main, having joined both, returns and so
// ends the process with exit_group.
TEST(QuadrelKernel, EndsEachWorkerThenTheProcessAsThePageShows)
{
    REQUIRE_NO_THREADS_OF_THE_BUILD();
    const std::string command = doc_command(kKernelPage, "strace ", "quadrel > /dev/null");
    Trace t = trace_command(command, {.output = Output::terminal, .env = kNoExitChecks});
    REQUIRE_TRACE(t);
    EXPECT_THAT(t.run.status, ExitedWith(0)) << command << "\n" << t.run.err;

    const std::vector<Syscall> made = creations(t.calls);
    ASSERT_EQ(made.size(), 2U);
    for (const Syscall &creation : made) {
        EXPECT_THAT(creation.text, testing::HasSubstr("CLONE_THREAD"));
    }
    const pid_t main_thread = made[0].tid;
    const auto worker10 = static_cast<pid_t>(made[0].result());
    const auto worker2 = static_cast<pid_t>(made[1].result());
    EXPECT_THAT(sleeps_asked(t.calls, worker10), ElementsAreArray(std::vector<std::string>(10, kOneSecond)));
    EXPECT_THAT(sleeps_asked(t.calls, worker2), ElementsAreArray(std::vector<std::string>(2, kOneSecond)));
    EXPECT_THAT(sleeps_asked(t.calls, main_thread), testing::IsEmpty());

    // Under an emulator a worker's exit call can come after the joiner has gone
    // on, or never, cut short by the end of the process: there a worker's end is
    // its last call, the end of its last sleep.
    const auto ended = [&t](pid_t worker) {
        return kEmulated ? last_call(t.calls, worker) : first_call(t.calls, worker, "exit");
    };
    const long exit10 = ended(worker10);
    const long exit2 = ended(worker2);
    const long end = first_call(t.calls, main_thread, "exit_group");
    ASSERT_GE(exit10, 0) << "worker 10 should end with exit";
    ASSERT_GE(exit2, 0) << "worker 2 should end with exit";
    ASSERT_GE(end, 0) << "the process should end with exit_group";
    EXPECT_GE(t.calls[exit10].at - t.calls[exit2].at, 8 - kLate) << "worker 2's exit value waits for its join";
    EXPECT_GT(exit10, exit2);
    EXPECT_GT(end, exit10) << "the process should end after its workers";
    EXPECT_EQ(t.calls[end].text.rfind("(0)", 0), 0U) << t.calls[end].text;

    // Block-buffered, all sixteen lines leave in one write: main's final flush.
    std::vector<Syscall> writes = calls_of(t.calls, main_thread, "write");
    ASSERT_EQ(writes.size(), 1U);
    EXPECT_EQ(writes[0].result(), 492);
    EXPECT_THAT(calls_of(t.calls, worker10, "write"), testing::IsEmpty());
    EXPECT_THAT(calls_of(t.calls, worker2, "write"), testing::IsEmpty());

    // What the page shows of it, in its trace and in its words, is this run's.
    EXPECT_FIGURES_OF_THE_RUN(shown_after(kKernelPage, command), t.calls);
    const std::string words = prose(kKernelPage);
    EXPECT_THAT(words, testing::HasSubstr("all " + std::to_string(writes[0].result()) + " bytes"));
    const std::regex request(R"(\{tv_sec=\d+, tv_nsec=\d+\})");
    for (auto it = std::sregex_iterator(words.begin(), words.end(), request); it != std::sregex_iterator(); ++it) {
        EXPECT_EQ(it->str(), kOneSecond) << "a sleep request that the page names";
    }
    // Its counts of each worker's sleeps ("ten for worker 10") and of the seconds
    // after which each ends ("worker 10 ten seconds in") are the run's.
    const std::map<std::string, std::size_t> numbers = {{"one", 1},  {"two", 2},  {"three", 3},  {"four", 4},
                                                        {"five", 5}, {"six", 6},  {"seven", 7},  {"eight", 8},
                                                        {"nine", 9}, {"ten", 10}, {"eleven", 11}};
    const std::map<std::string, pid_t> workers = {{"10", worker10}, {"2", worker2}};
    // Each phrase: where in its match the count is, and where the worker's number.
    const struct {
        std::regex phrase;
        int count, worker;
    } phrases[] = {{std::regex(R"(\b(\w+) for\s+worker\s+(\d+))"), 1, 2},
                   {std::regex(R"([Ww]orker\s+(\d+)\s+(?:ends\s+)?(\w+)\s+seconds\s+in)"), 2, 1}};
    std::size_t counts = 0;
    for (const auto &p : phrases) {
        for (auto it = std::sregex_iterator(words.begin(), words.end(), p.phrase); it != std::sregex_iterator(); ++it) {
            const auto worker = workers.find((*it)[p.worker]);
            ASSERT_NE(worker, workers.end()) << it->str();
            const std::string count = (*it)[p.count];
            EXPECT_EQ(numbers.count(count) != 0 ? numbers.at(count) : 0, sleeps_asked(t.calls, worker->second).size())
                << "the page says \"" << it->str() << "\"";
            counts++;
        }
    }
    EXPECT_GE(counts, 4U) << "the page's counts of sleeps and seconds were not found";
}

// On a terminal each line is a write of its own, made by the thread that printed it.
TEST(QuadrelKernel, WritesEachLineFromItsThreadOnATerminal)
{
    REQUIRE_NO_THREADS_OF_THE_BUILD();
    const std::string command = doc_command(kKernelPage, "strace ", "trace=write ");
    Trace t = trace_command(command, {.output = Output::terminal, .env = kNoExitChecks});
    REQUIRE_TRACE(t);
    EXPECT_THAT(t.run.status, ExitedWith(0)) << command << "\n" << t.run.err;

    std::vector<pid_t> writers;
    for (const Syscall &call : t.calls) {
        if (call.name == "write" && call.text.rfind("(1, ", 0) == 0) {
            writers.push_back(call.tid);
        }
    }
    ASSERT_EQ(writers.size(), 16U);
    std::sort(writers.begin(), writers.end());
    EXPECT_EQ(std::unique(writers.begin(), writers.end()) - writers.begin(), 3) << "three threads write";
    EXPECT_FIGURES_OF_THE_RUN(shown_after(kKernelPage, command), t.calls);
}

// The README's timeline: every bar on the second on which a traced run's line, or
// a thread's end, fell due.
TEST(QuadrelReadme, TimelineBarsFallOnTheSecondsOfARun)
{
    REQUIRE_NO_THREADS_OF_THE_BUILD();
    Trace t = trace_command(
        "strace -f -tt -e trace=clone,clone3,clock_nanosleep,exit,exit_group,write -o trace.txt build/default/quadrel",
        {.output = Output::terminal, .env = kNoExitChecks});
    REQUIRE_TRACE(t);
    EXPECT_THAT(t.run.status, ExitedWith(0)) << t.run.err;
    expect_timeline_of_the_run(gantt_bars(SOURCE_DIR "/README.md", "quadrel, second by second"), t.calls,
                               {{"main", "main fn"}, {"worker 10", "Thread 10 "}, {"worker 2", "Thread 2 "}}, true);
}

} // namespace
