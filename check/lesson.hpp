// What a learner's version of a lesson is judged on: the lesson points, each
// judged from runs of the learner's build beside the same runs of the lesson's
// own program.
#pragma once

#include "run.hpp"

#include <string>
#include <vector>

namespace check {

enum class State { ok, broken, not_checked };

struct Verdict {
    std::string point;
    State state = State::ok;
    std::string text; // what holds; or what was expected and what was seen; or why it was not checked
};

// The lesson points, in the order a report lists them.
const std::vector<std::string> &point_names();

struct Lesson {
    std::string name; // the lesson's program, next to threads-check
    double watch = 0; // > 0: the program never ends by itself, and a run is watched this long after its first line
};

struct Tools {
    std::string cc, cxx, valgrind, strace, shim, mistakes_page;
};

// The builds of one file.
struct Builds {
    std::string plain;    // -O2, as the project builds the lesson
    std::string asan;     // AddressSanitizer and UndefinedBehaviorSanitizer; empty where the compiler has none
    std::string tsan;     // ThreadSanitizer; likewise
    std::string warnings; // the compiler's messages on the plain build
};

// How the threads of a run went, as the kernel saw them (strace -f).
struct Trace {
    bool traced = false;
    int threads = 0;           // threads created
    int processes = 0;         // processes created
    int thread_exits = 0;      // threads other than main that ended by themselves
    bool main_exit = false;    // the main thread ended by itself, leaving the others running
    bool main_waited = false;  // the main thread waited on a thread's end, as pthread_join does
    std::string first_process; // the first process creation, as the trace shows it
};

// The threads interface's calls of a run, as the checker's shim saw them.
struct Calls {
    int created = 0;
    int created_detached = 0;
    int joined = 0;                     // joins that succeeded
    std::vector<std::string> bad_joins; // joins that failed: how
    int unfinished_joins = 0;
};

// How the threads went in a trace of strace -f -e trace=clone,clone3,fork,vfork,exit,exit_group,futex.
Trace read_trace(const std::string &path);

// Everything seen of one program: the lesson's own or a learner's build.
struct Observed {
    Seen terminal, pipe, file, calls_run, traced;
    std::vector<Seen> failures; // pthread_create:1, :2, ...
    Seen memcheck, asan, helgrind, tsan;
    Trace trace;
    Calls calls;
    bool have_valgrind = false, have_strace = false;
};

// Runs everything a check needs of `builds` (of the lesson's own program, only
// `plain` is set), in `dir`, a directory of its own.
Observed observe(const Lesson &lesson, const Tools &tools, const Builds &builds, const std::string &dir,
                 int failure_runs, bool reference);

// The real run on a terminal that the lines, order, rhythm and results are judged on.
// `learners`: a learner's build, held to the limits (the lesson's own is not).
Seen terminal_run(const Lesson &lesson, const Builds &builds, const std::string &dir, bool learners = true);

// The lesson points of a learner's build, judged against the lesson's own.
std::vector<Verdict> judge(const Lesson &lesson, const Tools &tools, const Builds &builds, const Observed &learner,
                           const Observed &reference);

} // namespace check
