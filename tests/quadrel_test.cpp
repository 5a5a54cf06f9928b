// quadrel as its users meet it: on a terminal, through a pipe, into a file, with
// standard output that fails, with calls made to fail, under valgrind and under
// strace.
#include "build.hpp"
#include "lines.hpp"
#include "rows.hpp"
#include "spawn.hpp"
#include "status.hpp"
#include "timing.hpp"
#include "valgrind.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using testing::ElementsAreArray;
using testing::UnorderedElementsAreArray;

std::vector<std::string> whole_run()
{
    std::vector<std::string> lines(10, kWork10);
    lines.insert(lines.end(), {kWork2, kWork2, kJoin2, kResult2, kJoin3, kResult3});
    return lines;
}

// The index of the last line with this text, or -1.
long last_of(const std::vector<std::string> &lines, const std::string &text)
{
    auto found = std::find(lines.rbegin(), lines.rend(), text);
    return found == lines.rend() ? -1 : static_cast<long>(lines.rend() - found) - 1;
}

// What the program orders, whatever else fails: main writes its lines in the
// order join 2, result 2, join 3, result 3 (some may be missing), and a result
// comes only after every line of the worker that it is the result of.
void expect_ordered(const std::vector<std::string> &lines)
{
    const std::vector<std::string> main_order = {kJoin2, kResult2, kJoin3, kResult3};
    std::vector<std::string> mains;
    std::copy_if(lines.begin(), lines.end(), std::back_inserter(mains), [&](const std::string &line) {
        return std::find(main_order.begin(), main_order.end(), line) != main_order.end();
    });
    std::vector<std::string> expected;
    std::copy_if(main_order.begin(), main_order.end(), std::back_inserter(expected),
                 [&](const std::string &line) { return std::find(mains.begin(), mains.end(), line) != mains.end(); });
    EXPECT_THAT(mains, ElementsAreArray(expected)) << "main's lines out of order";
    if (last_of(lines, kResult2) >= 0) {
        EXPECT_GT(last_of(lines, kResult2), last_of(lines, kWork10)) << "result 2 before worker 10 ended";
    }
    if (last_of(lines, kResult3) >= 0) {
        EXPECT_GT(last_of(lines, kResult3), last_of(lines, kWork2)) << "result 3 before worker 2 ended";
    }
}

// Line-buffered: each line shows as it is written. No line comes before its
// second; the first line of each worker and the first join message come in the
// first moment, the workers' second lines together a second later; the closing
// three no earlier than ten seconds in, with worker 10's end.
void expect_line_by_line(const Recording &r)
{
    const std::vector<double> work10 = r.times_of(kWork10);
    const std::vector<double> work2 = r.times_of(kWork2);
    ASSERT_EQ(work10.size(), 10U);
    ASSERT_EQ(work2.size(), 2U);
    EXPECT_TRUE(a_line_a_second(work10)) << "worker 10";
    EXPECT_TRUE(a_line_a_second(work2)) << "worker 2";
    EXPECT_TRUE(together({work10[0], work2[0], r.times_of(kJoin2).at(0)})) << "the first moment";
    EXPECT_TRUE(together({work10[1], work2[1]})) << "the workers' second lines";
    for (const std::string &text : {kResult2, kJoin3, kResult3}) {
        const double at = r.times_of(text).at(0);
        EXPECT_GE(at, 10) << text << " came before worker 10 can have ended";
        EXPECT_LE(at, work10.back() + 1 + kLate) << text << " came long after worker 10's end";
    }
}

// Block-buffered: everything arrives together when the process ends.
void expect_all_at_the_end(const Recording &r)
{
    EXPECT_GE(r.lines.front().at, 10) << "a line arrived before worker 10 can have ended";
    std::vector<double> times;
    for (const Line &line : r.lines) {
        times.push_back(line.at);
    }
    EXPECT_TRUE(together(times)) << "the lines should arrive together";
}

// ---- a whole run ----------------------------------------------------------------

class QuadrelRun : public testing::TestWithParam<WholeRun> {};

