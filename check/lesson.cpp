#include "lesson.hpp"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <thread>

namespace check {

namespace {

constexpr double kEarly =
    0.5; // a line may come this much before its second is due (timed when read, and the first line may be read late)
constexpr double kLate = 0.9; // and this much after

// In double quotes, with every byte that is not printable ASCII written as \xNN,
// so that no learner's output can reach the reader's terminal as a control.
std::string quoted(const std::string &s)
{
    std::string q = "\"";
    for (char c : s) {
        auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte >= 0x7f || c == '"' || c == '\\') {
            char esc[8];
            snprintf(esc, sizeof esc, "\\x%02x", byte);
            q += esc;
        } else {
            q += c;
        }
    }
    return q + "\"";
}

std::string seconds(double t)
{
    char buf[32];
    snprintf(buf, sizeof buf, "%.1f s", t);
    return buf;
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> texts(const Seen &seen)
{
    std::vector<std::string> t;
    for (const Line &l : seen.lines) {
        t.push_back(l.text);
    }
    return t;
}

bool failed(const Seen &s)
{
    return !(WIFEXITED(s.status) && WEXITSTATUS(s.status) == 0);
}

// The run's status in words.
std::string status_of(const Seen &s)
{
    if (WIFEXITED(s.status)) {
        return "status " + std::to_string(WEXITSTATUS(s.status));
    }
    if (WIFSIGNALED(s.status)) {
        return std::string("killed by ") + strsignal(WTERMSIG(s.status));
    }
    return "no status";
}

// A bounded run's end, where it did not end as the lesson's does.
std::string end_problem(const Lesson &lesson, const Seen &s, const std::string &what)
{
    if (s.bounded && s.lines.empty()) {
        return "nothing written: " + what + " still running at its bound of " +
               std::to_string(static_cast<int>(s.bound)) + " s; stopped";
    }
    if (s.flooded || s.bounded) {
        return what + " " + s.description();
    }
    if (lesson.watch == 0 && s.stopped) {
        return what + " " + s.description();
    }
    return "";
}

// ---- traces -------------------------------------------------------------

} // namespace

Trace read_trace(const std::string &path)
{
    Trace t;
    std::vector<std::string> lines = lines_of(read_file(path));
    if (lines.empty()) {
        return t;
    }
    t.traced = true;
    long main_pid = atol(lines.front().c_str());
    std::set<long> tids;
    std::map<long, std::string> pending;  // pid -> call waiting for its result
    std::vector<std::string> futex_waits; // main's waits: their value
    for (const std::string &line : lines) {
        long pid = atol(line.c_str());
        std::size_t sp = line.find(' ');
        if (sp == std::string::npos) {
            continue;
        }
        // strace pads the pid to a width of its own: "9822  clone3(...".
        std::size_t call_at = line.find_first_not_of(' ', sp);
        if (call_at == std::string::npos) {
            continue;
        }
        std::string call = line.substr(call_at);
        auto result = [&]() -> long {
            std::size_t eq = call.rfind(") = ");
            if (eq == std::string::npos) {
                eq = call.rfind("= ");
                return eq == std::string::npos ? -1 : atol(call.c_str() + eq + 2);
            }
            return atol(call.c_str() + eq + 4);
        };
        bool creation = call.rfind("clone(", 0) == 0 || call.rfind("clone3(", 0) == 0 || call.rfind("fork(", 0) == 0 ||
                        call.rfind("vfork(", 0) == 0;
        if (creation) {
            bool thread = call.find("CLONE_THREAD") != std::string::npos;
            (thread ? t.threads : t.processes)++;
            if (!thread && t.first_process.empty()) {
                t.first_process = call.substr(0, std::min<std::size_t>(call.size(), 60));
            }
            if (call.find("<unfinished ...>") != std::string::npos) {
                pending[pid] = thread ? "thread" : "process";
            } else if (thread) {
                tids.insert(result());
            }
        } else if (call.rfind("<... clone", 0) == 0 && pending[pid] == "thread") {
            tids.insert(result());
            pending.erase(pid);
        } else if (call.rfind("exit(", 0) == 0) {
            if (pid == main_pid) {
                t.main_exit = true;
            } else {
                t.thread_exits++;
            }
        } else if (call.rfind("futex(", 0) == 0 && pid == main_pid) {
            std::vector<std::string> args;
            std::istringstream in(call.substr(6));
            for (std::string a; std::getline(in, a, ',');) {
                args.push_back(a.substr(a.find_first_not_of(' ')));
            }
            if (args.size() >= 3 && args[1].find("FUTEX_WAIT") != std::string::npos) {
                futex_waits.push_back(args[2]);
            }
        }
    }
    for (const std::string &value : futex_waits) {
        if (tids.count(atol(value.c_str())) != 0) {
            t.main_waited = true;
        }
    }
    return t;
}

namespace {

Calls read_calls(const std::string &path)
{
    Calls c;
    std::map<std::string, int> joined; // handle -> successful joins
    std::set<std::string> detached;
    for (const std::string &line : lines_of(read_file(path))) {
        std::istringstream in(line);
        std::string what;
        std::string handle;
        long a = 0;
        long b = 0;
        in >> what >> handle >> a >> b;
        if (what == "create" && b == 0) {
            c.created++;
            if (a == 1) {
                c.created_detached++;
                detached.insert(handle);
            }
        } else if (what == "detach" && a == 0) {
            detached.insert(handle);
        } else if (what == "join-start") {
            c.unfinished_joins++;
        } else if (what == "join") {
            c.unfinished_joins--;
            if (a == 0) {
                c.joined++;
                joined[handle]++;
            } else {
                std::string how = "pthread_join returned " + std::string(strerror(static_cast<int>(a)));
                if (joined[handle] > 0) {
                    how += ": that thread had already been joined";
                } else if (detached.count(handle) != 0) {
                    how += ": that thread was detached";
                }
                c.bad_joins.push_back(how);
            }
        }
    }
    return c;
}

// ---- tool reports -------------------------------------------------------

// The lines of a valgrind report (its "==PID== " lines), without the prefix.
std::vector<std::string> valgrind_lines(const std::string &err)
{
    std::vector<std::string> out;
    for (const std::string &line : lines_of(err)) {
        if (line.size() > 2 && line.rfind("==", 0) == 0) {
            std::size_t end = line.find("== ", 2);
            if (end != std::string::npos) {
                out.push_back(line.substr(end + 3));
            } else if (line.find("==", 2) == line.size() - 2) {
                out.emplace_back(); // an empty report line, between two records
            }
        }
    }
    return out;
}

// The first record of a valgrind report that is about the program: its lines.
std::vector<std::string> first_record(const std::string &err, const std::function<bool(const std::string &)> &wanted)
{
    std::vector<std::string> lines = valgrind_lines(err);
    for (std::size_t i = 0; i < lines.size(); i++) {
        if (!lines[i].empty() && lines[i][0] != ' ' && wanted(lines[i])) {
            std::vector<std::string> record;
            // helgrind's records hold blank lines and end at a rule; memcheck's end at a blank line.
            bool ruled = lines[i].find("data race") != std::string::npos;
            for (std::size_t j = i; j < lines.size(); j++) {
                if (j > i && (ruled ? lines[j].rfind("---", 0) == 0 : lines[j].empty())) {
                    break;
                }
                record.push_back(lines[j]);
            }
            return record;
        }
    }
    return {};
}

bool mentions(const std::vector<std::string> &lines, const std::string &what)
{
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string &l) { return l.find(what) != std::string::npos; });
}

