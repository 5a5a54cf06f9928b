// threads-check LESSON FILE...: judges a learner's own version of a lesson,
// point by point, from what its builds do when they run beside the lesson's own
// program. See threads-check(1).
#include "lesson.hpp"
#include "run.hpp"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#ifndef LESSONS
#error "LESSONS: the lessons, as \"name:watch-seconds;...\""
#endif
#ifndef SHIM
#error "SHIM: where the shim lies, relative to threads-check's directory"
#endif
#ifndef MISTAKES
#error "MISTAKES: where the mistakes page lies, relative to threads-check's directory"
#endif
#ifndef CC_FAMILY
#error "CC_FAMILY: the C compiler and the C++ compiler, as \"gcc g++\""
#endif

namespace {

using namespace check;

constexpr int kChecked = 0, kBroken = 1, kUnchecked = 2;
constexpr int kMostFailures = 4; // runs with the first, second, ... thread creation failing

std::string temp_root;               // removed on the way out, whatever happens
volatile sig_atomic_t signalled = 0; // the signal that interrupted the checker, or 0
bool interrupted()
{
    return signalled != 0;
}

std::string directory_of_self()
{
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) {
        return ".";
    }
    path[n] = '\0';
    std::string p(path);
    return p.substr(0, p.rfind('/'));
}

std::string normal(const std::string &path)
{
    char real[PATH_MAX];
    return realpath(path.c_str(), real) != nullptr ? std::string(real) : path;
}

bool executable(const std::string &path)
{
    return access(path.c_str(), X_OK) == 0;
}

std::string on_path(const std::string &name)
{
    const char *path = getenv("PATH");
    std::istringstream in(path == nullptr ? "/usr/bin:/bin" : path);
    for (std::string dir; std::getline(in, dir, ':');) {
        std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        if (executable(candidate)) {
            return candidate;
        }
    }
    return "";
}

std::string first_of_these(const std::vector<std::string> &paths)
{
    for (const std::string &p : paths) {
        if (access(p.c_str(), R_OK) == 0) {
            return normal(p);
        }
    }
    return paths.front();
}

std::vector<Lesson> lessons()
{
    std::vector<Lesson> all;
    std::istringstream in(LESSONS);
    for (std::string item; std::getline(in, item, ';');) {
        std::size_t colon = item.find(':');
        all.push_back({item.substr(0, colon), atof(item.c_str() + colon + 1)});
    }
    return all;
}

