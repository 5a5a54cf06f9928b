// Runs a learner's program as a user would, bounded: in a session and process
// group of its own, with limits on CPU time, address space, file size and open
// files, a wall-clock bound and capped output, and nothing of it left running.
#pragma once

#include <string>
#include <vector>

namespace check {

enum class Output { terminal, pipe, file };

struct Run {
    std::vector<std::string> argv{};
    Output output = Output::pipe;
    std::vector<std::string> env{};  // NAME=value, added to the checker's own environment
    std::string dir{};               // a directory of the check's own: the working directory, and the file output
    double watch = 0;                // > 0: Ctrl-C this many seconds after the first line (a program that never ends)
    double bound = 30;               // seconds from the start: past it, the program is killed
    bool limit_address_space = true; // off for the sanitizers, which reserve terabytes of shadow at the start
    double cpu_seconds = 60;
    int niceness = 0; // 10 for the runs that keep a core busy, so that the machine stays usable
};

struct Line {
    std::string text; // without its newline
    double at;        // seconds from the first output, on standard output or standard error
};

struct Seen {
    std::vector<Line> lines;         // standard output
    std::string err;                 // standard error, capped
    int status = -1;                 // as waitpid reports it
    bool stopped = false;            // Ctrl-C'd at the end of the watch
    bool bounded = false;            // killed at the wall-clock bound
    bool flooded = false;            // killed for writing more than the cap
    bool left_behind = false;        // a process it started was still running when it ended
    double ended = 0;                // when it ended, seconds from the first output
    double bound = 0;                // the wall-clock bound it ran under
    std::string description() const; // how it ended, for a report
};

constexpr std::size_t kOutputCap = 1 << 20;

Seen run(const Run &run);

// Kills whatever the check's runs left behind: the checker is the reaper of every
// process that its programs start, and the processes that outlive them come to it.
void end_every_child();

} // namespace check
