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
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

namespace {

constexpr double kHardLimit = 60;

double seconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Splits what has arrived into whole lines, each stamped with the time it came.
void take_lines(std::string &pending, double at, std::vector<Line> &lines)
{
    for (std::size_t nl; (nl = pending.find('\n')) != std::string::npos; pending.erase(0, nl + 1)) {
        lines.push_back({pending.substr(0, nl), at});
    }
}

// In the child, between fork and exec: only async-signal-safe calls.
[[noreturn]] void exec_child(int out_fd, bool is_terminal, int err_fd, char *const argv[], char *const envp[])
{
    if (is_terminal) {
        setsid();
        ioctl(out_fd, TIOCSCTTY, 0);
    }
    // A fresh start: default signal actions and no blocked signals, as from a shell.
    for (int sig = 1; sig < NSIG; sig++) {
        signal(sig, SIG_DFL);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);

    int devnull = open("/dev/null", O_RDONLY);
    dup2(devnull, STDIN_FILENO);
    dup2(out_fd, STDOUT_FILENO);
    dup2(err_fd, STDERR_FILENO);
    closefrom(STDERR_FILENO + 1);
    execve(argv[0], argv, envp);
    _exit(127);
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

Recording record(const Spawn &spawn)
{
    std::vector<std::string> env_strings(spawn.env);
    for (char **e = environ; *e != nullptr; e++) {
        env_strings.emplace_back(*e);
    }
    std::vector<char *> envp;
    envp.reserve(env_strings.size() + 1);
    for (std::string &s : env_strings) {
        envp.push_back(s.data());
    }
    envp.push_back(nullptr);
    std::vector<std::string> arg_strings(spawn.argv);
    std::vector<char *> argv;
    argv.reserve(arg_strings.size() + 1);
    for (std::string &s : arg_strings) {
        argv.push_back(s.data());
    }
    argv.push_back(nullptr);

    // Where standard output goes (child_out) and where the test reads it (read_out).
    int child_out = -1;
    int read_out = -1;
    std::string file = spawn.file;
    if (spawn.output == Output::terminal) {
        termios raw{};
        cfmakeraw(&raw); // no "\r\n" for "\n", no echo
        if (openpty(&read_out, &child_out, nullptr, &raw, nullptr) != 0) {
            ADD_FAILURE() << "openpty: " << strerror(errno);
            return {};
        }
    } else if (spawn.output == Output::pipe) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) {
            ADD_FAILURE() << "pipe2: " << strerror(errno);
            return {};
        }
        read_out = fds[0];
        child_out = fds[1];
    } else {
        if (file.empty()) {
            char name[] = "/tmp/spawn-output-XXXXXX";
            child_out = mkstemp(name);
            file = name;
        } else {
            child_out = open(file.c_str(), O_WRONLY | O_TRUNC);
        }
        if (child_out < 0) {
            ADD_FAILURE() << file << ": " << strerror(errno);
            return {};
        }
    }
    // A new file is followed as it grows, as tail -f would; a file of the caller's
    // (/dev/full, say) is the caller's to read.
    int tail = -1;
    if (spawn.output == Output::file && spawn.file.empty()) {
        tail = open(file.c_str(), O_RDONLY | O_CLOEXEC);
        unlink(file.c_str());
    }
    int err_pipe[2];
    if (pipe2(err_pipe, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe2: " << strerror(errno);
        return {};
    }

    const auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid < 0) {
        ADD_FAILURE() << "fork: " << strerror(errno);
        return {};
    }
    if (pid == 0) {
        exec_child(child_out, spawn.output == Output::terminal, err_pipe[1], argv.data(), envp.data());
    }
    close(child_out);
    close(err_pipe[1]);

    Recording result;
    std::string out_pending;
    auto read_tail = [&] {
        char buf[4096];
        for (ssize_t n; tail >= 0 && (n = read(tail, buf, sizeof buf)) > 0;) {
            out_pending.append(buf, static_cast<std::size_t>(n));
        }
        take_lines(out_pending, seconds_since(start), result.lines);
    };
    bool stopped = false;
    pollfd fds[2] = {{read_out, POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
        double now = seconds_since(start);
        if (!stopped && spawn.stop_after > 0 && now >= spawn.stop_after) {
            if (spawn.before_stop) {
                spawn.before_stop(pid);
            }
            kill(pid, spawn.stop_signal);
            stopped = true;
        }
        if (now >= kHardLimit) {
            ADD_FAILURE() << argv[0] << " still running after " << kHardLimit << " s; killed";
            kill(pid, SIGKILL);
            stopped = true;
        }
        if (poll(fds, 2, 20) < 0 && errno != EINTR) {
            ADD_FAILURE() << "poll: " << strerror(errno);
            break;
        }
        read_tail();
        for (pollfd &p : fds) {
            if (p.fd < 0 || p.revents == 0) {
                continue;
            }
            char buf[4096];
            ssize_t n = read(p.fd, buf, sizeof buf);
            if (n > 0 && &p == &fds[0]) {
                out_pending.append(buf, static_cast<std::size_t>(n));
                take_lines(out_pending, seconds_since(start), result.lines);
            } else if (n > 0) {
                result.err.append(buf, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) { // a terminal says EIO once the program has gone
                close(p.fd);
                p.fd = -1;
            }
        }
    }
    waitpid(pid, &result.status, 0);

    read_tail();
    if (tail >= 0) {
        close(tail);
    }
    if (!out_pending.empty()) { // a last line without its newline
        result.lines.push_back({out_pending + "<no newline>", seconds_since(start)});
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
