#include "spawn.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>

namespace {

constexpr double kHardLimit = 60;

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Null-terminated pointers into strings, as execve takes them; strings must outlive them.
std::vector<char *> c_strings(std::vector<std::string> &strings)
{
    std::vector<char *> pointers;
    pointers.reserve(strings.size() + 1);
    for (std::string &s : strings) {
        pointers.push_back(s.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

// Where the program's standard output goes and where the test reads it.
struct Ends {
    int child = -1; // becomes the program's descriptor 1; -1 leaves it closed
    int read = -1;  // the test reads lines here as they come, if >= 0
    int tail = -1;  // a file the test follows as it grows, if >= 0
};

// Step 1: open standard output for the program as Spawn says.
bool open_output(const Spawn &spawn, Ends &ends)
{
    switch (spawn.output) {
    case Output::terminal: {
        termios raw{};
        cfmakeraw(&raw); // no "\r\n" for "\n", no echo
        if (openpty(&ends.read, &ends.child, nullptr, &raw, nullptr) != 0) {
            ADD_FAILURE() << "openpty: " << strerror(errno);
            return false;
        }
        return true;
    }
    case Output::pipe:
    case Output::widowed_pipe: {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) {
            ADD_FAILURE() << "pipe2: " << strerror(errno);
            return false;
        }
        ends.child = fds[1];
        ends.read = fds[0];
        if (spawn.output == Output::widowed_pipe) {
            close(ends.read);
            ends.read = -1;
        }
        return true;
    }
    case Output::file:
        if (!spawn.file.empty()) { // the caller's file (/dev/full, say) is the caller's to read
            ends.child = open(spawn.file.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
        } else {
            char name[] = "/tmp/spawn-output-XXXXXX";
            ends.child = mkostemp(name, O_CLOEXEC);
            if (ends.child >= 0) {
                ends.tail = open(name, O_RDONLY | O_CLOEXEC);
                unlink(name);
            }
        }
        if (ends.child < 0) {
            ADD_FAILURE() << "standard output file: " << strerror(errno);
            return false;
        }
        return true;
    case Output::closed:
        return true;
    case Output::read_only:
        ends.child = open("/dev/null", O_RDONLY | O_CLOEXEC);
        return ends.child >= 0;
    }
    return false;
}

// Step 2, in the child between fork and exec: only async-signal-safe calls. (fork
// rather than posix_spawn, which can neither set a controlling terminal nor limits.)
[[noreturn]] void exec_child(const Spawn &spawn, int out_fd, int err_fd, char *const argv[], char *const envp[])
{
    // A process group of its own, so that a stop reaches everything it started.
    if (spawn.output == Output::terminal) {
        setsid();
        if (spawn.hang_up_after <= 0) {
            ioctl(out_fd, TIOCSCTTY, 0);
        }
    } else {
        setpgid(0, 0);
    }
    // A fresh start: default signal actions but those asked for, and none blocked.
    for (int sig = 1; sig < NSIG; sig++) {
        signal(sig, SIG_DFL);
    }
    for (int sig : spawn.ignored_signals) {
        signal(sig, SIG_IGN);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (const Limit &limit : spawn.limits) {
        const rlimit both{limit.value, limit.value};
        setrlimit(limit.resource, &both);
    }

    int devnull = open("/dev/null", O_RDONLY);
    dup2(devnull, STDIN_FILENO);
    if (out_fd >= 0) {
        dup2(out_fd, STDOUT_FILENO);
    } else {
        close(STDOUT_FILENO);
    }
    dup2(err_fd, STDERR_FILENO);
    closefrom(STDERR_FILENO + 1);
    execve(argv[0], argv, envp);
    _exit(127);
}

// Splits what has arrived into whole lines, each stamped with the time it came.
void take_lines(std::string &pending, double at, std::vector<Line> &lines)
{
    for (std::size_t nl; (nl = pending.find('\n')) != std::string::npos; pending.erase(0, nl + 1)) {
        lines.push_back({pending.substr(0, nl), at});
    }
}

// Reads everything that is there now from fd; false at its end.
bool drain(int fd, std::string &into)
{
    char buf[4096];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) {
        into.append(buf, static_cast<std::size_t>(n));
        return true;
    }
    return n < 0 && errno == EINTR; // 0 at the end; a terminal says EIO once the program has gone
}

// Step 3: reads standard output and standard error until both are closed, and
// hangs up, stops or kills the program on the way as Spawn says.
void read_until_closed(const Spawn &spawn, pid_t pid, Ends &ends, int err_fd, Clock::time_point start,
                       Recording &result)
{
    std::string out_pending;
    bool stopped = false;
    bool killed = false;
    pollfd fds[2] = {{ends.read, POLLIN, 0}, {err_fd, POLLIN, 0}};
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
        if (poll(fds, 2, 20) < 0 && errno != EINTR) { // 20 ms: a followed file gives no event
            ADD_FAILURE() << "poll: " << strerror(errno);
            break;
        }
        if (fds[0].fd >= 0 && fds[0].revents != 0 && !drain(fds[0].fd, out_pending)) {
            close(fds[0].fd);
            fds[0].fd = -1;
        }
        while (ends.tail >= 0 && drain(ends.tail, out_pending)) {
        }
        const double now = seconds_since(start); // after the read: a line is never stamped early
        take_lines(out_pending, now, result.lines);
        if (fds[1].fd >= 0 && fds[1].revents != 0 && !drain(fds[1].fd, result.err)) {
            close(fds[1].fd);
            fds[1].fd = -1;
        }

        if (spawn.hang_up_after > 0 && fds[0].fd >= 0 && now >= spawn.hang_up_after) {
            close(fds[0].fd); // the terminal's master side: its slave now says EIO to a write
            fds[0].fd = -1;
        }
        if (!stopped && spawn.stop_after_lines > 0 && result.lines.size() >= spawn.stop_after_lines) {
            if (spawn.before_stop) {
                spawn.before_stop(pid);
            }
            kill(-pid, spawn.stop_signal);
            stopped = true;
        }
        if (!killed && now >= kHardLimit) {
            ADD_FAILURE() << spawn.argv[0] << " still running after " << kHardLimit << " s; killed";
            kill(-pid, SIGKILL);
            killed = true;
        }
    }
    if (!out_pending.empty()) { // a last line without its newline
        result.lines.push_back({out_pending + "<no newline>", seconds_since(start)});
    }
}

} // namespace

std::vector<std::string> Recording::texts() const
{
    std::vector<std::string> out;
    for (const Line &line : lines) {
        out.push_back(line.text);
    }
    return out;
}

std::vector<double> Recording::times_of(const std::string &text) const
{
    std::vector<double> times;
    for (const Line &line : lines) {
        if (line.text == text) {
            times.push_back(line.at);
        }
    }
    return times;
}

Recording record(const Spawn &spawn)
{
    std::vector<std::string> arg_strings(spawn.argv);
    std::vector<std::string> env_strings(spawn.env);
    for (char **e = environ; *e != nullptr; e++) {
        env_strings.emplace_back(*e);
    }
    std::vector<char *> argv = c_strings(arg_strings);
    std::vector<char *> envp = c_strings(env_strings);

    Ends ends;
    int err_pipe[2];
    if (!open_output(spawn, ends)) {
        return {};
    }
    if (pipe2(err_pipe, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe2: " << strerror(errno);
        return {};
    }

    const auto start = Clock::now();
    const pid_t pid = fork();
    if (pid < 0) {
        ADD_FAILURE() << "fork: " << strerror(errno);
        return {};
    }
    if (pid == 0) {
        exec_child(spawn, ends.child, err_pipe[1], argv.data(), envp.data());
    }
    if (ends.child >= 0) {
        close(ends.child);
    }
    close(err_pipe[1]);

    Recording result;
    read_until_closed(spawn, pid, ends, err_pipe[0], start, result);
    waitpid(pid, &result.status, 0);
    if (ends.tail >= 0) {
        close(ends.tail);
    }
    return result;
}

char thread_state(pid_t pid, pid_t tid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::size_t paren = text.rfind(')'); // the name in parentheses may hold anything
    return paren == std::string::npos || paren + 2 >= text.size() ? '?' : text[paren + 2];
}