void remove_tree(const std::string &path)
{
    if (path.empty()) {
        return;
    }
    pid_t pid = fork();
    if (pid == 0) {
        execlp("rm", "rm", "-rf", "--one-file-system", "--", path.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    int status = 0;
    if (pid > 0) {
        waitpid(pid, &status, 0);
    }
}

// Runs the compiler; its messages, and whether it made the program.
struct Compiled {
    bool made = false;
    std::string messages;
};

Compiled compile(const std::vector<std::string> &argv)
{
    Seen s = run({.argv = argv, .bound = 300, .limit_address_space = false, .cpu_seconds = 300, .niceness = 10});
    Compiled c;
    c.made = WIFEXITED(s.status) && WEXITSTATUS(s.status) == 0;
    for (const Line &l : s.lines) {
        c.messages += l.text + "\n";
    }
    c.messages += s.err;
    if (s.bounded) {
        c.messages += "the compiler was still running after 300 s; stopped\n";
    }
    return c;
}

// A file's report, and how it went.
struct Report {
    std::string text;
    int status = kChecked;
    std::map<std::string, State> points;
};

Report refuse(const std::string &file, const std::string &why)
{
    Report r;
    r.status = kUnchecked;
    r.text = "== " + file + "\nnot checked: " + why + "\n";
    return r;
}

bool broken_point(const std::vector<Verdict> &verdicts, const std::string &point)
{
    return std::any_of(verdicts.begin(), verdicts.end(),
                       [&](const Verdict &v) { return v.point == point && v.state == State::broken; });
}

// Checks one file; runs in a process of its own, which reaps whatever the
// learner's programs leave behind.
Report check_file(const Lesson &lesson, const Tools &tools, const std::string &file, const std::string &dir,
                  const std::string &own)
{
    std::string name = file.substr(file.rfind('/') + 1);
    std::string ext = name.find('.') == std::string::npos ? "" : name.substr(name.rfind('.'));
    struct stat st {};
    if (stat(file.c_str(), &st) != 0) {
        return refuse(file, std::string("cannot read it: ") + strerror(errno));
    }
    if (S_ISDIR(st.st_mode)) {
        return refuse(file, "it is a directory; expected a C or C++ source file");
    }
    if (access(file.c_str(), R_OK) != 0) {
        return refuse(file, std::string("cannot read it: ") + strerror(errno));
    }
    if (st.st_size == 0) {
        return refuse(file, "it is empty; expected a C or C++ source file with a main");
    }
    bool c = ext == ".c";
    bool cxx = ext == ".cpp" || ext == ".cc" || ext == ".cxx";
    if (!c && !cxx) {
        return refuse(file, "its name does not end in .c (C) or .cpp, .cc or .cxx (C++)");
    }
    std::string source = file[0] == '-' ? "./" + file : file;
    std::istringstream family(CC_FAMILY);
    std::string cc_name;
    std::string cxx_name;
    family >> cc_name >> cxx_name;
    std::string compiler = c ? tools.cc : tools.cxx;
    if (compiler.empty()) {
        return refuse(file, (c ? cc_name : cxx_name) + " is not installed (sudo apt-get install " +
                                (cc_name == "gcc" ? (c ? "gcc" : "g++") : "clang") + ")");
    }
    Builds builds;
    builds.plain = dir + "/plain";
    const std::vector<std::string> flags{"-pthread", "-Wall", "-Wextra", "-Wformat=2"};
    std::vector<std::string> plain{compiler, "-O2", "-g"};
    plain.insert(plain.end(), flags.begin(), flags.end());
    plain.insert(plain.end(), {"-o", builds.plain, source});
    // C++ as the project's own lessons are (C keeps the compiler's default).
    const std::vector<std::string> standard = c ? std::vector<std::string>{} : std::vector<std::string>{"-std=c++20"};
    plain.insert(plain.begin() + 1, standard.begin(), standard.end());
    std::vector<std::string> asan{
        compiler,   "-O1", "-g", "-fno-omit-frame-pointer", "-fsanitize=address,undefined", "-fno-sanitize-recover=all",
        "-pthread", "-w"};
    std::vector<std::string> tsan{compiler, "-O1", "-g", "-fsanitize=thread", "-pthread", "-w"};
    for (auto *build : {&asan, &tsan}) {
        build->insert(build->end(), standard.begin(), standard.end());
    }
    asan.insert(asan.end(), {"-o", dir + "/asan", source});
    tsan.insert(tsan.end(), {"-o", dir + "/tsan", source});
    Compiled made_plain;
    Compiled made_asan;
    Compiled made_tsan;
    {
        std::thread a([&] { made_asan = compile(asan); });
        std::thread t([&] { made_tsan = compile(tsan); });
        made_plain = compile(plain);
        a.join();
        t.join();
    }
    if (!made_plain.made) {
        Report r = refuse(file, "it does not compile; the compiler says:");
        r.text += made_plain.messages;
        return r;
    }
    builds.warnings = made_plain.messages;
    builds.asan = made_asan.made ? dir + "/asan" : "";
    builds.tsan = made_tsan.made ? dir + "/tsan" : "";

    // The lesson's own program runs beside the learner's build, the same runs but
    // for the tools that judge the learner's alone; of its runs with a creation
    // failing, as many are kept as it makes threads.
    Observed reference;
    std::string ref_dir = dir + "/lesson";
    mkdir(ref_dir.c_str(), 0700);
    std::thread lesson_runs([&] {
        Builds own_build;
        own_build.plain = own;
        reference = observe(lesson, tools, own_build, ref_dir, kMostFailures, true);
        reference.failures.resize(static_cast<std::size_t>(std::clamp(reference.calls.created, 1, kMostFailures)));
    });

    std::string runs_dir = dir + "/runs";
    mkdir(runs_dir.c_str(), 0700);
    Observed learner = observe(lesson, tools, builds, runs_dir, kMostFailures, false);
    lesson_runs.join();
    std::vector<Verdict> verdicts = judge(lesson, tools, builds, learner, reference);
    // A line timed at the wrong second may be the checker's, read late on a busy
    // machine: the rhythm is broken only if two more runs on a terminal say so.
    // A program that sleeps wrong is wrong in every run.
    for (int again = 0; again < 2 && broken_point(verdicts, "rhythm"); again++) {
        std::string retry = runs_dir + "/terminal-again" + std::to_string(again + 1);
        mkdir(retry.c_str(), 0700);
        learner.terminal = terminal_run(lesson, builds, retry);
        verdicts = judge(lesson, tools, builds, learner, reference);
    }

    Report r;
    std::ostringstream out;
    out << "== " << file << "\n";
    if (!builds.warnings.empty()) {
        out << "the compiler warns (the build goes on):\n";
        std::istringstream w(builds.warnings);
        for (std::string line; std::getline(w, line);) {
            out << "  " << line << "\n";
        }
    }
    int broken = 0;
    for (const Verdict &v : verdicts) {
        const char *word = v.state == State::ok ? "ok" : v.state == State::broken ? "broken" : "not checked";
        out << word << " " << v.point << ": " << v.text << "\n";
        r.points[v.point] = v.state;
        broken += v.state == State::broken ? 1 : 0;
    }
    out << (broken == 0 ? "every point holds"
                        : std::to_string(broken) + " of " + std::to_string(verdicts.size()) + " points broken")
        << "\n";
    r.text = out.str();
    r.status = broken == 0 ? kChecked : kBroken;
    return r;
}

// A report travels from the file's process as text: "status", then "point state"
// lines, then the report itself.
std::string serialise(const Report &r)
{
    std::ostringstream s;
    s << r.status << "\n";
    for (const auto &[point, state] : r.points) {
        s << point << " " << static_cast<int>(state) << "\n";
    }
    s << "--\n" << r.text;
    return s.str();
}

Report deserialise(const std::string &text)
{
    Report r;
    std::istringstream in(text);
    std::string line;
    if (!std::getline(in, line) || line.empty()) {
        r.status = kUnchecked;
        r.text = "not checked: the check itself failed\n";
        return r;
    }
    r.status = atoi(line.c_str());
    while (std::getline(in, line) && line != "--") {
        std::size_t sp = line.find(' ');
        r.points[line.substr(0, sp)] = static_cast<State>(atoi(line.c_str() + sp + 1));
    }
    std::ostringstream rest;
    rest << in.rdbuf();
    r.text = rest.str();
    return r;
}

void on_signal(int sig)
{
    signalled = sig;
}

int usage(const std::string &why)
{
    std::string names;
    for (const Lesson &l : lessons()) {
        names += (names.empty() ? "" : ", ") + l.name;
    }
    fprintf(stderr,
            "threads-check: %s\nusage: threads-check [--jobs N] [--csv FILE] LESSON FILE...\n"
            "LESSON is one of: %s; see threads-check(1)\n",
            why.c_str(), names.c_str());
    return kUnchecked;
}

std::string csv_field(const std::string &s)
{
    if (s.find_first_of(",\"\n") == std::string::npos) {
        return s;
    }
    std::string q = "\"";
    for (char c : s) {
        q += c == '"' ? std::string("\"\"") : std::string(1, c);
    }
    return q + "\"";
}

} // namespace

int main(int argc, char *argv[])
{
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string csv;
    long jobs = std::max(1L, sysconf(_SC_NPROCESSORS_ONLN));
    std::size_t i = 0;
    for (; i < args.size() && args[i].size() > 1 && args[i][0] == '-'; i++) {
        if (args[i] == "--") {
            i++;
            break;
        }
        if (args[i] == "--csv" && i + 1 < args.size()) {
            csv = args[++i];
        } else if (args[i] == "--jobs" && i + 1 < args.size() && atoi(args[i + 1].c_str()) > 0) {
            jobs = atoi(args[++i].c_str());
        } else if (args[i] == "--help" || args[i] == "-h") {
            usage("checks a learner's own version of a lesson");
            return kChecked;
        } else {
            return usage("unknown option " + args[i]);
        }
    }
    if (i >= args.size()) {
        return usage("no lesson given");
    }
    std::string lesson_name = args[i++];
    const std::vector<Lesson> all = lessons();
    auto found = std::find_if(all.begin(), all.end(), [&](const Lesson &l) { return l.name == lesson_name; });
    if (found == all.end()) {
        return usage("no lesson is called \"" + lesson_name + "\"");
    }
    const Lesson &lesson = *found;
    std::vector<std::string> files(args.begin() + static_cast<long>(i), args.end());
    if (files.empty()) {
        return usage("no file given");
    }

    const std::string here = directory_of_self();
    Tools tools;
    std::istringstream family(CC_FAMILY);
    std::string cc_name;
    std::string cxx_name;
    family >> cc_name >> cxx_name;
    tools.cc = on_path(cc_name);
    tools.cxx = on_path(cxx_name);
    tools.valgrind = on_path("valgrind");
    tools.strace = on_path("strace");
    // Installed, beside the programs; in a build tree, beside threads-check.
    tools.shim = first_of_these({here + "/" + SHIM, here + "/threads-check-shim.so"});
    tools.mistakes_page = first_of_these({here + "/" + MISTAKES, MISTAKES_IN_SOURCE});
    // From the top of a checkout, the page is docs/mistakes.md, as the reader knows it.
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) != nullptr && tools.mistakes_page.rfind(std::string(cwd) + "/", 0) == 0) {
        tools.mistakes_page = tools.mistakes_page.substr(strlen(cwd) + 1);
    }
    const std::string own = here + "/" + lesson.name;
    if (!executable(own)) {
        fprintf(stderr,
                "threads-check: the lesson's own program is not at %s; it is what a version is judged "
                "beside (see threads-check(1))\n",
                own.c_str());
        return kUnchecked;
    }
    if (access(tools.shim.c_str(), R_OK) != 0) {
        fprintf(stderr, "threads-check: its shim is not at %s (see threads-check(1))\n", tools.shim.c_str());
        return kUnchecked;
    }

    const char *tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/threads-check.XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        fprintf(stderr, "threads-check: cannot make a directory for the builds: %s\n", strerror(errno));
        return kUnchecked;
    }
    temp_root = pattern;
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    prctl(PR_SET_CHILD_SUBREAPER, 1);

    // Each file in a process of its own, `jobs` at once.
    struct Job {
        pid_t pid = -1;
        int fd = -1;
        std::string text;
        bool done = false;
        Report report;
    };
    std::vector<Job> job(files.size());
    std::map<std::string, std::size_t> first_of;
    const bool progress = isatty(2) != 0 && files.size() > 1;
    std::size_t next = 0;
    std::size_t running = 0;
    std::size_t done = 0;
    std::size_t printed = 0;
    while (done < files.size()) {
        while (!interrupted() && running < static_cast<std::size_t>(jobs) && next < files.size()) {
            std::size_t k = next++;
            std::string key = normal(files[k]);
            if (first_of.count(key) != 0) {
                job[k].report = refuse(files[k], "the same file as " + files[first_of[key]] + ", checked there");
                job[k].done = true;
                done++;
                continue;
            }
            first_of[key] = k;
            int p[2];
            if (pipe2(p, O_CLOEXEC) != 0) {
                job[k].report = refuse(files[k], std::string("pipe: ") + strerror(errno));
                job[k].done = true;
                done++;
                continue;
            }
            std::string dir = temp_root + "/file" + std::to_string(k + 1);
            mkdir(dir.c_str(), 0700);
            pid_t pid = fork();
            if (pid == 0) {
                close(p[0]);
                prctl(PR_SET_CHILD_SUBREAPER, 1);
                prctl(PR_SET_PDEATHSIG, SIGKILL);
                signal(SIGINT, SIG_IGN); // the checker ends it
                Report r = check_file(lesson, tools, files[k], dir, own);
                end_every_child();
                std::string s = serialise(r);
                for (std::size_t off = 0; off < s.size();) {
                    ssize_t n = write(p[1], s.data() + off, s.size() - off);
                    if (n <= 0) {
                        break;
                    }
                    off += static_cast<std::size_t>(n);
                }
                _exit(0);
            }
            close(p[1]);
            job[k].pid = pid;
            job[k].fd = p[0];
            running++;
        }
        if (interrupted() && running == 0) {
            break;
        }
        std::vector<pollfd> fds;
        std::vector<std::size_t> which;
        for (std::size_t k = 0; k < job.size(); k++) {
            if (job[k].fd >= 0) {
                fds.push_back({job[k].fd, POLLIN, 0});
                which.push_back(k);
            }
        }
        if (interrupted()) {
            for (std::size_t k : which) {
                kill(job[k].pid, SIGKILL);
            }
        }
        poll(fds.data(), fds.size(), 200);
        for (std::size_t n = 0; n < fds.size(); n++) {
            if (fds[n].revents == 0) {
                continue;
            }
            Job &j = job[which[n]];
            char buf[8192];
            ssize_t got = read(j.fd, buf, sizeof buf);
            if (got > 0) {
                j.text.append(buf, static_cast<std::size_t>(got));
                continue;
            }
            close(j.fd);
            j.fd = -1;
            int status = 0;
            waitpid(j.pid, &status, 0);
            j.report = deserialise(j.text);
            if (!interrupted() && !(WIFEXITED(status) && WEXITSTATUS(status) == 0)) {
                j.report = refuse(files[which[n]], "the check of this file ended abnormally");
            }
            j.done = true;
            running--;
            done++;
        }
        // Reports in the order the files were given, each as soon as it can be.
        while (printed < job.size() && job[printed].done && !interrupted()) {
            if (progress) {
                fputs("\r\033[K", stderr);
            }
            if (printed > 0) {
                fputs("\n", stdout); // between two reports
            }
            fputs(job[printed].report.text.c_str(), stdout);
            fflush(stdout);
            printed++;
        }
        if (progress && !interrupted()) {
            fprintf(stderr, "\r\033[Kchecked %zu of %zu files", done, files.size());
        }
        int status = 0;
        while (waitpid(-1, &status, WNOHANG) > 0) {
            // an orphan of a file's process
        }
    }
    if (progress) {
        fputs("\r\033[K", stderr);
    }
    end_every_child();
    remove_tree(temp_root);
    if (interrupted()) {
        fprintf(stderr, "threads-check: interrupted; %zu of %zu files were checked, and nothing is left behind\n",
                printed, files.size());
        return 128 + signalled;
    }

    int worst = kChecked;
    for (const Job &j : job) {
        worst = std::max(worst, j.report.status);
    }
    const std::vector<std::string> &names = point_names();
    if (files.size() > 1) {
        std::vector<std::string> shown;
        for (const std::string &p : names) {
            for (const Job &j : job) {
                if (j.report.points.count(p) != 0) {
                    shown.push_back(p);
                    break;
                }
            }
        }
        printf("\n");
        int width = 4;
        for (const std::string &f : files) {
            width = std::max(width, static_cast<int>(f.size()));
        }
        printf("%-*s %-7s", width, "file", "status");
        for (const std::string &p : shown) {
            printf(" %-*s", static_cast<int>(std::max<std::size_t>(p.size(), 6)), p.c_str());
        }
        printf("\n");
        for (std::size_t k = 0; k < files.size(); k++) {
            const Report &r = job[k].report;
            printf("%-*s %-7d", width, files[k].c_str(), r.status);
            for (const std::string &p : shown) {
                auto it = r.points.find(p);
                const char *word = it == r.points.end()          ? "-"
                                   : it->second == State::ok     ? "ok"
                                   : it->second == State::broken ? "BROKEN"
                                                                 : "n/c";
                printf(" %-*s", static_cast<int>(std::max<std::size_t>(p.size(), 6)), word);
            }
            printf("\n");
        }
    }
    if (!csv.empty()) {
        std::ofstream out(csv);
        out << "file,status";
        for (const std::string &p : names) {
            out << "," << p;
        }
        out << "\n";
        for (std::size_t k = 0; k < files.size(); k++) {
            const Report &r = job[k].report;
            out << csv_field(files[k]) << "," << r.status;
            for (const std::string &p : names) {
                auto it = r.points.find(p);
                out << ","
                    << (it == r.points.end()          ? ""
                        : it->second == State::ok     ? "ok"
                        : it->second == State::broken ? "broken"
                                                      : "not checked");
            }
            out << "\n";
        }
        if (!out) {
            fprintf(stderr, "threads-check: cannot write %s\n", csv.c_str());
            worst = std::max(worst, kUnchecked);
        }
    }
    return worst;
}