TEST_P(QuadrelRun, WritesSixteenLinesOnTheirSecondsAndEndsWithZero)
{
    const WholeRun &c = GetParam();
    Spawn spawn{.argv = {PROGRAM}, .output = c.output};
    spawn.argv.insert(spawn.argv.end(), c.args.begin(), c.args.end());
    Recording r = record(spawn);

    EXPECT_THAT(r.status, ExitedWith(0));
    EXPECT_EQ(r.err, "");
    ASSERT_THAT(r.texts(), UnorderedElementsAreArray(whole_run()));
    expect_ordered(r.texts());
    if (c.output == Output::terminal) {
        expect_line_by_line(r);
    } else {
        expect_all_at_the_end(r);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Outputs, QuadrelRun,
    testing::Values(
        WholeRun{.name = "Terminal", .output = Output::terminal},
        WholeRun{.name = "TerminalWithArguments", .output = Output::terminal, .args = {"-h", "--version", "3", ""}},
        WholeRun{.name = "Pipe", .output = Output::pipe},
        WholeRun{.name = "PipeWithArguments", .output = Output::pipe, .args = {"x", "-n", "99"}},
        WholeRun{.name = "File", .output = Output::file}),
    testing::PrintToStringParamName());

// ---- under valgrind ---------------------------------------------------------------

struct Tool {
    const char *name;
    std::vector<std::string> argv; // the tool's command; the program follows
};
PRINTS_AS_ITS_NAME(Tool)

class QuadrelUnderValgrind : public testing::TestWithParam<Tool> {};

// memcheck: no block lost, none freed twice, no invalid access. helgrind: no
// data race, no misuse of the threads interface. Either writes to standard error
// only what it finds. (DRD is left out: it reports the C library's standard output
// buffer, which a lock it does not model protects.) The run's seconds are short:
// what the tools judge does not depend on how long the sleeps last.
TEST_P(QuadrelUnderValgrind, ReportsNothingOnAWholeRun)
{
    REQUIRE_VALGRIND();
    std::vector<std::string> argv = GetParam().argv;
    argv.emplace_back(PROGRAM);
    Recording r = record({.argv = argv, .env = kFastSleep});

    EXPECT_THAT(r.status, ExitedWith(0));
    EXPECT_EQ(r.err, "");
    EXPECT_THAT(r.texts(), UnorderedElementsAreArray(whole_run()));
}

INSTANTIATE_TEST_SUITE_P(Tools, QuadrelUnderValgrind,
                         testing::Values(Tool{.name = "Memcheck", .argv = under_memcheck("all", {})},
                                         Tool{.name = "Helgrind",
                                              .argv = under_valgrind({"--tool=helgrind", "-q"}, {})}),
                         testing::PrintToStringParamName());

// ---- standard output that fails ---------------------------------------------------

struct Refusal {
    const char *name;
    Spawn spawn;     // where standard output goes; the program is filled in
    std::string err; // all of standard error
    int signal = 0;  // the signal that ends it, if one does; else it ends with status 1
};
PRINTS_AS_ITS_NAME(Refusal)

constexpr rlim_t kFileLimit = 100; // bytes; a whole run writes 492

const Refusal kRefusals[] = {
    {.name = "Closed", .spawn = {.output = Output::closed}, .err = "quadrel: standard output: Bad file descriptor\n"},
    {.name = "OpenForReadingOnly",
     .spawn = {.output = Output::read_only},
     .err = "quadrel: standard output: Bad file descriptor\n"},
    {.name = "DeviceFull",
     .spawn = {.output = Output::file, .file = "/dev/full"},
     .err = "quadrel: standard output: No space left on device\n"},
    {.name = "ReaderGoneSigpipeIgnored",
     .spawn = {.output = Output::widowed_pipe, .ignored_signals = {SIGPIPE}},
     .err = "quadrel: standard output: Broken pipe\n"},
    {.name = "FileTooLargeSigxfszIgnored",
     .spawn = {.output = Output::file, .ignored_signals = {SIGXFSZ}, .limits = {{RLIMIT_FSIZE, kFileLimit}}},
     .err = "quadrel: standard output: File too large\n"},
    // On a terminal each line is written as it comes, and the writes that fail
    // leave nothing for the last flush: only the stream's error flag tells.
    {.name = "TerminalHungUpSighupIgnored",
     .spawn = {.output = Output::terminal, .ignored_signals = {SIGHUP}, .hang_up_after = 1.5},
     .err = "quadrel: standard output: write error\n"},
    // Unless the terminal's SIGHUP ends it first, as it does by default.
    {.name = "TerminalHungUp",
     .spawn = {.output = Output::terminal, .hang_up_after = 1.5},
     .err = "",
     .signal = SIGHUP},
};

class QuadrelOutputRefused : public testing::TestWithParam<Refusal> {};

// A failed write is reported on standard error and in the exit status, never lost.
TEST_P(QuadrelOutputRefused, IsReportedWithStatusOne)
{
    const Refusal &c = GetParam();
    Spawn spawn = c.spawn;
    spawn.argv = {PROGRAM};
    Recording r = record(spawn);

    if (c.signal != 0) {
        EXPECT_THAT(r.status, KilledBy(c.signal));
    } else {
        EXPECT_THAT(r.status, ExitedWith(1));
    }
    EXPECT_EQ(r.err, c.err);
}

INSTANTIATE_TEST_SUITE_P(Outputs, QuadrelOutputRefused, testing::ValuesIn(kRefusals),
                         testing::PrintToStringParamName());

// ---- failures -------------------------------------------------------------------

const std::string kCreateFailed = "quadrel: pthread_create: Resource temporarily unavailable\n";
const std::string kNoMemory = "quadrel: calloc: Cannot allocate memory\n";
const std::string kJoinFailed = "quadrel: pthread_join: Resource deadlock avoided\n";

// Worker 10 is created first and joined first; worker 2 second. calloc is called
// for worker 10's argument, worker 2's argument, worker 2's result, worker 10's result.
const std::vector<std::string> kOnlyWorker2 = {kWork2, kWork2, kJoin3, kResult3};
std::vector<std::string> only_worker10()
{
    std::vector<std::string> lines(10, kWork10);
    lines.insert(lines.end(), {kJoin2, kResult2});
    return lines;
}
std::vector<std::string> all_but(const std::string &missing)
{
    std::vector<std::string> lines = whole_run();
    lines.erase(std::find(lines.begin(), lines.end(), missing));
    return lines;
}

const Fault kInjected[] = {
    {.name = "Worker10NotCreated",
     .inject = "pthread_create:1",
     .out = kOnlyWorker2,
     .last = kResult3,
     .err = kCreateFailed},
    {.name = "Worker2NotCreated",
     .inject = "pthread_create:2",
     .out = only_worker10(),
     .last = kResult2,
     .err = kCreateFailed},
    {.name = "Worker10ArgumentNotAllocated",
     .inject = "calloc:1",
     .out = kOnlyWorker2,
     .last = kResult3,
     .err = kNoMemory},
    {.name = "Worker2ArgumentNotAllocated",
     .inject = "calloc:2",
     .out = only_worker10(),
     .last = kResult2,
     .err = kNoMemory},
    {.name = "Worker2ResultNotAllocated",
     .inject = "calloc:3",
     .out = all_but(kResult3),
     .last = kJoin3,
     .err = kNoMemory,
     .timed = true},
    {.name = "Worker10ResultNotAllocated",
     .inject = "calloc:4",
     .out = all_but(kResult2),
     .last = kResult3,
     .err = kNoMemory,
     .timed = true},
    {.name = "Worker10AttributesNotInitialised",
     .inject = "pthread_attr_init:1",
     .out = kOnlyWorker2,
     .last = kResult3,
     .err = "quadrel: pthread_attr_init: Cannot allocate memory\n"},
    {.name = "Worker2DetachStateNotSet",
     .inject = "pthread_attr_setdetachstate:2",
     .out = only_worker10(),
     .last = kResult2,
     .err = "quadrel: pthread_attr_setdetachstate: Invalid argument\n"},
    // The join fails at once: main goes on and returns while worker 10 still runs.
    {.name = "Worker10NotJoined",
     .inject = "pthread_join:1",
     .out = {kWork2, kWork2, kJoin2, kJoin3, kResult3},
     .last = kResult3,
     .uncounted = kWork10,
     .err = kJoinFailed},
    // Worker 2 ends and is never joined: its result cannot be freed, as the
    // sanitizers would rightly say; valgrind sees it as still reachable.
    {.name = "Worker2NotJoined",
     .inject = "pthread_join:2",
     .env = kNoExitChecks,
     .out = all_but(kResult3),
     .last = kJoin3,
     .err = kJoinFailed},
    {.name = "BothNotCreated", .inject = "pthread_create:1,pthread_create:2", .err = kCreateFailed + kCreateFailed},
};

class QuadrelFault : public FaultTable {};

// A failure is reported on standard error and in the exit status; the rest of the
// program goes on as far as it can, in its order.
TEST_P(QuadrelFault, IsReportedAndTheRestCarriesOn)
{
    const Fault &row = GetParam();
    Recording r = record(fault_run(row, PROGRAM, TWIN));
    expect_fault(row, r);
    expect_ordered(r.texts());
}

INSTANTIATE_TEST_SUITE_P(Injected, QuadrelFault, testing::ValuesIn(kInjected), testing::PrintToStringParamName());

// Not injected: the real pthread_create fails for want of room for a stack.
INSTANTIATE_TEST_SUITE_P(RealLimit, QuadrelFault,
                         testing::Values(Fault{.name = "NoRoomForAnyStack",
                                               .limits = {{RLIMIT_STACK, kHugeStack}},
                                               .err = kCreateFailed + kCreateFailed}),
                         testing::PrintToStringParamName());

class QuadrelFaultUnderValgrind : public testing::TestWithParam<Fault> {};

// The same, and no block is lost or freed twice on the way. A thread left
// unjoined keeps the thread system's own blocks ("possibly lost"); a block of the
// program's that is lost is lost for certain. Short seconds, as above, but where
// the row's fault rests on the order in which the workers end: with seconds of
// 10 ms, a busy machine can end worker 10 before worker 2 under valgrind.
TEST_P(QuadrelFaultUnderValgrind, LosesNoBlock)
{
    REQUIRE_VALGRIND();
    const Fault &row = GetParam();
    Spawn spawn = fault_run(row, PROGRAM, TWIN);
    spawn.argv = under_memcheck("definite,indirect", spawn.argv);
    if (!row.timed) {
        spawn.env.insert(spawn.env.end(), kFastSleep.begin(), kFastSleep.end());
    }
    expect_fault(row, record(spawn));
}

// Every injected row. (valgrind lays out thread stacks its own way, so the real
// limit above makes pthread_create fail otherwise there.)
INSTANTIATE_TEST_SUITE_P(Injected, QuadrelFaultUnderValgrind, testing::ValuesIn(kInjected),
                         testing::PrintToStringParamName());

} // namespace
