// The rows that every program's tables share: a whole run, and a run in which
// something fails; and how a row prints, in test names and failures.
#pragma once

#include "build.hpp"
#include "spawn.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <ostream>
#include <string>
#include <vector>

// A row whose name prints as its name, in test names (with
// testing::PrintToStringParamName()) and in failure messages.
#define PRINTS_AS_ITS_NAME(Row)                                                                                        \
    inline void PrintTo(const Row &row, std::ostream *os)                                                              \
    {                                                                                                                  \
        *os << row.name;                                                                                               \
    }

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
    bool timed = false;             // which call is the n-th rests on the seconds between the workers' ends,
                                    // so the row runs with whole seconds even where others run them short
};
PRINTS_AS_ITS_NAME(Fault)

// The run of a fault row: the twin, with FAULT_INJECT, for an injected fault; the
// program itself for a real one.
Spawn fault_run(const Fault &row, const char *program, const char *twin);

// Checks a fault row's run: status, standard error, the lines and the last one.
void expect_fault(const Fault &row, const Recording &r);

// A table of fault rows. A row with resource limits is skipped under
// ThreadSanitizer, whose runtime cannot start under them, and under an emulator,
// which gives the program's threads stacks of its own size, whatever the limit.
class FaultTable : public testing::TestWithParam<Fault> {
protected:
    void SetUp() override
    {
        if (!GetParam().limits.empty() && kThreadSanitizer) {
            SKIP_FOR_THIS_BUILD("ThreadSanitizer cannot start under these limits");
        }
        if (!GetParam().limits.empty() && kEmulated) {
            SKIP_FOR_THIS_BUILD("an emulator sizes the program's thread stacks itself");
        }
    }
};
