// pellit as its users meet it: it runs until it is stopped, so every run is
// stopped once it has written enough lines to judge.
#include "spawn.hpp"
#include "timing.hpp"
#include "trace.hpp"

#include <sys/wait.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

const std::string kPaused = "The execution of main function( or main thread ) is paused";
const std::string kInput = "Input is : I am thread 1, child thread of main thread";
const std::string kNotCreated = "Error occured, thread could not be created, errno = 11";

const bool kThreadSanitizer = std::string(SANITIZE).find("thread") != std::string::npos;

// main's line and six of the worker's: five gaps to judge the worker's rhythm by.
constexpr std::size_t kLines = 7;

struct Stop {
    const char *name;
    Output output;
    int signal;
    std::vector<std::string> args;
};

class PellitRun : public testing::TestWithParam<Stop> {};

// main's line and the worker's first in the first moment, then a worker line each
// second while main's thread is gone, until a signal ends the process.
TEST_P(PellitRun, WritesALineASecondUntilStopped)
{
    const Stop &c = GetParam();
    char main_thread = '?';
    Spawn spawn{.argv = {PELLIT},
                .output = c.output,
                .stop_after_lines = kLines,
                .stop_signal = c.signal,
                .before_stop = [&main_thread](pid_t pid) { main_thread = thread_state(pid, pid); }};
    spawn.argv.insert(spawn.argv.end(), c.args.begin(), c.args.end());
    Recording r = record(spawn);

    EXPECT_EQ(main_thread, 'Z') << "the main thread should have ended, the process running on";
    ASSERT_TRUE(WIFSIGNALED(r.status)) << "wait status " << r.status;
    EXPECT_EQ(WTERMSIG(r.status), c.signal);
    EXPECT_EQ(r.err, "");

    // main's line once, among the first two; every other line the worker's.
    std::vector<std::string> out = r.texts();
    ASSERT_GE(out.size(), kLines) << testing::PrintToString(out);
    std::vector<std::string> first{out[0], out[1]};
    std::sort(first.begin(), first.end());
    EXPECT_EQ(first, (std::vector<std::string>{kInput, kPaused}));
    EXPECT_EQ(std::count(out.begin(), out.end(), kPaused), 1);
    EXPECT_EQ(std::count(out.begin(), out.end(), kInput), out.size() - 1);

    // No worker line before its second, and a line a second: none held back, none lost.
    const std::vector<double> input = r.times_of(kInput);
    for (std::size_t i = 0; i < input.size(); i++) {
        EXPECT_GE(input[i], static_cast<double>(i)) << "worker line " << i + 1 << " came early";
    }
    EXPECT_NEAR(median_gap(input), 1, kBeatSlack) << "the worker should write a line a second";
    EXPECT_NEAR(r.times_of(kPaused).at(0), input.at(0), kTogether) << "main's line and the worker's first";
}

INSTANTIATE_TEST_SUITE_P(Outputs, PellitRun,
                         testing::Values(Stop{"TerminalInterrupted", Output::terminal, SIGINT, {}},
                                         Stop{"TerminalWithArguments", Output::terminal, SIGTERM, {"-x", "%s%n"}},
                                         Stop{"PipeKilled", Output::pipe, SIGKILL, {}},
                                         Stop{"PipeWithArguments", Output::pipe, SIGINT, {"1", "--help"}},
                                         Stop{"FileKilled", Output::file, SIGKILL, {}}),
                         [](const testing::TestParamInfo<Stop> &info) { return info.param.name; });

// ---- what the kernel sees --------------------------------------------------------

// pthread_create is a clone of a thread in the same process; pthread_exit in main
// ends the main thread with exit, not the process with exit_group, and the worker
// goes on writing after it.
TEST(Pellit, EndsOnlyItsMainThreadAsTheKernelSeesIt)
{
    if (kThreadSanitizer) {
        GTEST_SKIP() << "ThreadSanitizer starts a thread of its own";
    }
    // SIGKILL ends strace and pellit at once; strace has written each call as it came.
    Trace t = trace({.argv = {PELLIT}, .stop_after_lines = 4});
    if (!t.skipped.empty()) {
        GTEST_SKIP() << t.skipped;
    }

    auto creation = std::find_if(t.calls.begin(), t.calls.end(),
                                 [](const Syscall &call) { return call.name == "clone" || call.name == "clone3"; });
    ASSERT_NE(creation, t.calls.end());
    EXPECT_NE(creation->text.find("CLONE_THREAD"), std::string::npos) << creation->text;
    const pid_t main_thread = creation->tid;
    const auto worker = static_cast<pid_t>(creation->result());
    auto main_exit = std::find_if(t.calls.begin(), t.calls.end(), [main_thread](const Syscall &call) {
        return call.tid == main_thread && (call.name == "exit" || call.name == "exit_group");
    });
    ASSERT_NE(main_exit, t.calls.end()) << "the main thread should end";
    EXPECT_EQ(main_exit->name, "exit") << "the main thread alone should end, not the process";
    EXPECT_TRUE(std::any_of(main_exit, t.calls.end(), [worker](const Syscall &call) {
        return call.tid == worker && call.name == "write";
    })) << "the worker should write after the main thread has ended";
}

