// What the kernel sees of a program: its system calls under strace, and its
// threads' states in /proc.
#pragma once

#include "spawn.hpp"

#include <sys/types.h>

#include <string>
#include <vector>

struct Syscall {
    pid_t tid;        // the thread that made it
    double at;        // seconds after the first call traced
    std::string name; // "clone3", "exit", "write", ...
    std::string text; // the rest: arguments and result ("= 42")

    long result() const;         // the number after the last "= ", or -1
    std::string request() const; // the first "{...}" among the arguments, as "{tv_sec=1, tv_nsec=0}"
};

struct Trace {
    Recording run;              // what the command wrote, and how it ended
    std::vector<Syscall> calls; // in the order they were made
    std::string skipped;        // why nothing could be traced, if so
};

// Runs a command line as a reader of the docs types it (sh -c), in a new directory
// where build/default is this build's directory, and reads back the trace that it
// writes there with strace -f -tt -o trace.txt. A call that strace shows as
// unfinished and then resumed is one call, at the time it was made.
Trace trace_command(const std::string &command, Spawn spawn);

// The calls that created threads (clone or clone3), in order.
std::vector<Syscall> creations(const std::vector<Syscall> &calls);

// The calls of this name by this thread, in order.
std::vector<Syscall> calls_of(const std::vector<Syscall> &calls, pid_t tid, const std::string &name);

// How strace shows a request to sleep exactly one second.
const std::string kOneSecond = "{tv_sec=1, tv_nsec=0}";

// What this thread asked each of its sleeps to last, in order: the request of each
// clock_nanosleep, as "{tv_sec=1, tv_nsec=0}".
std::vector<std::string> sleeps_asked(const std::vector<Syscall> &calls, pid_t tid);

// The index in calls of the first call of this name by this thread, or -1.
long first_call(const std::vector<Syscall> &calls, pid_t tid, const std::string &name);

// The state letter of a thread in /proc ('R', 'S', 'Z', ...), or '?' if it is gone.
char thread_state(pid_t pid, pid_t tid);

// The process of this name (as /proc shows it, at most 15 characters) in the
// process group, or 0 if there is none.
pid_t pid_named(pid_t group, const std::string &name);

// Skips in a build whose runtime starts threads of its own, which a trace would show.
#define REQUIRE_NO_THREADS_OF_THE_BUILD()                                                                              \
    do {                                                                                                               \
        if (kThreadSanitizer) {                                                                                        \
            SKIP_FOR_THIS_BUILD("ThreadSanitizer starts a thread of its own");                                         \
        }                                                                                                              \
    } while (false)

// Skips where strace is missing or may not trace (a container without ptrace).
#define REQUIRE_TRACE(trace)                                                                                           \
    do {                                                                                                               \
        if (!(trace).skipped.empty()) {                                                                                \
            SKIP_FOR_MISSING_TOOL((trace).skipped);                                                                    \
        }                                                                                                              \
    } while (false)
