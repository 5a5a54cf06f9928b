// The judges of a page against a run: the figures of a trace that a page shows,
// and a page's timeline, against the trace of a real run.
#pragma once

#include "docs.hpp"
#include "trace.hpp"

#include <gtest/gtest.h>

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

// A trace that a page shows after a command gives the figures of the command's
// own run: as many thread creations, each thread (main, each it created in
// order, or else known by what it writes first) ending with the same calls, and its byte
// counts of writes, sleep requests and signals in the run's order, some perhaps
// left out.
testing::AssertionResult figures_of_the_run(const std::string &shown, const std::vector<Syscall> &run);
#define EXPECT_FIGURES_OF_THE_RUN(shown, run) EXPECT_TRUE(figures_of_the_run((shown), (run)))

// A thread's line or end in a traced run, and the second on which it fell due.
struct Due {
    pid_t tid;
    std::string name; // "write", "exit" or "exit_group"
    std::string text; // the call's arguments and result
    double due;       // seconds from the start: see seconds_due
    double at;        // when the call was made, from the first call traced
};

// When each write and each end of a thread in a traced run fell due, in seconds
// from the start. A thread that sleeps is due at the sum of the sleeps that it
// asked for before; a thread that never sleeps (main, which only waits) is due
// when the last of the sleeping threads that were done by then was done, that
// is, had ended its last sleep.
std::vector<Due> seconds_due(const std::vector<Syscall> &calls);

// A gantt chart's bars on the seconds of a traced run. Each section is the thread
// whose first write starts with the text given for it. A bar "line K" starts when
// that thread's K-th write fell due and lasts until its next write or end; a
// milestone falls on one of the thread's own writes or its end; any other bar
// starts on an event of its own thread and ends on one, or on one of a thread
// that waits (never sleeps), or where the chart's last line ends. Where the run went
// to its end, each thread has as many "line" bars as it wrote lines.
void expect_timeline_of_the_run(const std::vector<Bar> &bars, const std::vector<Syscall> &calls,
                                const std::map<std::string, std::string> &first_write_of_section, bool whole_run);
