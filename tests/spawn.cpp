#include "spawn.hpp"

#include "build.hpp"
#include "docs.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// CTest runs each test in a process of its own: this is when the test started.
const Clock::time_point kTestStarted = Clock::now();

// How long a run that started at `start` may go on, by default: until just before
// the test's own timeout, so that the test can still say which program hung.
double until_the_test_times_out(Clock::time_point start)
{
    const char *timeout = getenv("TEST_TIMEOUT");
    const double seconds = timeout != nullptr ? atof(timeout) : 90;
    constexpr double kTimeToReport = 2;
    return seconds - kTimeToReport - std::chrono::duration<double>(start - kTestStarted).count();
}

// The number of threads that the process has, or 0 if it has gone.
int threads_of(pid_t pid)
{
    const std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
    const std::size_t at = status.find("\nThreads:");
    return at == std::string::npos ? 0 : atoi(status.c_str() + at + 9);
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
        cfmakeraw(&raw);     // no "\r\n" for "\n", no echo
        raw.c_lflag |= ISIG; // but Ctrl-C typed on it interrupts the program, as on any terminal
        raw.c_cc[VINTR] = '\x03';
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
        ioctl(out_fd, TIOCSCTTY, 0);
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

    if (!spawn.dir.empty() && chdir(spawn.dir.c_str()) != 0) {
        _exit(126);
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

// Reads once from fd; false at its end (0 from a pipe or a file, EIO from a
// terminal whose program has gone).
bool read_some(int fd, std::string &into)
{
    char buf[4096];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) {
        into.append(buf, static_cast<std::size_t>(n));
        return true;
    }
    return n < 0 && errno == EINTR;
}

// What the test is reading while the program runs.
struct Reading {
    pollfd fds[2];             // standard output (a pipe or a terminal), standard error; -1 once closed
    int tail = -1;             // a file that standard output goes to, followed as it grows
    std::string out_pending{}; // standard output not yet ended by a newline
    bool stopped = false;      // stop_signal sent
    bool killed = false;       // the time limit was reached
    double under_way_at = -1;  // when the program was first seen under way (spawn.hpp)
    bool open() const { return fds[0].fd >= 0 || fds[1].fd >= 0; }
    void close_fd(int i)
    {
        close(fds[i].fd);
        fds[i].fd = -1;
    }
};

// Waits a moment for output and takes what has come, stamping each line after it
// has been read, so that no stamp is ever early.
void take_what_came(Reading &reading, Clock::time_point start, Recording &result)
{
    if (poll(reading.fds, 2, 20) < 0 && errno != EINTR) { // 20 ms: a followed file gives no event
        ADD_FAILURE() << "poll: " << strerror(errno);
        reading.close_fd(0);
        reading.close_fd(1);
        return;
    }
    // Standard error first: it closes only once the program and everything it
    // started have gone, so what they wrote to a file is all there when the file
    // is read below. A pipe or a terminal says it has ended only once it is empty.
    pollfd &err = reading.fds[1];
    if (err.fd >= 0 && err.revents != 0 && !read_some(err.fd, result.err)) {
        reading.close_fd(1);
    }
    pollfd &out = reading.fds[0];
    if (out.fd >= 0 && out.revents != 0 && !read_some(out.fd, reading.out_pending)) {
        reading.close_fd(0);
    }
    while (reading.tail >= 0 && read_some(reading.tail, reading.out_pending)) {
    }
    take_lines(reading.out_pending, seconds_since(start), result.lines);
}

// Hangs up, stops or kills the program when Spawn says.
void act(const Spawn &spawn, pid_t pid, Reading &reading, double now, double time_limit, const Recording &result)
{
    // The one process to stop, where Spawn names one: nothing is stopped before it
    // is there, and it is the one whose threads say that it is under way.
    const pid_t one = spawn.stop_whom && !reading.stopped ? spawn.stop_whom(pid) : 0;
    if (reading.under_way_at < 0 && (!result.lines.empty() || !reading.out_pending.empty() || !result.err.empty() ||
                                     threads_of(one > 0 ? one : pid) > 1)) {
        reading.under_way_at = now;
    }
    const double under_way_for = reading.under_way_at < 0 ? -1 : now - reading.under_way_at;
    if (spawn.hang_up_after > 0 && reading.fds[0].fd >= 0 && under_way_for >= spawn.hang_up_after) {
        reading.close_fd(0); // the terminal's master side: its slave now says EIO to a write
    }
    const bool enough_lines = spawn.stop_after_lines > 0 && result.lines.size() >= spawn.stop_after_lines;
    const bool long_enough = spawn.stop_after_seconds > 0 && under_way_for >= spawn.stop_after_seconds;
    const bool there = !spawn.stop_whom || one > 0;
    if (!reading.stopped && there && (enough_lines || long_enough)) {
        if (spawn.before_stop) {
            spawn.before_stop(pid);
        }
        const bool typed = spawn.output == Output::terminal && spawn.hang_up_after <= 0 && one <= 0 &&
                           spawn.stop_signal == SIGINT && reading.fds[0].fd >= 0;
        if (typed) {
            const char ctrl_c = '\x03';
            if (write(reading.fds[0].fd, &ctrl_c, 1) != 1) {
                ADD_FAILURE() << "typing Ctrl-C: " << strerror(errno);
            }
            reading.stopped = true;
        } else { // the one process asked for, or else the group; tried again if it is not there yet
            reading.stopped = kill(one > 0 ? one : -pid, spawn.stop_signal) == 0 || errno != ESRCH;
        }
    }
    if (!reading.killed && now >= time_limit) {
        ADD_FAILURE() << spawn.argv[0] << " still running after " << time_limit << " s"
                      << (spawn.time_limit > 0 ? "" : ", and the test about to time out") << "; killed";
        kill(-pid, SIGKILL);
        reading.killed = true;
    }
}

// Step 3: reads standard output and standard error until both are closed.
void read_until_closed(const Spawn &spawn, pid_t pid, const Ends &ends, int err_fd, Clock::time_point start,
                       Recording &result)
{
    Reading reading{.fds = {{ends.read, POLLIN, 0}, {err_fd, POLLIN, 0}}, .tail = ends.tail};
    const double time_limit = spawn.time_limit > 0 ? spawn.time_limit : until_the_test_times_out(start);
    while (reading.open()) {
        take_what_came(reading, start, result);
        act(spawn, pid, reading, seconds_since(start), time_limit, result);
    }
    if (!reading.out_pending.empty()) { // a last line without its newline
        result.lines.push_back({reading.out_pending + kNoNewline, seconds_since(start)});
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
    if (!arg_strings.empty() && arg_strings[0].rfind(BUILD_DIR "/", 0) == 0) {
        const std::vector<std::string> words = emulator();
        arg_strings.insert(arg_strings.begin(), words.begin(), words.end());
    }
    std::vector<std::string> env_strings(spawn.env);
    for (char **e = environ; *e != nullptr; e++) {
        env_strings.emplace_back(*e);
    }
    if (getenv("SLOW_START_SECONDS") != nullptr) { // the slow-start preset: see tests/CMakeLists.txt
        auto preload = std::find_if(env_strings.begin(), env_strings.end(),
                                    [](const std::string &e) { return e.rfind("LD_PRELOAD=", 0) == 0; });
        if (preload == env_strings.end()) {
            env_strings.insert(env_strings.begin(), "LD_PRELOAD=" SLOW_START);
        } else {
            *preload += ":" SLOW_START;
        }
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
    if (spawn.output != Output::terminal) {
        setpgid(pid, pid); // as the child does, so that its group is there before anything is sent to it
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
