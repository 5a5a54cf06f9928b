// Runs a program as a user would and records what it writes, line by line, with
// the time each line arrived, and how it ended.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>

#include <csignal>
#include <cstddef>
#include <functional>
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
    std::vector<std::string> argv{}; // argv[0] is the path of the program; one that this build made runs under
                                     // the build's emulator, if it has one
    Output output = Output::pipe;
    std::string file{};                 // Output::file: where standard output goes; empty for a new temporary file
    std::string dir{};                  // the working directory; empty for the test's own
    std::vector<std::string> env{};     // NAME=value, added to the test's environment
    std::vector<int> ignored_signals{}; // ignored when the program starts, as a parent may leave them
    std::vector<Limit> limits{};        // resource limits for the program
    double hang_up_after = 0;           // Output::terminal: if > 0, the terminal goes away this many seconds after the
                                        // program is under way (see below), which sends it SIGHUP, as the terminal
                                        // controls it
    std::size_t stop_after_lines = 0;   // if > 0, send stop_signal once this many lines have arrived
    double stop_after_seconds = 0;      // if > 0, send stop_signal this many seconds after the program is under way
    int stop_signal = SIGKILL;          // sent to the program's process group; on its controlling terminal,
                                        // SIGINT is sent as a user sends it: Ctrl-C typed on the terminal
    std::function<void(pid_t)> before_stop{}; // called just before stop_signal is sent
    std::function<pid_t(pid_t)> stop_whom{};  // given the program's pid, the one process to stop, or 0 while it is
                                              // not there; nothing is stopped before it is. By default the whole
                                              // process group is stopped
    double time_limit = 0; // seconds from the start; a program still running then is killed and the test fails.
                           // 0: the test's own timeout (TEST_TIMEOUT in the environment, as CTest's runs have it)
};

// A watch of a program that never ends counts from when it is under way, never
// from its start, so that neither its start-up nor a sanitizer, an emulator or a
// busy machine shortens it: from its first line on standard output or standard
// error, or, where it writes none that can be read, from when it is first seen
// with a second thread (a lesson starts one before it writes; an emulator may start
// one of its own sooner, which starts the watch sooner only on a run whose output
// is lost anyway).};

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
