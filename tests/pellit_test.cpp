// pellit as its users meet it: it runs until it is stopped, so every case stops it.
#include "spawn.hpp"

#include <sys/wait.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

const std::string kPaused = "The execution of main function( or main thread ) is paused";
const std::string kInput = "Input is : I am thread 1, child thread of main thread";

constexpr double kSlack = 0.35;  // seconds a loaded 2-core machine may add to a line
constexpr double kStartup = 1.0; // seconds a sanitizer build may take to start when loaded
constexpr double kStopAfter = 3.5;

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
    Spawn spawn{.argv = {PELLIT}, .output = c.output};
    spawn.argv.insert(spawn.argv.end(), c.args.begin(), c.args.end());
    spawn.stop_after = kStopAfter;
    spawn.stop_signal = c.signal;
    char main_thread = '?';
    spawn.before_stop = [&main_thread](pid_t pid) { main_thread = thread_state(pid, pid); };
    Recording r = record(spawn);

    EXPECT_EQ(main_thread, 'Z') << "the main thread should have ended, the process running on";
    ASSERT_TRUE(WIFSIGNALED(r.status)) << "wait status " << r.status;
    EXPECT_EQ(WTERMSIG(r.status), c.signal);
    EXPECT_EQ(r.err, "");

    // main's line and the worker's first in the first moment, in either order, then
    // a worker line each second: none held back, none lost.
    std::vector<std::string> out = r.texts();
    ASSERT_GE(out.size(), 4U) << testing::PrintToString(out);
    std::vector<std::string> first{out[0], out[1]};
    std::sort(first.begin(), first.end());
    EXPECT_EQ(first, (std::vector<std::string>{kInput, kPaused}));
    EXPECT_EQ(std::count(out.begin(), out.end(), kPaused), 1);

    const double start = r.lines.front().at;
    EXPECT_LT(start, kStartup);
    int second = 0;
    for (const Line &line : r.lines) {
        if (line.text == kPaused) {
            EXPECT_LT(line.at - start, kSlack);
        } else {
            EXPECT_EQ(line.text, kInput);
            EXPECT_NEAR(line.at - start, second++, kSlack) << "worker line " << second;
        }
    }
    EXPECT_GE(second, 3); // stopped 3.5 s after the start
}

INSTANTIATE_TEST_SUITE_P(Outputs, PellitRun,
                         testing::Values(Stop{"TerminalInterrupted", Output::terminal, SIGINT, {}},
                                         Stop{"TerminalWithArguments", Output::terminal, SIGTERM, {"-x", "%s%n"}},
                                         Stop{"PipeKilled", Output::pipe, SIGKILL, {}},
                                         Stop{"PipeWithArguments", Output::pipe, SIGINT, {"1", "--help"}},
                                         Stop{"FileKilled", Output::file, SIGKILL, {}}),
                         [](const testing::TestParamInfo<Stop> &info) { return info.param.name; });

struct Fault {
    const char *name;
    const char *inject; // FAULT_INJECT for the test build
    std::string out;    // all of standard output
    std::string err;    // all of standard error
};

class PellitFault : public testing::TestWithParam<Fault> {};

TEST_P(PellitFault, EndsTheProcessWithStatusOne)
{
    const Fault &c = GetParam();
    Spawn spawn{.argv = {PELLIT_FAULTY}, .output = Output::pipe};
    spawn.env = {std::string("FAULT_INJECT=") + c.inject};
    Recording r = record(spawn);

    ASSERT_TRUE(WIFEXITED(r.status)) << "wait status " << r.status;
    EXPECT_EQ(WEXITSTATUS(r.status), 1);
    std::string out;
    for (const std::string &line : r.texts()) {
        out += line + "\n";
    }
    EXPECT_EQ(out, c.out);
    EXPECT_EQ(r.err, c.err);
}

INSTANTIATE_TEST_SUITE_P(Injected, PellitFault,
                         testing::Values(Fault{"ThreadNotCreated", "pthread_create:1",
                                               "Error occured, thread could not be created, errno = 11\n", ""},
                                         Fault{"LineBufferingRefused", "setvbuf:1", "",
                                               "pellit: cannot make standard output line-buffered\n"}),
                         [](const testing::TestParamInfo<Fault> &info) { return info.param.name; });

} // namespace
