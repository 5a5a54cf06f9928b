// Runs a program as a user would and records what it writes, line by line, with
// the time each line arrived.
#pragma once

#include <sys/types.h>

#include <csignal>
#include <functional>
#include <string>
#include <vector>

enum class Output {
    terminal, // standard output is a pseudo-terminal, so stdio buffers by the line
    pipe,     // standard output is a pipe that the test reads as it fills
    file,     // standard output is a file, which the test follows as it grows
};

struct Line {
    std::string text; // without its newline
    double at;        // seconds from the start of the program
};

struct Spawn {
    std::vector<std::string> argv; // argv[0] is the path of the program
    Output output = Output::pipe;
    std::string file{};             // Output::file: where standard output goes; empty for a new temporary file
    std::vector<std::string> env{}; // NAME=value, added to the test's environment
    double stop_after = 0;          // if > 0, send stop_signal this many seconds after the start
    int stop_signal = SIGKILL;
    std::function<void(pid_t)> before_stop{}; // called just before stop_signal is sent
};

struct Recording {
    std::vector<Line> lines; // standard output
    std::string err;         // standard error, as written
    int status = -1;         // as waitpid reports it

    std::vector<std::string> texts() const;
};

// Starts the program, records its output until it ends (or until it is stopped as
// Spawn says) and waits for it. A program still running after a minute is killed
// and the test fails.
Recording record(const Spawn &spawn);

// The state letter of a thread in /proc ('R', 'S', 'Z', ...), or '?' if it is gone.
char thread_state(pid_t pid, pid_t tid);