bool memcheck_error(const std::string &line)
{
    return line.find("Invalid ") == 0 || line.find("Conditional jump") == 0 || line.find("Use of uninitialised") == 0 ||
           line.find("Syscall param") == 0 || line.find("Mismatched free") == 0 ||
           line.find("are definitely lost") != std::string::npos ||
           line.find("are indirectly lost") != std::string::npos || line.find("Source and destination") == 0 ||
           line.find("Argument 'size'") == 0;
}

bool helgrind_race(const std::string &line)
{
    return line.find("Possible data race") == 0;
}

// A sanitizer's first report line ("ERROR: AddressSanitizer: ...", "WARNING:
// ThreadSanitizer: data race ...", "... runtime error: ..."), and the lines after.
std::vector<std::string> sanitizer_report(const std::string &err, const std::string &marker)
{
    std::vector<std::string> lines = lines_of(err);
    for (std::size_t i = 0; i < lines.size(); i++) {
        if (lines[i].find(marker) != std::string::npos) {
            std::vector<std::string> out;
            for (std::size_t j = i; j < lines.size() && j < i + 40; j++) {
                out.push_back(lines[j]);
            }
            return out;
        }
    }
    return {};
}

std::string trimmed_report_line(std::string line)
{
    std::size_t at = line.find("==ERROR: ");
    if (at != std::string::npos) {
        line = line.substr(at + 9);
    }
    if (line.rfind("==", 0) == 0) {
        std::size_t end = line.find("==", 2);
        if (end != std::string::npos) {
            line = line.substr(end + 2);
        }
    }
    std::size_t first = line.find_first_not_of(' ');
    return first == std::string::npos ? line : line.substr(first);
}

// ---- line judges ----------------------------------------------------------

