// Runs a program as a user would and records what it writes, line by line, with
// the time each line arrived; and what every table needs around that: how the
// program ended, the tools it runs under, and why a row cannot run here.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <cstddef>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

enum class Output {
    terminal,     // a pseudo-terminal, the program's controlling terminal: stdio buffers by the line
    pipe,         // a pipe that the test reads as it fills
    file,         // a file, which the test follows as it grows
    closed,       // descriptor 1 is closed
    read_only,    // descriptor 1 is open for reading only
    widowed_pipe, // a pipe whose reader has gone before the program starts
};

struct Limit {
    int resource; // RLIMIT_...
    rlim_t value; // soft and hard
};

struct Spawn {
    std::vector<std::string> argv{}; // argv[0] is the path of the program
    Output output = Output::pipe;
    std::string file{};                 // Output::file: where standard output goes; empty for a new temporary file
    std::string dir{};                  // the working directory; empty for the test's own
    std::vector<std::string> env{};     // NAME=value, added to the test's environment
    std::vector<int> ignored_signals{}; // ignored when the program starts, as a parent may leave them
    std::vector<Limit> limits{};        // resource limits for the program
    double hang_up_after = 0;           // Output::terminal: if > 0, the terminal goes away this many seconds after the
                                        // start; it is then not the program's controlling terminal, so no SIGHUP comes
    std::size_t stop_after_lines = 0;   // if > 0, send stop_signal once this many lines have arrived
    double stop_after_seconds = 0;      // if > 0, send stop_signal this many seconds after the start
    int stop_signal = SIGKILL;          // sent to the program's process group; on its controlling terminal,
                                        // SIGINT is sent as a user sends it: Ctrl-C typed on the terminal
    std::function<void(pid_t)> before_stop{}; // called just before stop_signal is sent
    std::function<pid_t(pid_t)> stop_whom{};  // given the program's pid, the one process to stop; by default the
                                              // whole process group
    double time_limit = 60;                   // seconds; a program still running then is killed and the test fails
};

struct Line {
    std::string text; // without its newline
    double at;        // seconds from the start of the program
};

// Marks the last line of standard output where it had no newline.
const std::string kNoNewline = "<no newline>";

struct Recording {
    std::vector<Line> lines; // standard output
    std::string err;         // standard error, as written
    int status = -1;         // as waitpid reports it

    std::vector<std::string> texts() const;
    std::vector<double> times_of(const std::string &text) const; // when each line with this text arrived
};

// Starts the program, records its output until it ends (or until it is stopped as
// Spawn says) and waits for it.
Recording record(const Spawn &spawn);

// ---- how it ended -----------------------------------------------------------------

MATCHER_P(ExitedWith, code, "exited with status " + testing::PrintToString(code))
{
    *result_listener << "wait status " << arg;
    return WIFEXITED(arg) && WEXITSTATUS(arg) == code;
}

MATCHER_P(KilledBy, signal, std::string("killed by ") + strsignal(signal))
{
    *result_listener << "wait status " << arg;
    return WIFSIGNALED(arg) && WTERMSIG(arg) == signal;
}

// ---- the build and its tools ------------------------------------------------------

const bool kSanitized = !std::string(SANITIZE).empty();
const bool kThreadSanitizer = std::string(SANITIZE).find("thread") != std::string::npos;

// Leave out a sanitizer's own checks at exit that a row must not trip over:
// LeakSanitizer's (it traces the process, which a tracer already does; a thread
// that cannot be joined keeps its block) and ThreadSanitizer's unjoined thread.
const std::vector<std::string> kNoExitChecks = {"ASAN_OPTIONS=detect_leaks=0", "TSAN_OPTIONS=report_thread_leaks=0"};

// A stack-size limit of half the range of rlim_t, beyond any address space of its
// width and far from "unlimited" (and from overflow in glibc's sums): glibc then has
// no room for a new thread's stack and pthread_create fails with EAGAIN.
constexpr rlim_t kHugeStack = std::numeric_limits<rlim_t>::max() / 2;

// argv under a valgrind tool. --vgdb=no: no gdb server, and no pipes left in /tmp.
std::vector<std::string> under_valgrind(const std::vector<std::string> &tool_options, std::vector<std::string> argv);

// memcheck that fails the run (status 99) on an invalid access or on a leak of
// these kinds ("all", or "definite,indirect").
std::vector<std::string> under_memcheck(const std::string &leak_kinds, std::vector<std::string> argv);

// Skips the test where a tool it needs is missing: the reason names the tool. On CI
// (CI set in the environment), which installs every tool, a missing tool fails.
#define SKIP_FOR_MISSING_TOOL(reason)                                                                                  \
    do {                                                                                                               \
        if (getenv("CI") != nullptr) {                                                                                 \
            FAIL() << (reason) << ", which CI installs";                                                               \
        }                                                                                                              \
        GTEST_SKIP() << (reason);                                                                                      \
    } while (false)

// Skips the test where this build cannot run it at all (a sanitizer build under
// valgrind, say): the reason is the build's, on CI as anywhere.
#define SKIP_FOR_THIS_BUILD(reason) GTEST_SKIP() << "in this build: " << (reason)

#define REQUIRE_VALGRIND()                                                                                             \
    do {                                                                                                               \
        if (kSanitized) {                                                                                              \
            SKIP_FOR_THIS_BUILD("valgrind does not run a sanitized program");                                          \
        }                                                                                                              \
        if (std::string(VALGRIND).empty()) {                                                                           \
            SKIP_FOR_MISSING_TOOL("valgrind is not installed");                                                        \
        }                                                                                                              \
    } while (false)

// A row whose name prints as its name, in test names and failure messages.
template <typename Row> std::string row_name(const testing::TestParamInfo<Row> &info)
{
    return info.param.name;
}

#define PRINTS_AS_ITS_NAME(Row)                                                                                        \
    inline void PrintTo(const Row &row, std::ostream *os)                                                              \
    {                                                                                                                  \
        *os << row.name;                                                                                               \
    }

// ---- the rows of every program's tables -------------------------------------------

// A whole run as a user starts it.
struct WholeRun {
    const char *name;
    Output output;
    std::vector<std::string> args{}; // after the program's name; it ignores them
    int stop_signal = SIGKILL;       // for a program that runs until stopped: how it is stopped
};
PRINTS_AS_ITS_NAME(WholeRun)

// A run in which something fails, and what the program must then write.
struct Fault {
    const char *name;
    const char *inject = "";        // FAULT_INJECT for the program's twin; empty runs the program itself
    std::vector<std::string> env{}; // more of the environment
    std::vector<Limit> limits{};    // resource limits under which the program runs
    std::vector<std::string> out{}; // every line of standard output but the uncounted ones, in any order
    std::string last{};             // the last of those, or "" for none
    std::string uncounted{};        // a line of a worker that the end of the process cuts short at no fixed count
    std::string err{};              // all of standard error
    int status = 1;                 // the exit status
};
PRINTS_AS_ITS_NAME(Fault)

// The run of a fault row: the twin, with FAULT_INJECT, for an injected fault; the
// program itself for a real one.
Spawn fault_run(const Fault &row, const char *program, const char *twin);

// Checks a fault row's run: status, standard error, the lines and the last one.
void expect_fault(const Fault &row, const Recording &r);