// ---- failures -------------------------------------------------------------------

struct Fault {
    const char *name;
    const char *inject = "";        // FAULT_INJECT for the test build; empty runs the real program
    std::vector<std::string> env{}; // more of the environment
    std::vector<Limit> limits{};    // resource limits under which the program runs
    std::string out;                // all of standard output
    std::string err;                // all of standard error
    int status = 1;                 // the exit status
};

class PellitFault : public testing::TestWithParam<Fault> {};

// pellit either runs for good or ends before its worker writes, saying why.
TEST_P(PellitFault, EndsTheProcessAndSaysWhy)
{
    const Fault &c = GetParam();
    const bool injected = !std::string(c.inject).empty();
    Spawn spawn{.argv = {injected ? PELLIT_FAULTY : PELLIT}, .env = c.env, .limits = c.limits};
    if (injected) {
        spawn.env.push_back(std::string("FAULT_INJECT=") + c.inject);
    }
    if (!c.limits.empty() && kThreadSanitizer) {
        GTEST_SKIP() << "ThreadSanitizer cannot start under these limits";
    }
    Recording r = record(spawn);

    ASSERT_TRUE(WIFEXITED(r.status)) << "wait status " << r.status;
    EXPECT_EQ(WEXITSTATUS(r.status), c.status);
    std::string out;
    for (const std::string &line : r.texts()) {
        out += line + "\n";
    }
    EXPECT_EQ(out, c.out);
    EXPECT_EQ(r.err, c.err);
}

INSTANTIATE_TEST_SUITE_P(
    Injected, PellitFault,
    testing::Values(
        Fault{.name = "ThreadNotCreated", .inject = "pthread_create:1", .out = kNotCreated + "\n", .err = ""},
        Fault{.name = "LineBufferingRefused",
              .inject = "setvbuf:1",
              .out = "",
              .err = "pellit: cannot make standard output line-buffered\n"},
        // Not injected: the real pthread_create fails for want of room for a stack.
        Fault{.name = "NoRoomForAnyStack",
              .limits = {{RLIMIT_STACK, rlim_t{200} << 40}},
              .out = kNotCreated + "\n",
              .err = ""},
        // The unwinder that pthread_exit needs cannot be loaded: the loader stops the
        // program before it starts, where glibc would abort it once it runs.
        Fault{.name = "UnwinderUnloadable",
              .env = {"LD_LIBRARY_PATH=" BROKEN_LIBRARIES},
              .out = "",
              .err = std::string(PELLIT) + ": error while loading shared libraries: " BROKEN_LIBRARIES
                                           "/libgcc_s.so.1: file too short\n",
              .status = 127}),
    [](const testing::TestParamInfo<Fault> &info) { return info.param.name; });

// However little address space pellit has, it never starts, or says that it cannot
// create its worker, or runs for good: it never dies once it has written a line.
// The sweep goes up from too little until pellit has run five times in a row.
TEST(Pellit, NeverDiesForWantOfAddressSpace)
{
    if (!std::string(SANITIZE).empty()) {
        GTEST_SKIP() << "a sanitizer needs far more address space than this";
    }
    constexpr rlim_t kStack = rlim_t{8} << 20; // the usual limit, which sets a new thread's stack size
    int refused = 0;
    int ran = 0;
    for (rlim_t kib = 6000; kib <= 20000 && ran < 5; kib += 50) {
        SCOPED_TRACE("address space limited to " + std::to_string(kib) + " KiB");
        Recording r = record(
            {.argv = {PELLIT}, .limits = {{RLIMIT_AS, kib << 10}, {RLIMIT_STACK, kStack}}, .stop_after_lines = 3});
        if (WIFSIGNALED(r.status) && WTERMSIG(r.status) == SIGKILL && r.lines.size() >= 3) {
            ran++;
            continue;
        }
        ran = 0;
        ASSERT_TRUE(WIFEXITED(r.status)) << "wait status " << r.status << ", stderr: " << r.err;
        if (WEXITSTATUS(r.status) == 127) { // the loader could not map it: it never started
            ASSERT_EQ(r.lines.size(), 0U);
        } else {
            ASSERT_EQ(WEXITSTATUS(r.status), 1);
            ASSERT_EQ(r.texts(), std::vector<std::string>{kNotCreated});
            refused++;
        }
    }
    EXPECT_GT(refused, 0) << "the sweep should start where the worker cannot be created";
    EXPECT_EQ(ran, 5) << "the sweep should end where pellit runs";
}

} // namespace