// When each text's n-th line falls due, to the second: its first as it came in
// the lesson's own run, each one after it a second later (the lesson's lines
// that repeat are a worker's, a second apart). Only the first lines' times are
// taken from that run, so that a line of it read late or early on a busy
// machine moves no other.
std::map<std::string, std::vector<double>> due_seconds(const Seen &reference)
{
    std::map<std::string, std::vector<double>> due;
    for (const Line &l : reference.lines) {
        std::vector<double> &d = due[l.text];
        d.push_back(d.empty() ? std::round(l.at) : d.back() + 1);
    }
    return due;
}

std::map<std::string, int> counts(const std::vector<std::string> &t)
{
    std::map<std::string, int> c;
    for (const std::string &s : t) {
        c[s]++;
    }
    return c;
}

// The first difference between the lines written and the lesson's, or "".
std::string first_difference(const Lesson &lesson, const Seen &learner, const Seen &reference)
{
    std::map<std::string, int> left = counts(texts(reference));
    std::map<std::string, std::vector<double>> due = due_seconds(reference);
    std::map<std::string, int> seen_count;
    const bool endless = lesson.watch > 0;
    // The line still to come that falls due first.
    auto next_expected = [&]() -> std::string {
        std::string best;
        double best_due = 1e9;
        for (const auto &[text, n] : left) {
            if (n > 0) {
                double d = due[text][static_cast<std::size_t>(seen_count[text])];
                if (d < best_due) {
                    best_due = d;
                    best = text;
                }
            }
        }
        return best;
    };
    for (std::size_t i = 0; i < learner.lines.size(); i++) {
        const Line &l = learner.lines[i];
        auto it = left.find(l.text);
        bool known = it != left.end();
        bool allowed = known && (it->second > 0 || (endless && due[l.text].size() > 1));
        if (!allowed) {
            std::string expected = next_expected();
            std::string where = "line " + std::to_string(i + 1) + " at " + seconds(l.at) + ": ";
            if (expected.empty()) {
                return where + "expected no more lines, got " + quoted(l.text);
            }
            return where + "expected " + quoted(expected) + ", got " + quoted(l.text);
        }
        if (it->second > 0) {
            it->second--;
        }
        seen_count[l.text]++;
    }
    std::string expected = next_expected();
    if (!expected.empty()) {
        // An endless lesson's repeated line may come once less in a watch of the same length.
        if (!(endless && due[expected].size() > 1 && left[expected] <= 1 && seen_count[expected] > 0)) {
            std::string where = learner.lines.empty() ? std::string("no line at all")
                                                      : "after line " + std::to_string(learner.lines.size()) + " at " +
                                                            seconds(learner.lines.back().at);
            return where + ": expected " + quoted(expected) + ", got the end of the output (" + learner.description() +
                   ")";
        }
    }
    return "";
}

// The first line that came at the wrong time, or "".
std::string first_untimely(const Seen &learner, const Seen &reference)
{
    std::map<std::string, std::vector<double>> due = due_seconds(reference);
    std::map<std::string, std::size_t> n;
    for (std::size_t i = 0; i < learner.lines.size(); i++) {
        const Line &l = learner.lines[i];
        std::size_t k = n[l.text]++;
        auto it = due.find(l.text);
        if (it == due.end() || k >= it->second.size()) {
            continue; // a line the lesson does not write: the lines point says so
        }
        double d = it->second[k];
        if (l.at < d - kEarly || l.at > d + kLate) {
            return "line " + std::to_string(i + 1) + " " + quoted(l.text) + " came at " + seconds(l.at) +
                   ", expected at " + seconds(d) + " (the " + std::to_string(k + 1) +
                   (k == 0   ? "st"
                    : k == 1 ? "nd"
                    : k == 2 ? "rd"
                             : "th") +
                   " such line)";
        }
    }
    return "";
}

// ---- the checks of one lesson ---------------------------------------------

struct OrderRule {
    std::string before, after; // every line `before` comes before every line `after`
    std::string why;
};

std::vector<OrderRule> order_rules(const Lesson &lesson)
{
    if (lesson.name == "quadrel") {
        const std::string join2 = "main fn blocked on pthread join for thread with th_id = 2";
        const std::string join3 = "main fn blocked on pthread join for thread with th_id = 3";
        const std::string result2 = "Return result from thread 2 = 100";
        const std::string result3 = "Return result from thread 3 = 4";
        return {{join2, result2, "main says it is blocked before the first join"},
                {"Thread 10 doing some work", result2, "the first join waits for worker 10's end"},
                {result2, join3, "the second join comes after the first result"},
                {join3, result3, "main says it is blocked before the second join"},
                {"Thread 2 doing some work", result3, "the second join waits for worker 2's end"}};
    }
    return {};
}

struct Mistake {
    std::string title; // the heading of its entry on the mistakes page
};

std::string slug(const std::string &title)
{
    std::string s;
    for (char c : title) {
        if (std::isalnum(static_cast<unsigned char>(c)) != 0) {
            s += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        } else if (c == ' ' || c == '-') {
            s += '-';
        }
    }
    return s;
}

