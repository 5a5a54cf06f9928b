// quadrel as its users meet it: on a terminal, through a pipe, into a file, with
// calls made to fail, and under valgrind.
#include "spawn.hpp"

#include <sys/wait.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

const std::string kWork10 = "Thread 10 doing some work";
const std::string kWork2 = "Thread 2 doing some work";
const std::string kJoin2 = "main fn blocked on pthread join for thread with th_id = 2";
const std::string kResult2 = "Return result from thread 2 = 100";
const std::string kJoin3 = "main fn blocked on pthread join for thread with th_id = 3";
const std::string kResult3 = "Return result from thread 3 = 4";

constexpr double kSlack = 0.35;  // seconds a loaded 2-core machine may add to a line
constexpr double kStartup = 1.0; // seconds a sanitizer build may take to start when loaded

std::vector<std::string> sorted(std::vector<std::string> lines)
{
    std::sort(lines.begin(), lines.end());
    return lines;
}

std::vector<std::string> slice(const std::vector<std::string> &lines, std::size_t from, std::size_t to)
{
    return {lines.begin() + static_cast<long>(std::min(from, lines.size())),
            lines.begin() + static_cast<long>(std::min(to, lines.size()))};
}

// The 16 lines of a whole run, in the order they are written: the two workers'
// first lines and the first join message in the first moment (in any order), the
// workers' second lines a second later, eight more of worker 10, and the fixed
// three at the end.
void expect_whole_run(const std::vector<std::string> &lines)
{
    ASSERT_EQ(lines.size(), 16U) << testing::PrintToString(lines);
    EXPECT_EQ(sorted(slice(lines, 0, 3)), sorted({kWork10, kWork2, kJoin2}));
    EXPECT_EQ(sorted(slice(lines, 3, 5)), sorted({kWork10, kWork2}));
    EXPECT_EQ(slice(lines, 5, 13), std::vector<std::string>(8, kWork10));
    EXPECT_EQ(slice(lines, 13, 16), (std::vector<std::string>{kResult2, kJoin3, kResult3}));
}

// argv run under valgrind memcheck, which fails the run (status 99) on an invalid
// access or on a leak of the given kinds.
std::vector<std::string> under_valgrind(std::vector<std::string> argv, const std::string &leak_kinds)
{
    argv.insert(argv.begin(), {VALGRIND, "-q", "--error-exitcode=99", "--leak-check=full",
                               "--show-leak-kinds=" + leak_kinds, "--errors-for-leak-kinds=" + leak_kinds});
    return argv;
}

void expect_exit_status(int status, int code)
{
    ASSERT_TRUE(WIFEXITED(status)) << "wait status " << status;
    EXPECT_EQ(WEXITSTATUS(status), code);
}

// ---- a whole run ----------------------------------------------------------------

struct WholeRun {
    const char *name;
    Output output;
    std::vector<std::string> args;
};

class QuadrelRun : public testing::TestWithParam<WholeRun> {};

