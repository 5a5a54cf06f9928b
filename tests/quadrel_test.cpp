// quadrel as its users meet it: on a terminal, through a pipe, into a file, with
// standard output that fails, with calls made to fail, and under valgrind.
#include "spawn.hpp"
#include "timing.hpp"
#include "trace.hpp"

#include <sys/wait.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

namespace {

const std::string kWork10 = "Thread 10 doing some work";
const std::string kWork2 = "Thread 2 doing some work";
const std::string kJoin2 = "main fn blocked on pthread join for thread with th_id = 2";
const std::string kResult2 = "Return result from thread 2 = 100";
const std::string kJoin3 = "main fn blocked on pthread join for thread with th_id = 3";
const std::string kResult3 = "Return result from thread 3 = 4";

const bool kThreadSanitizer = std::string(SANITIZE).find("thread") != std::string::npos;

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

// Line-buffered: each line shows as it is written. No line comes before its
// second; worker 10 writes a line a second, worker 2's come with its first two;
// the closing three come together when worker 10 ends, a second after its last.
void expect_line_by_line(const Recording &r)
{
    const std::vector<double> work10 = r.times_of(kWork10);
    const std::vector<double> work2 = r.times_of(kWork2);
    ASSERT_EQ(work10.size(), 10U);
    ASSERT_EQ(work2.size(), 2U);
    for (std::size_t i = 0; i < work10.size(); i++) {
        EXPECT_GE(work10[i], static_cast<double>(i)) << "line " << i + 1 << " of worker 10 came early";
    }
    EXPECT_NEAR(median_gap(work10), 1, kBeatSlack) << "worker 10 should write a line a second";
    for (std::size_t i = 0; i < work2.size(); i++) {
        EXPECT_GE(work2[i], static_cast<double>(i)) << "line " << i + 1 << " of worker 2 came early";
        EXPECT_NEAR(work2[i], work10[i], kTogether) << "line " << i + 1 << " of worker 2";
    }
    EXPECT_NEAR(r.times_of(kJoin2).at(0), work10[0], kTogether) << "the first join message";
    for (std::size_t i = 13; i < 16; i++) {
        const Line &line = r.lines[i];
        EXPECT_GE(line.at, 10) << line.text << " came before worker 10 can have ended";
        EXPECT_NEAR(line.at - work10.back(), 1, kTogether) << line.text << " should come with worker 10's end";
    }
}

// Block-buffered: everything arrives together when the process ends.
void expect_all_at_the_end(const Recording &r)
{
    EXPECT_GE(r.lines.front().at, 10) << "a line arrived before worker 10 can have ended";
    EXPECT_LT(r.lines.back().at - r.lines.front().at, kTogether) << "the lines should arrive together";
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
    ASSERT_NO_FATAL_FAILURE(expect_whole_run(r.texts()));
    if (c.output == Output::terminal) {
        expect_line_by_line(r);
    } else {
        expect_all_at_the_end(r);
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

// ---- what the kernel sees --------------------------------------------------------

// The index in calls of the first call of this name by this thread, or -1.
long first_call(const std::vector<Syscall> &calls, pid_t tid, const std::string &name)
{
    for (std::size_t i = 0; i < calls.size(); i++) {
        if (calls[i].tid == tid && calls[i].name == name) {
            return static_cast<long>(i);
        }
    }
    return -1;
}

// Each pthread_create is a clone of a thread in the same process; a worker that
// returns ends its own thread with exit, worker 2 about eight seconds before
// worker 10; main, having joined both, returns and so ends the process with
// exit_group.
TEST(Quadrel, EndsEachWorkerThenTheProcessAsTheKernelSeesIt)
{
    if (kThreadSanitizer) {
        GTEST_SKIP() << "ThreadSanitizer starts a thread of its own";
    }
    // LeakSanitizer's check at the end would need to trace the process itself.
    Trace t = trace({.argv = {QUADREL}, .env = {"ASAN_OPTIONS=detect_leaks=0"}});
    if (!t.skipped.empty()) {
        GTEST_SKIP() << t.skipped;
    }
    expect_exit_status(t.run.status, 0);

    std::vector<Syscall> creations;
    std::copy_if(t.calls.begin(), t.calls.end(), std::back_inserter(creations),
                 [](const Syscall &call) { return call.name == "clone" || call.name == "clone3"; });
    ASSERT_EQ(creations.size(), 2U);
    for (const Syscall &creation : creations) {
        EXPECT_NE(creation.text.find("CLONE_THREAD"), std::string::npos) << creation.text;
    }
    const pid_t main_thread = creations[0].tid;
    const long exit10 = first_call(t.calls, static_cast<pid_t>(creations[0].result()), "exit");
    const long exit2 = first_call(t.calls, static_cast<pid_t>(creations[1].result()), "exit");
    const long end = first_call(t.calls, main_thread, "exit_group");
    ASSERT_GE(exit10, 0) << "worker 10 should end with exit";
    ASSERT_GE(exit2, 0) << "worker 2 should end with exit";
    ASSERT_GE(end, 0) << "the process should end with exit_group";
    EXPECT_NEAR(t.calls[exit10].at - t.calls[exit2].at, 8, kTogether) << "worker 2's exit value waits for its join";
    EXPECT_GT(end, exit10) << "the process should end after its workers";
    EXPECT_EQ(t.calls[end].text.rfind("(0)", 0), 0U) << t.calls[end].text;
}

// ---- standard output that fails ---------------------------------------------------

struct Refusal {
    const char *name;
    Spawn spawn;     // where standard output goes; the program is filled in
    std::string err; // all of standard error
};

class QuadrelOutputRefused : public testing::TestWithParam<Refusal> {};

// A failed write is reported on standard error and in the exit status, never lost.
TEST_P(QuadrelOutputRefused, IsReportedWithStatusOne)
{
    const Refusal &c = GetParam();
    Spawn spawn = c.spawn;
    spawn.argv = {QUADREL};
    Recording r = record(spawn);

    expect_exit_status(r.status, 1);
    EXPECT_EQ(r.err, c.err);
}

constexpr rlim_t kFileLimit = 100; // bytes; a whole run writes 492

INSTANTIATE_TEST_SUITE_P(
    Outputs, QuadrelOutputRefused,
    testing::Values(
        Refusal{.name = "Closed",
                .spawn = {.output = Output::closed},
                .err = "quadrel: standard output: Bad file descriptor\n"},
        Refusal{.name = "OpenForReadingOnly",
                .spawn = {.output = Output::read_only},
                .err = "quadrel: standard output: Bad file descriptor\n"},
        Refusal{.name = "DeviceFull",
                .spawn = {.output = Output::file, .file = "/dev/full"},
                .err = "quadrel: standard output: No space left on device\n"},
        Refusal{.name = "ReaderGoneSigpipeIgnored",
                .spawn = {.output = Output::widowed_pipe, .ignored_signals = {SIGPIPE}},
                .err = "quadrel: standard output: Broken pipe\n"},
        Refusal{.name = "FileTooLargeSigxfszIgnored",
                .spawn = {.output = Output::file, .ignored_signals = {SIGXFSZ}, .limits = {{RLIMIT_FSIZE, kFileLimit}}},
                .err = "quadrel: standard output: File too large\n"},
        // On a terminal each line is written as it comes, and the writes that fail
        // leave nothing for the last flush: only the stream's error flag tells.
        Refusal{.name = "TerminalHungUp",
                .spawn = {.output = Output::terminal, .hang_up_after = 1.5},
                .err = "quadrel: standard output: write error\n"}),
    [](const testing::TestParamInfo<Refusal> &info) { return info.param.name; });

// ---- failures -------------------------------------------------------------------

struct Fault {
    const char *name;
    const char *inject = "";      // FAULT_INJECT for the test build; empty runs the real program
    std::vector<Limit> limits{};  // resource limits under which the program runs
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
    const bool injected = !std::string(c.inject).empty();
    Spawn spawn{.argv = {injected ? QUADREL_FAULTY : QUADREL, "ignored"}, .output = Output::pipe, .limits = c.limits};
    if (injected) {
        spawn.env = {std::string("FAULT_INJECT=") + c.inject};
    }
    if (!c.limits.empty() && (kThreadSanitizer || with_valgrind)) {
        GTEST_SKIP() << "ThreadSanitizer cannot start under these limits, and valgrind lays out stacks its own way";
    }
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
const std::vector<std::string> kOnlyWorker2 = {kWork2, kWork2, kJoin3, kResult3};
const std::vector<std::string> kOnlyWorker10 = {kJoin2, kResult2};

// A stack limit beyond the address space: glibc then refuses every new thread.
constexpr rlim_t kHugeStack = rlim_t{200} << 40;

// Worker 10 is created first and joined first; worker 2 second. calloc is called
// for worker 10's argument, worker 2's argument, worker 2's result, worker 10's result.
const Fault kFaults[] = {
    {.name = "Worker10NotCreated",
     .inject = "pthread_create:1",
     .err = kCreateFailed,
     .out = kOnlyWorker2,
     .last = kResult3,
     .work10 = 0},
    {.name = "Worker2NotCreated",
     .inject = "pthread_create:2",
     .err = kCreateFailed,
     .out = kOnlyWorker10,
     .last = kResult2,
     .work10 = 10},
    {.name = "Worker10ArgumentNotAllocated",
     .inject = "calloc:1",
     .err = kNoMemory,
     .out = kOnlyWorker2,
     .last = kResult3,
     .work10 = 0},
    {.name = "Worker2ArgumentNotAllocated",
     .inject = "calloc:2",
     .err = kNoMemory,
     .out = kOnlyWorker10,
     .last = kResult2,
     .work10 = 10},
    {.name = "Worker2ResultNotAllocated",
     .inject = "calloc:3",
     .err = kNoMemory,
     .out = {kWork2, kWork2, kJoin2, kResult2, kJoin3},
     .last = kJoin3,
     .work10 = 10},
    {.name = "Worker10ResultNotAllocated",
     .inject = "calloc:4",
     .err = kNoMemory,
     .out = {kWork2, kWork2, kJoin2, kJoin3, kResult3},
     .last = kResult3,
     .work10 = 10},
    {.name = "Worker10AttributesNotInitialised",
     .inject = "pthread_attr_init:1",
     .err = "quadrel: pthread_attr_init: Cannot allocate memory\n",
     .out = kOnlyWorker2,
     .last = kResult3,
     .work10 = 0},
    {.name = "Worker2DetachStateNotSet",
     .inject = "pthread_attr_setdetachstate:2",
     .err = "quadrel: pthread_attr_setdetachstate: Invalid argument\n",
     .out = kOnlyWorker10,
     .last = kResult2,
     .work10 = 10},
    {.name = "Worker10NotJoined",
     .inject = "pthread_join:1",
     .err = kJoinFailed,
     .out = {kWork2, kWork2, kJoin2, kJoin3, kResult3},
     .last = kResult3,
     .work10 = -1},
    {.name = "Worker2NotJoined",
     .inject = "pthread_join:2",
     .err = kJoinFailed,
     .out = {kWork2, kWork2, kJoin2, kResult2, kJoin3},
     .last = kJoin3,
     .work10 = 10,
     .unjoined = true},
    {.name = "BothNotCreated",
     .inject = "pthread_create:1,pthread_create:2",
     .err = kCreateFailed + kCreateFailed,
     .out = {},
     .last = "",
     .work10 = 0},
    // Not injected: the real pthread_create fails for want of room for a stack.
    {.name = "NoRoomForAnyStack",
     .limits = {{RLIMIT_STACK, kHugeStack}},
     .err = kCreateFailed + kCreateFailed,
     .out = {},
     .last = "",
     .work10 = 0},
};

INSTANTIATE_TEST_SUITE_P(Injected, QuadrelFault, testing::Combine(testing::ValuesIn(kFaults), testing::Bool()),
                         [](const testing::TestParamInfo<std::tuple<Fault, bool>> &info) {
                             return std::string(std::get<0>(info.param).name) +
                                    (std::get<1>(info.param) ? "UnderValgrind" : "");
                         });

} // namespace