// The classic mistake that a broken point shows, as the mistakes page names it:
// its title and the point it shows on. Each is told by what the runs show.
struct Named {
    std::string title, point;
};

bool is_broken(const std::vector<Verdict> &v, const std::string &point)
{
    return std::any_of(v.begin(), v.end(),
                       [&](const Verdict &x) { return x.point == point && x.state == State::broken; });
}

const Verdict *verdict(const std::vector<Verdict> &v, const std::string &point)
{
    for (const Verdict &x : v) {
        if (x.point == point) {
            return &x;
        }
    }
    return nullptr;
}

// Whether a stack in a record goes through a thread's start, that is, whether
// it ran on a worker rather than on main.
bool on_a_worker(const std::vector<std::string> &record, const std::string &part)
{
    bool in_part = part.empty();
    for (const std::string &l : record) {
        if (!part.empty() && l.find(part) != std::string::npos) {
            in_part = true;
            continue;
        }
        if (in_part && !part.empty() && l.find("Block was alloc'd") != std::string::npos && part != "alloc'd") {
            break;
        }
        if (in_part && (l.find("start_thread") != std::string::npos || l.find("clone") != std::string::npos)) {
            return true;
        }
    }
    return false;
}

std::string name_mistake(const Lesson &lesson, const Builds &builds, const Observed &o, const std::vector<Verdict> &v)
{
    const Verdict *race = verdict(v, "race");
    const bool raced = !first_record(o.helgrind.err, helgrind_race).empty() ||
                       o.tsan.err.find("ThreadSanitizer: data race") != std::string::npos;
    std::vector<std::string> mem = valgrind_lines(o.memcheck.err);
    std::vector<std::string> first_error = first_record(o.memcheck.err, memcheck_error);
    bool double_free = mentions(mem, "Invalid free") || o.asan.err.find("attempting double-free") != std::string::npos;
    if (lesson.name == "quadrel") {
        // The compiler's warning tells this one first: what the dangling address
        // then does (a null result, garbage, an invalid free) varies with the compiler.
        bool local_returned = builds.warnings.find("-Wreturn-local-addr") != std::string::npos ||
                              builds.warnings.find("-Wreturn-stack-address") != std::string::npos;
        if (is_broken(v, "results") && local_returned) {
            return "results|quadrel: the result as the address of a local";
        }
        if (is_broken(v, "memory") && double_free) {
            return "memory|quadrel: main frees the argument block too";
        }
        if (raced && race->text.find("stack") != std::string::npos) {
            return "race|quadrel: the argument as the address of a local";
        }
        if (raced) {
            return "race|quadrel: one argument block for both workers";
        }
        bool freed_read =
            (!first_error.empty() && first_error[0].find("Invalid read") == 0 && mentions(first_error, "free'd")) ||
            o.asan.err.find("heap-use-after-free") != std::string::npos;
        if (is_broken(v, "memory") && freed_read) {
            bool by_worker =
                on_a_worker(first_error, "free'd") || o.asan.err.find("freed by thread T0") == std::string::npos;
            return by_worker ? "memory|quadrel: the argument read after it is freed"
                             : "memory|quadrel: main frees the argument block too";
        }
        for (const std::string &bad : o.calls.bad_joins) {
            if (bad.find("was detached") != std::string::npos) {
                return "threads|quadrel: a detached worker, joined";
            }
            if (bad.find("already been joined") != std::string::npos) {
                return "threads|quadrel: the same worker joined twice";
            }
        }
        if (is_broken(v, "threads") && o.calls.created >= 2 && o.calls.joined == 0 && o.calls.bad_joins.empty()) {
            return "threads|quadrel: main returns without joining";
        }
        if (is_broken(v, "memory") && !first_error.empty() &&
            first_error[0].find("definitely lost") != std::string::npos) {
            return on_a_worker(first_error, "") ? "memory|quadrel: main never frees a result"
                                                : "memory|quadrel: the worker never frees its argument";
        }
    }
    if (lesson.name == "pellit") {
        // memcheck sees the worker read below main's stack pointer; where the
        // compiler keeps the array in a frame that is still there (clang), helgrind
        // sees main write it while the worker reads.
        if (is_broken(v, "memory") && mentions(mem, "stack")) {
            return "memory|pellit: the text in a local array";
        }
        if (raced && race->text.find("stack") != std::string::npos) {
            return "race|pellit: the text in a local array";
        }
        // Or neither sees it, and only the text shows it: after "Input is : " the
        // worker writes whatever the dead frame holds by then.
        const bool garbled = std::any_of(o.terminal.lines.begin(), o.terminal.lines.end(), [](const Line &l) {
            return l.text.rfind("Input is : ", 0) == 0 &&
                   l.text != "Input is : I am thread 1, child thread of main thread";
        });
        if (is_broken(v, "lines") && garbled) {
            return "lines|pellit: the text in a local array";
        }
        if (is_broken(v, "endless") && !o.trace.main_exit && !o.terminal.stopped) {
            return "endless|pellit: return instead of pthread_exit";
        }
        bool format = builds.warnings.find("-Wformat-security") != std::string::npos ||
                      builds.warnings.find("-Wformat-nonliteral") != std::string::npos;
        if (is_broken(v, "lines") && format) {
            return "lines|pellit: the text as the format";
        }
        if (is_broken(v, "redirected") && !is_broken(v, "lines")) {
            return "redirected|pellit: no line buffering";
        }
    }
    return "";
}

} // namespace

