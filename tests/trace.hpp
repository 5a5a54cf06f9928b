// Runs a program under strace and reads back the system calls that start and end
// its threads and write its output.
#pragma once

#include "spawn.hpp"

#include <sys/types.h>

#include <string>
#include <vector>

struct Syscall {
    pid_t tid;        // the thread that made it
    double at;        // seconds since the epoch, when it was made
    std::string name; // "clone3", "exit", "write", ...
    std::string text; // the rest: arguments and result ("= 42")

    long result() const; // the number after the last "= ", or -1
};

struct Trace {
    Recording run;              // what the program wrote, and how it ended
    std::vector<Syscall> calls; // in the order they were made
    std::string skipped;        // why nothing could be traced, if so
};

// Runs spawn's program under strace -f and returns its clone, clone3, exit,
// exit_group and write calls. A call that strace shows as unfinished and then
// resumed is one call, at the time it was made.
Trace trace(Spawn spawn);