TEST_P(QuadrelRun, WritesSixteenLinesOnTheirSecondsAndEndsWithZero)
{
    const WholeRun &c = GetParam();
    Spawn spawn{.argv = {QUADREL}, .output = c.output};
    spawn.argv.insert(spawn.argv.end(), c.args.begin(), c.args.end());
    Recording r = record(spawn);

    expect_exit_status(r.status, 0);
    EXPECT_EQ(r.err, "");
    expect_whole_run(r.texts());
    ASSERT_EQ(r.lines.size(), 16U);

    if (c.output == Output::terminal) {
        // Line-buffered: each line shows as it is written, timed from the first.
        const double start = r.lines.front().at;
        EXPECT_LT(start, kStartup);
        int work10 = 0;
        int work2 = 0;
        for (const Line &line : r.lines) {
            const double at = line.at - start;
            if (line.text == kWork10) {
                EXPECT_NEAR(at, work10++, kSlack) << "line " << work10 << " of worker 10";
            } else if (line.text == kWork2) {
                EXPECT_NEAR(at, work2++, kSlack) << "line " << work2 << " of worker 2";
            } else if (line.text == kJoin2) {
                EXPECT_LT(at, kSlack);
            } else { // the closing three: when worker 10 ends, about ten seconds in
                EXPECT_NEAR(at, 10, kSlack) << line.text;
            }
        }
    } else {
        // Block-buffered: everything arrives together when the process ends.
        EXPECT_GT(r.lines.front().at, 10 - kSlack);
        EXPECT_LT(r.lines.front().at, 10 + kStartup);
        EXPECT_NEAR(r.lines.back().at, r.lines.front().at, 0.1);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Outputs, QuadrelRun,
    testing::Values(WholeRun{"Terminal", Output::terminal, {}},
                    WholeRun{"TerminalWithArguments", Output::terminal, {"-h", "--version", "3", ""}},
                    WholeRun{"Pipe", Output::pipe, {}}, WholeRun{"PipeWithArguments", Output::pipe, {"x", "-n", "99"}},
                    WholeRun{"File", Output::file, {}}),
    [](const testing::TestParamInfo<WholeRun> &info) { return info.param.name; });

TEST(Quadrel, FreesEveryBlockUnderValgrind)
{
    if (std::string(VALGRIND).empty()) {
        GTEST_SKIP() << "valgrind is not installed, or this is a sanitizer build";
    }
    Recording r = record({.argv = under_valgrind({QUADREL}, "all")});
    expect_exit_status(r.status, 0);
    EXPECT_EQ(r.err, "");
    expect_whole_run(r.texts());
}

TEST(Quadrel, FailsWhenStandardOutputCannotBeWritten)
{
    Recording r = record({.argv = {QUADREL}, .output = Output::file, .file = "/dev/full"});
    expect_exit_status(r.status, 1);
    EXPECT_EQ(r.err, "quadrel: standard output: No space left on device\n");
}

// ---- failures -------------------------------------------------------------------

struct Fault {
    const char *name;
    const char *inject;           // FAULT_INJECT for the test build
    std::string err;              // all of standard error
    std::vector<std::string> out; // standard output but worker 10's lines, in any order
    std::string last;             // the last of those
    int work10;                   // lines of worker 10, or -1 when the process ends while it runs
    bool unjoined = false;        // a worker ends and is never joined: its result cannot be freed
};

class QuadrelFault : public testing::TestWithParam<std::tuple<Fault, bool>> {};

// A failure is reported on standard error and in the exit status; the rest of the
// program goes on as far as it can, and no block is lost or freed twice.
TEST_P(QuadrelFault, IsReportedAndTheRestCarriesOn)
{
    const auto &[c, with_valgrind] = GetParam();
    Spawn spawn{.argv = {QUADREL_FAULTY, "ignored"}, .output = Output::pipe};
    spawn.env = {std::string("FAULT_INJECT=") + c.inject};
    if (c.unjoined) { // the sanitizers would rightly say so; valgrind sees it as reachable
        spawn.env.insert(spawn.env.end(), {"ASAN_OPTIONS=detect_leaks=0", "TSAN_OPTIONS=report_thread_leaks=0"});
    }
    if (with_valgrind) {
        if (std::string(VALGRIND).empty()) {
            GTEST_SKIP() << "valgrind is not installed, or this is a sanitizer build";
        }
        // A thread left unjoined keeps the thread system's own blocks ("possibly
        // lost"); a block of the program's that is lost is lost for certain.
        spawn.argv = under_valgrind(spawn.argv, "definite,indirect");
    }
    Recording r = record(spawn);

    expect_exit_status(r.status, 1);
    EXPECT_EQ(r.err, c.err);
    std::vector<std::string> out = r.texts();
    auto work10 = std::count(out.begin(), out.end(), kWork10);
    out.erase(std::remove(out.begin(), out.end(), kWork10), out.end());
    EXPECT_EQ(out.empty() ? "" : out.back(), c.last);
    EXPECT_EQ(sorted(out), sorted(c.out));
    if (c.work10 >= 0) {
        EXPECT_EQ(work10, c.work10);
    }
}

const std::string kCreateFailed = "quadrel: pthread_create: Resource temporarily unavailable\n";
const std::string kNoMemory = "quadrel: calloc: Cannot allocate memory\n";
const std::string kJoinFailed = "quadrel: pthread_join: Resource deadlock avoided\n";

// Worker 10 is created first and joined first; worker 2 second. calloc is called
// for worker 10's argument, worker 2's argument, worker 2's result, worker 10's result.
const Fault kFaults[] = {
    {"Worker10NotCreated", "pthread_create:1", kCreateFailed, {kWork2, kWork2, kJoin3, kResult3}, kResult3, 0},
    {"Worker2NotCreated", "pthread_create:2", kCreateFailed, {kJoin2, kResult2}, kResult2, 10},
    {"Worker10ArgumentNotAllocated", "calloc:1", kNoMemory, {kWork2, kWork2, kJoin3, kResult3}, kResult3, 0},
    {"Worker2ArgumentNotAllocated", "calloc:2", kNoMemory, {kJoin2, kResult2}, kResult2, 10},
    {"Worker2ResultNotAllocated", "calloc:3", kNoMemory, {kWork2, kWork2, kJoin2, kResult2, kJoin3}, kJoin3, 10},
    {"Worker10ResultNotAllocated", "calloc:4", kNoMemory, {kWork2, kWork2, kJoin2, kJoin3, kResult3}, kResult3, 10},
    {"Worker10AttributesNotInitialised",
     "pthread_attr_init:1",
     "quadrel: pthread_attr_init: Cannot allocate memory\n",
     {kWork2, kWork2, kJoin3, kResult3},
     kResult3,
     0},
    {"Worker2DetachStateNotSet",
     "pthread_attr_setdetachstate:2",
     "quadrel: pthread_attr_setdetachstate: Invalid argument\n",
     {kJoin2, kResult2},
     kResult2,
     10},
    {"Worker10NotJoined", "pthread_join:1", kJoinFailed, {kWork2, kWork2, kJoin2, kJoin3, kResult3}, kResult3, -1},
    {"Worker2NotJoined", "pthread_join:2", kJoinFailed, {kWork2, kWork2, kJoin2, kResult2, kJoin3}, kJoin3, 10, true},
    {"BothNotCreated", "pthread_create:1,pthread_create:2", kCreateFailed + kCreateFailed, {}, "", 0},
};

INSTANTIATE_TEST_SUITE_P(Injected, QuadrelFault, testing::Combine(testing::ValuesIn(kFaults), testing::Bool()),
                         [](const testing::TestParamInfo<std::tuple<Fault, bool>> &info) {
                             return std::string(std::get<0>(info.param).name) +
                                    (std::get<1>(info.param) ? "UnderValgrind" : "");
                         });

} // namespace