const std::vector<std::string> &point_names()
{
    static const std::vector<std::string> names{"lines", "order",   "rhythm",  "results",    "memory",
                                                "race",  "threads", "failure", "redirected", "endless"};
    return names;
}

Seen terminal_run(const Lesson &lesson, const Builds &builds, const std::string &dir, bool learners)
{
    return run({.argv = {builds.plain},
                .output = Output::terminal,
                .dir = dir,
                .watch = lesson.watch,
                .bound = lesson.watch > 0 ? lesson.watch + 20 : 30,
                .limit_address_space = learners});
}

Observed observe(const Lesson &lesson, const Tools &tools, const Builds &builds, const std::string &dir,
                 int failure_runs, bool reference)
{
    Observed o;
    o.have_valgrind = !tools.valgrind.empty();
    o.have_strace = !tools.strace.empty();
    const std::string fast = "THREADS_CHECK_FAST=1";
    const std::string preload = "LD_PRELOAD=" + tools.shim;
    const double watch = lesson.watch;
    // A real run of the lesson takes its ten seconds or so; a bound well past it.
    const double real_bound = watch > 0 ? watch + 20 : 30;
    const double fast_bound = watch > 0 ? watch + 20 : 20;
    const double valgrind_bound = fast_bound + 25; // valgrind's start-up and its slower run
    std::vector<std::thread> runs;
    auto sub = [&](const std::string &name) {
        std::string d = dir + "/" + name;
        mkdir(d.c_str(), 0700);
        return d;
    };
    // The lesson's own program is trusted, and may be a sanitizer's build, which
    // reserves more address space than a learner's program may have.
    auto start = [&](Seen &into, Run r) {
        r.limit_address_space = r.limit_address_space && !reference;
        runs.emplace_back([&into, r] { into = run(r); });
    };

    const std::string terminal_dir = sub("terminal");
    runs.emplace_back([&] { o.terminal = terminal_run(lesson, builds, terminal_dir, !reference); });
    std::string calls = dir + "/calls.txt";
    start(o.calls_run, {.argv = {builds.plain},
                        .env = {fast, preload, "THREADS_CHECK_CALLS=" + calls},
                        .dir = sub("calls"),
                        .watch = watch,
                        .bound = fast_bound});
    o.failures.resize(static_cast<std::size_t>(failure_runs));
    for (int i = 0; i < failure_runs; i++) {
        start(o.failures[static_cast<std::size_t>(i)],
              {.argv = {builds.plain},
               .env = {fast, preload, "THREADS_CHECK_FAIL=pthread_create:" + std::to_string(i + 1)},
               .dir = sub("failure" + std::to_string(i + 1)),
               .watch = watch,
               .bound = fast_bound});
    }
    std::string trace = dir + "/trace.txt";
    if (o.have_strace) {
        start(o.traced,
              {.argv = {tools.strace, "-f", "-qq", "-o", trace, "-e",
                        "trace=clone,clone3,fork,vfork,exit,exit_group,futex", "-e", "signal=none", builds.plain},
               .dir = sub("trace"),
               .watch = watch,
               .bound = real_bound});
    }
    if (!reference) {
        start(
            o.pipe,
            {.argv = {builds.plain}, .output = Output::pipe, .dir = sub("pipe"), .watch = watch, .bound = real_bound});
        start(
            o.file,
            {.argv = {builds.plain}, .output = Output::file, .dir = sub("file"), .watch = watch, .bound = real_bound});
        const std::vector<std::string> valgrind{tools.valgrind, "--vgdb=no", "-q", "--num-callers=30"};
        if (o.have_valgrind) {
            std::vector<std::string> memcheck = valgrind;
            memcheck.insert(memcheck.end(), {"--leak-check=full", "--show-leak-kinds=definite,indirect",
                                             "--errors-for-leak-kinds=definite,indirect", builds.plain});
            start(o.memcheck, {.argv = memcheck,
                               .env = {fast, preload},
                               .dir = sub("memcheck"),
                               .watch = watch,
                               .bound = valgrind_bound,
                               .cpu_seconds = 120,
                               .niceness = 10});
            std::vector<std::string> helgrind = valgrind;
            helgrind.insert(helgrind.end(), {"--tool=helgrind", builds.plain});
            start(o.helgrind, {.argv = helgrind,
                               .env = {fast, preload},
                               .dir = sub("helgrind"),
                               .watch = watch,
                               .bound = valgrind_bound,
                               .cpu_seconds = 120,
                               .niceness = 10});
        }
        const std::string sanitizer_memory = "hard_rss_limit_mb=2048:allocator_may_return_null=1";
        if (!builds.asan.empty()) {
            start(o.asan,
                  {.argv = {builds.asan},
                   .env = {fast, preload, "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=1:" + sanitizer_memory,
                           "UBSAN_OPTIONS=print_stacktrace=1"},
                   .dir = sub("asan"),
                   .watch = watch,
                   .bound = fast_bound,
                   .limit_address_space = false,
                   .niceness = 10});
        }
        if (!builds.tsan.empty()) {
            start(o.tsan, {.argv = {builds.tsan},
                           .env = {fast, preload, "TSAN_OPTIONS=halt_on_error=1:" + sanitizer_memory},
                           .dir = sub("tsan"),
                           .watch = watch,
                           .bound = fast_bound,
                           .limit_address_space = false,
                           .niceness = 10});
        }
    }
    for (std::thread &t : runs) {
        t.join();
    }
    if (o.have_strace) {
        o.trace = read_trace(trace);
    }
    o.calls = read_calls(calls);
    return o;
}

