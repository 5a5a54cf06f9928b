// What the kernel sees of a program: its system calls under strace, and its
// threads' states in /proc.
#pragma once

#include "build.hpp"
#include "docs.hpp"
#include "spawn.hpp"

#include <sys/types.h>

#include <map>
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

// The calls of a trace as strace -f -tt writes it. A call that strace shows as
// unfinished and then resumed is one call, at the time it was made. A signal's
// arrival ("--- SIGINT {...} ---") is a call named "---" whose text is the line
// from "---" on; the lines of a thread's end ("+++ ... +++") are left out.
std::vector<Syscall> parse_trace(const std::string &text);

// Runs a command line as a reader of the docs types it (sh -c), in a new directory
// where build/default is this build's directory, and reads back the trace that it
// writes there with strace -f -tt -o trace.txt. `how` says how the command runs
// (its output, environment, stop); it must name no program and no directory.
Trace trace_command(const std::string &command, const Spawn &how);

// Whether the call is a sleep: clock_nanosleep (clock_nanosleep_time64 where
// time_t was once 32 bits).
bool is_sleep(const Syscall &call);

// The calls that created threads (clone or clone3), in order.
std::vector<Syscall> creations(const std::vector<Syscall> &calls);

// The calls of this name by this thread, in order.
std::vector<Syscall> calls_of(const std::vector<Syscall> &calls, pid_t tid, const std::string &name);

// How strace shows a request to sleep exactly one second.
const std::string kOneSecond = "{tv_sec=1, tv_nsec=0}";

// What this thread asked each of its sleeps to last, in order: the request of each
// clock_nanosleep (clock_nanosleep_time64 where time_t was once 32 bits), as
// "{tv_sec=1, tv_nsec=0}".
std::vector<std::string> sleeps_asked(const std::vector<Syscall> &calls, pid_t tid);

// The index in calls of the first call of this name by this thread, or -1.
long first_call(const std::vector<Syscall> &calls, pid_t tid, const std::string &name);

// The index in calls of the last call by this thread, or -1.
long last_call(const std::vector<Syscall> &calls, pid_t tid);

// The state letter of a thread in /proc ('R', 'S', 'Z', ...), or '?' if it is gone.
char thread_state(pid_t pid, pid_t tid);

// The process of this name (as /proc shows it, at most 15 characters) in the
// process group, or 0 if there is none.
pid_t pid_named(pid_t group, const std::string &name);

// Skips where strace is missing or may not trace (a container without ptrace).
#define REQUIRE_TRACE(trace)                                                                                           \
    do {                                                                                                               \
        if (!(trace).skipped.empty()) {                                                                                \
            SKIP_FOR_MISSING_TOOL((trace).skipped);                                                                    \
        }                                                                                                              \
    } while (false)
