#include "run.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <iomanip>
#include <sstream>

namespace check {

namespace {

double now()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// Splits what arrives into lines, each timed when its newline came.
struct Stream {
    int fd = -1;
    std::string partial{};
    std::size_t total = 0;
    bool open() const { return fd >= 0; }
};

void take(std::vector<Line> &lines, std::string &partial, const char *data, std::size_t n, double at)
{
    for (std::size_t i = 0; i < n; i++) {
        if (data[i] == '\n') {
            if (!partial.empty() && partial.back() == '\r') {
                partial.pop_back(); // a terminal's line end
            }
            lines.push_back({partial, at});
            partial.clear();
        } else {
            partial += data[i];
        }
    }
}

std::vector<pid_t> children_of(pid_t parent)
{
    std::vector<pid_t> pids;
    DIR *proc = opendir("/proc");
    if (proc == nullptr) {
        return pids;
    }
    while (dirent *entry = readdir(proc)) {
        pid_t pid = atoi(entry->d_name);
        if (pid <= 0) {
            continue;
        }
        char path[64];
        snprintf(path, sizeof path, "/proc/%d/stat", pid);
        FILE *f = fopen(path, "re");
        if (f == nullptr) {
            continue;
        }
        char buf[512];
        std::size_t n = fread(buf, 1, sizeof buf - 1, f);
        fclose(f);
        buf[n] = '\0';
        const char *close = strrchr(buf, ')');
        char state = 0;
        int ppid = 0;
        if (close != nullptr && sscanf(close + 1, " %c %d", &state, &ppid) == 2 && ppid == parent) {
            pids.push_back(pid);
        }
    }
    closedir(proc);
    return pids;
}

bool group_alive(pid_t group)
{
    return kill(-group, 0) == 0;
}

[[noreturn]] void start_child(const Run &r, int out, int err, const char *tty_name, char **argv, char **envp)
{
    setsid();
    if (tty_name != nullptr) {
        int tty = ::open(tty_name, O_RDWR);
        if (tty < 0 || ioctl(tty, TIOCSCTTY, 0) != 0) {
            _exit(126);
        }
        out = tty;
    }
    int null = ::open("/dev/null", O_RDONLY);
    if (null < 0 || dup2(null, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) {
        _exit(126);
    }
    syscall(SYS_close_range, 3U, ~0U, 0U);
    if (!r.dir.empty() && chdir(r.dir.c_str()) != 0) {
        _exit(126);
    }
    auto limit = [](int resource, rlim_t value) {
        rlimit l{value, value};
        setrlimit(resource, &l);
    };
    rlimit cpu{static_cast<rlim_t>(r.cpu_seconds), static_cast<rlim_t>(r.cpu_seconds) + 5};
    setrlimit(RLIMIT_CPU, &cpu);
    if (r.limit_address_space) {
        limit(RLIMIT_AS, rlim_t{4} << 30);
    }
    limit(RLIMIT_FSIZE, kOutputCap * 4);
    limit(RLIMIT_NOFILE, 256);
    limit(RLIMIT_CORE, 0);
    if (r.niceness > 0 && nice(r.niceness) == -1) {
        _exit(126);
    }
    signal(SIGPIPE, SIG_DFL);
    signal(SIGINT, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execve(argv[0], argv, envp);
    _exit(127);
}

} // namespace

std::string Seen::description() const
{
    std::ostringstream s;
    s.precision(1);
    s << std::fixed;
    if (flooded) {
        s << "stopped at " << ended << " s for writing more than " << (kOutputCap >> 20) << " MiB";
    } else if (bounded) {
        s << "still running at its bound of " << std::setprecision(0) << bound << " s; stopped";
    } else if (stopped) {
        s << "stopped with Ctrl-C at " << ended << " s";
    } else if (WIFEXITED(status)) {
        s << "ended by itself at " << ended << " s with status " << WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        int sig = WTERMSIG(status);
        s << "killed at " << ended << " s by "
          << (sig == SIGXCPU   ? "its CPU-time limit (SIGXCPU)"
              : sig == SIGXFSZ ? "its file-size limit (SIGXFSZ)"
                               : strsignal(sig));
    }
    return s.str();
}

Seen run(const Run &r)
{
    Seen seen;
    int out[2] = {-1, -1}; // [0] read by the checker
    int err[2] = {-1, -1};
    int master = -1;
    char tty_name[256] = {};
    std::string file;
    if (pipe2(err, O_CLOEXEC) != 0) {
        seen.err = std::string("pipe: ") + strerror(errno);
        return seen;
    }
    if (r.output == Output::terminal) {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 ||
            ptsname_r(master, tty_name, sizeof tty_name) != 0) {
            seen.err = std::string("pseudo-terminal: ") + strerror(errno);
            return seen;
        }
        winsize size{24, 80, 0, 0};
        ioctl(master, TIOCSWINSZ, &size);
        termios modes{};
        if (tcgetattr(master, &modes) == 0) {
            modes.c_lflag &= ~static_cast<tcflag_t>(ECHO); // Ctrl-C, typed at the end of a watch, is not written back
            tcsetattr(master, TCSANOW, &modes);
        }
        out[0] = master;
    } else if (r.output == Output::pipe) {
        if (pipe2(out, O_CLOEXEC) != 0) {
            seen.err = std::string("pipe: ") + strerror(errno);
            return seen;
        }
    } else {
        file = r.dir + "/output.txt";
        out[1] = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        out[0] = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
        if (out[0] < 0 || out[1] < 0) {
            seen.err = "cannot make " + file + ": " + strerror(errno);
            return seen;
        }
    }

    std::vector<std::string> env_strings;
    for (char **e = environ; *e != nullptr; e++) {
        env_strings.emplace_back(*e);
    }
    env_strings.insert(env_strings.end(), r.env.begin(), r.env.end());
    std::vector<char *> argv;
    std::vector<char *> envp;
    envp.reserve(env_strings.size() + 1);
    for (const auto &a : r.argv) {
        argv.push_back(const_cast<char *>(a.c_str()));
    }
    argv.push_back(nullptr);
    for (const auto &e : env_strings) {
        envp.push_back(const_cast<char *>(e.c_str()));
    }
    envp.push_back(nullptr);

    double start = now();
    pid_t pid = fork();
    if (pid == 0) {
        start_child(r, out[1], err[1], r.output == Output::terminal ? tty_name : nullptr, argv.data(), envp.data());
    }
    if (out[1] >= 0) {
        close(out[1]);
    }
    close(err[1]);
    if (pid < 0) {
        seen.err = std::string("fork: ") + strerror(errno);
        return seen;
    }
    for (int fd : {out[0], err[0]}) {
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    }

    Stream o{out[0]};
    Stream e{err[0]};
    double first = -1; // when the first output came
    double end_at = 0;
    bool ended = false;
    bool interrupted = false;
    auto since_first = [&](double t) { return first < 0 ? t - start : t - first; };
    char buf[65536];
    while (true) {
        pollfd fds[2];
        int n = 0;
        if (o.open() && r.output != Output::file) {
            fds[n++] = {o.fd, POLLIN, 0};
        }
        if (e.open()) {
            fds[n++] = {e.fd, POLLIN, 0};
        }
        poll(fds, static_cast<nfds_t>(n), 20);
        double t = now();
        auto drain = [&](Stream &s, bool is_out) {
            const bool follow = is_out && r.output == Output::file; // a file is read as it grows
            while (s.open()) {
                ssize_t got = read(s.fd, buf, sizeof buf);
                if (got < 0 && errno == EINTR) {
                    continue;
                }
                if (got < 0 && errno == EAGAIN) {
                    return;
                }
                if (got <= 0) { // the end, or a terminal whose last writer has gone (EIO)
                    if (!follow) {
                        close(s.fd);
                        s.fd = -1;
                    }
                    return;
                }
                if (first < 0) {
                    first = t;
                }
                std::size_t room = kOutputCap - std::min(kOutputCap, s.total);
                std::size_t keep = std::min(static_cast<std::size_t>(got), room);
                s.total += static_cast<std::size_t>(got);
                if (is_out) {
                    take(seen.lines, s.partial, buf, keep, since_first(t));
                } else {
                    seen.err.append(buf, keep);
                }
                if (s.total > kOutputCap && !seen.flooded && !ended) {
                    seen.flooded = true;
                    kill(-pid, SIGKILL);
                }
            }
        };
        for (int i = 0; i < n; i++) {
            if (fds[i].revents != 0) {
                drain(fds[i].fd == o.fd ? o : e, fds[i].fd == o.fd);
            }
        }
        if (r.output == Output::file) {
            drain(o, true);
        }
        if (!ended) {
            int status = 0;
            pid_t done = waitpid(pid, &status, WNOHANG);
            if (done == pid) {
                ended = true;
                end_at = t;
                seen.status = status;
                seen.left_behind = group_alive(pid);
                kill(-pid, SIGKILL); // whatever it started in its group goes with it
            } else if (t - start > r.bound) {
                seen.bounded = true;
                kill(-pid, SIGKILL);
            } else if (r.watch > 0 && first >= 0 && !interrupted && t - first > r.watch) {
                interrupted = true;
                seen.stopped = true;
                if (r.output == Output::terminal) {
                    char ctrl_c = 3; // as a user types it
                    if (write(master, &ctrl_c, 1) != 1) {
                        kill(-pid, SIGINT);
                    }
                } else {
                    kill(-pid, SIGINT);
                }
            } else if (interrupted && t - first > r.watch + 5) {
                kill(-pid, SIGKILL); // it would not stop
            }
        } else if (t - end_at > 0.2 || (!e.open() && (r.output == Output::file || !o.open()))) {
            // Whatever arrives later was written by a process that outlived it.
            if (r.output == Output::file) {
                drain(o, true);
            }
            break;
        }
    }
    if (!o.partial.empty()) {
        seen.lines.push_back({o.partial + " <no newline>", since_first(end_at)});
    }
    seen.ended = since_first(end_at);
    seen.bound = r.bound;
    if (o.open()) {
        close(o.fd);
    }
    if (e.open()) {
        close(e.fd);
    }
    if (seen.stopped && WIFSIGNALED(seen.status) && WTERMSIG(seen.status) != SIGINT &&
        WTERMSIG(seen.status) != SIGKILL) {
        seen.stopped = false; // it died of something else first
    }
    return seen;
}

void end_every_child()
{
    for (int round = 0; round < 50; round++) {
        std::vector<pid_t> left = children_of(getpid());
        if (left.empty()) {
            break;
        }
        for (pid_t pid : left) {
            kill(-pid, SIGKILL);
            kill(pid, SIGKILL);
        }
        int status = 0;
        while (waitpid(-1, &status, WNOHANG) > 0) {
        }
        usleep(10'000);
    }
}

} // namespace check