std::vector<Verdict> judge(const Lesson &lesson, const Tools &tools, const Builds &builds, const Observed &learner,
                           const Observed &reference)
{
    std::vector<Verdict> v;
    const std::string page = lesson.name + "(1)";
    auto ok = [&](const std::string &point, const std::string &text) { v.push_back({point, State::ok, text}); };
    auto broken = [&](const std::string &point, const std::string &text) { v.push_back({point, State::broken, text}); };
    auto not_checked = [&](const std::string &point, const std::string &why) {
        v.push_back({point, State::not_checked, why});
    };
    const Seen &t = learner.terminal;
    const Seen &ref = reference.terminal;
    const bool endless = lesson.watch > 0;

    // lines
    {
        std::string problem = end_problem(lesson, t, "on a terminal it was");
        if (problem.empty()) {
            problem = first_difference(lesson, t, ref);
        }
        if (problem.empty() && !endless && t.status != ref.status) {
            problem = "expected it to end with " + status_of(ref) + ", it ended with " + status_of(t);
        }
        if (problem.empty() && !t.err.empty() && ref.err.empty()) {
            problem = "expected nothing on standard error, got " + quoted(lines_of(t.err).front());
        }
        if (problem.empty() && endless && !t.stopped) {
            problem = "expected it to write on until stopped; it " + t.description();
        }
        if (problem.empty()) {
            ok("lines",
               endless ? "on a terminal, each line one that the lesson writes, in a watch of " + seconds(lesson.watch)
                       : std::to_string(t.lines.size()) +
                             " lines on a terminal, each a line the lesson writes, as many times");
        } else {
            broken("lines", problem + " (see " + page + ")");
        }
    }

    // order
    std::vector<OrderRule> rules = order_rules(lesson);
    if (!rules.empty()) {
        std::string problem;
        for (const OrderRule &rule : rules) {
            std::size_t last_before = 0;
            std::size_t first_after = 0;
            bool have_before = false;
            bool have_after = false;
            for (std::size_t i = 0; i < t.lines.size(); i++) {
                if (t.lines[i].text == rule.before) {
                    last_before = i;
                    have_before = true;
                }
                if (t.lines[i].text == rule.after && !have_after) {
                    first_after = i;
                    have_after = true;
                }
            }
            if (have_before && have_after && first_after < last_before) {
                problem = "line " + std::to_string(first_after + 1) + " at " + seconds(t.lines[first_after].at) +
                          ": expected " + quoted(rule.after) + " only after " + quoted(rule.before) + " (" + rule.why +
                          "), got it before line " + std::to_string(last_before + 1) + " at " +
                          seconds(t.lines[last_before].at);
                break;
            }
            if (!have_after || !have_before) {
                const std::string &missing = have_before ? rule.after : rule.before;
                problem = "expected " + quoted(rule.before) + " before " + quoted(rule.after) + " (" + rule.why +
                          "), got no " + quoted(missing) + " at all";
                break;
            }
        }
        if (problem.empty()) {
            ok("order", "main's lines and the results come in the order that the joins enforce");
        } else {
            broken("order", problem + " (see " + page + ")");
        }
    }

    // rhythm
    {
        std::string problem = first_untimely(t, ref);
        if (problem.empty()) {
            ok("rhythm", "each line came when it fell due, counted from the first line");
        } else {
            broken("rhythm", problem + " (see " + page + ")");
        }
    }

    // results
    if (lesson.name == "quadrel") {
        std::string problem;
        for (const auto &[prefix, want] : {std::pair<std::string, std::string>{"Return result from thread 2 = ", "100"},
                                           {"Return result from thread 3 = ", "4"}}) {
            std::vector<std::string> got;
            for (const Line &l : t.lines) {
                if (l.text.rfind(prefix, 0) == 0) {
                    got.push_back(l.text);
                }
            }
            if (got.size() != 1 || got[0] != prefix + want) {
                problem = "expected " + quoted(prefix + want) + ", got " +
                          (got.empty() ? std::string("no such line") : quoted(got[0]));
                break;
            }
        }
        if (problem.empty()) {
            ok("results", "100 and 4, handed back by the workers");
        } else {
            broken("results", problem + " (see " + page + ")");
        }
    }

    // memory
    if (!learner.have_valgrind) {
        not_checked("memory", "valgrind is not installed (sudo apt-get install valgrind)");
    } else {
        std::vector<std::string> record = first_record(learner.memcheck.err, memcheck_error);
        std::vector<std::string> asan = sanitizer_report(learner.asan.err, "ERROR: AddressSanitizer");
        std::vector<std::string> leak = sanitizer_report(learner.asan.err, "ERROR: LeakSanitizer");
        std::vector<std::string> ub = sanitizer_report(learner.asan.err, "runtime error:");
        std::string problem = end_problem(lesson, learner.memcheck, "under memcheck it was");
        if (!record.empty()) {
            problem = "memcheck: " + quoted(record[0]);
        } else if (!asan.empty()) {
            problem = "AddressSanitizer: " + quoted(trimmed_report_line(asan[0]));
        } else if (!leak.empty()) {
            problem = "LeakSanitizer: " + quoted(trimmed_report_line(leak.size() > 2 ? leak[2] : leak[0]));
        } else if (!ub.empty()) {
            problem = "UndefinedBehaviorSanitizer: " + quoted(trimmed_report_line(ub[0]));
        }
        if (problem.empty()) {
            ok("memory", std::string("memcheck") + (builds.asan.empty() ? "" : " and AddressSanitizer") +
                             ": no leak, no invalid read or write, every block freed once");
        } else {
            broken("memory", "expected no leak and no invalid access; " + problem + " (see threads-check(1), memory)");
        }
    }

    // race
    if (!learner.have_valgrind) {
        not_checked("race", "valgrind is not installed (sudo apt-get install valgrind)");
    } else {
        std::vector<std::string> record = first_record(learner.helgrind.err, helgrind_race);
        std::vector<std::string> tsan = sanitizer_report(learner.tsan.err, "WARNING: ThreadSanitizer: data race");
        std::string problem = end_problem(lesson, learner.helgrind, "under helgrind it was");
        if (!record.empty()) {
            problem = "helgrind: " + quoted(record[0]);
            for (const std::string &l : record) {
                if (l.find("Address ") != std::string::npos || l.find("Location ") != std::string::npos) {
                    problem += ", " + quoted(trimmed_report_line(l));
                    break;
                }
            }
        } else if (!tsan.empty()) {
            problem = "ThreadSanitizer: " + quoted(trimmed_report_line(tsan[0]));
            for (const std::string &l : tsan) {
                if (l.find("Location is") != std::string::npos) {
                    problem += ", " + quoted(trimmed_report_line(l));
                    break;
                }
            }
        }
        if (problem.empty()) {
            ok("race", std::string("helgrind") + (builds.tsan.empty() ? "" : " and ThreadSanitizer") +
                           " see every access ordered: no data race");
        } else {
            broken("race", "expected no data race; " + problem + " (see threads-check(1), race)");
        }
    }

    // threads
    if (!learner.have_strace) {
        not_checked("threads", "strace is not installed (sudo apt-get install strace)");
    } else {
        const Trace &a = learner.trace;
        const Trace &b = reference.trace;
        const Calls &ca = learner.calls;
        const Calls &cb = reference.calls;
        std::string problem;
        auto n_threads = [](int n) { return std::to_string(n) + (n == 1 ? " thread" : " threads"); };
        if (!a.traced) {
            problem = "strace saw nothing of the run (" + learner.traced.description() + ")";
        } else if (a.processes != 0) {
            problem = "expected no process but its own, the kernel saw it start one: " + a.first_process;
        } else if (t.left_behind || learner.pipe.left_behind || learner.file.left_behind) {
            problem = "expected nothing of it left running when it ended, a process it started was still running";
        } else if (a.threads != b.threads) {
            problem = "expected " + n_threads(b.threads) + " created, the kernel saw " + std::to_string(a.threads);
        } else if (!ca.bad_joins.empty()) {
            problem = "expected main to wait in pthread_join for each worker; " + ca.bad_joins.front();
        } else if (ca.joined != cb.joined) {
            problem = "expected " + std::to_string(cb.joined) + " threads joined, " + std::to_string(ca.joined) +
                      " were" + (ca.joined < cb.joined && !b.main_exit ? " before the process ended" : "");
        } else if (a.thread_exits != b.thread_exits) {
            problem = "expected " + std::to_string(b.thread_exits) + " workers to end by themselves, the kernel saw " +
                      std::to_string(a.thread_exits) +
                      (a.thread_exits < b.thread_exits ? ": the others ended with the process" : "");
        } else if (b.main_waited && !a.main_waited) {
            problem = "expected the main thread to wait in a join for a worker's end, the kernel saw it never wait";
        } else if (a.main_exit != b.main_exit) {
            problem = b.main_exit ? "expected the main thread to end by itself (pthread_exit) while its worker runs "
                                    "on, the kernel saw the process end from main instead (exit_group)"
                                  : "expected the main thread to stay until the process ends, the kernel saw it end "
                                    "by itself first";
        }
        if (problem.empty()) {
            std::string how = n_threads(a.threads) + " created";
            if (b.thread_exits > 0) {
                how += ", each ended by itself";
            }
            if (b.main_waited) {
                how += ", main waited in the joins";
            }
            if (b.main_exit) {
                how += ", the main thread ended while its worker ran on";
            }
            ok("threads", how);
        } else {
            broken("threads", problem + " (see threads-check(1), threads)");
        }
    }

    // failure
    {
        std::string problem;
        for (std::size_t i = 0; i < learner.failures.size() && i < reference.failures.size(); i++) {
            const Seen &f = learner.failures[i];
            const Seen &fr = reference.failures[i];
            std::string call = "with pthread_create's " + std::string(i == 0 ? "first" : "second") + " call failing";
            std::string end = end_problem(lesson, f, call + " it was");
            std::string diff = first_difference(lesson, f, fr);
            if (!end.empty()) {
                problem = end;
            } else if (failed(fr) && !failed(f)) {
                problem = call + ", expected a status that says failure, got " + status_of(f);
            } else if (!fr.err.empty() && f.err.empty()) {
                problem = call + ", expected a message on standard error, got none";
            } else if (!diff.empty()) {
                problem = call;
                problem += ", " + diff;
            }
            if (!problem.empty()) {
                break;
            }
        }
        if (problem.empty()) {
            ok("failure",
               "a failed pthread_create is reported as the lesson reports it, with a failure status" +
                   std::string(reference.failures.size() > 1 ? ", and the other worker is still joined" : ""));
        } else {
            broken("failure", problem + " (see " + page + ")");
        }
    }

    // redirected
    {
        std::string problem;
        for (const auto &[seen, where] :
             {std::pair<const Seen *, std::string>{&learner.pipe, "through a pipe"}, {&learner.file, "into a file"}}) {
            std::string p = end_problem(lesson, *seen, "it was");
            if (p.empty()) {
                p = first_difference(lesson, *seen, ref);
            }
            if (!p.empty()) {
                problem = where;
                problem += ": " + p;
                break;
            }
        }
        if (problem.empty()) {
            ok("redirected", std::string("through a pipe and into a file, nothing lost") +
                                 (endless ? ", as many lines in the watch as on a terminal" : ""));
        } else {
            broken("redirected", problem + " (see " + page + ")");
        }
    }

    // endless
    if (endless) {
        std::string problem;
        if (!t.stopped) {
            problem = "expected it to write on until stopped; it " + t.description();
        } else if (t.lines.empty() || t.lines.back().at < lesson.watch - 1 - kLate) {
            problem = "expected a line in the last second before Ctrl-C at " + seconds(t.ended) + ", the last came " +
                      (t.lines.empty() ? std::string("never") : "at " + seconds(t.lines.back().at));
        }
        if (problem.empty()) {
            ok("endless", "still writing " + seconds(lesson.watch) + " after its first line, until stopped");
        } else {
            broken("endless", problem + " (see " + page + ")");
        }
    }
    std::string named = name_mistake(lesson, builds, learner, v);
    if (!named.empty()) {
        std::string point = named.substr(0, named.find('|'));
        std::string title = named.substr(named.find('|') + 1);
        for (Verdict &x : v) {
            if (x.point == point && x.state == State::broken) {
                x.text += "; this is the classic mistake \"" + title + "\": " + tools.mistakes_page + "#" + slug(title);
            }
        }
    }
    return v;
}

} // namespace check
