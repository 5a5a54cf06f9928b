#include "trace.hpp"

#include "docs.hpp"

#include <gmock/gmock.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>

long Syscall::result() const
{
    const std::size_t eq = text.rfind("= ");
    return eq == std::string::npos ? -1 : std::strtol(text.c_str() + eq + 2, nullptr, 10);
}

std::string Syscall::request() const
{
    const std::size_t open = text.find('{');
    const std::size_t close = text.find('}', open);
    return open == std::string::npos || close == std::string::npos ? "" : text.substr(open, close - open + 1);
}

namespace {

// "HH:MM:SS.micros" as seconds since midnight.
double clock_time(const std::string &stamp)
{
    int hours = 0;
    int minutes = 0;
    double seconds = 0;
    char colon1 = 0;
    char colon2 = 0;
    std::istringstream(stamp) >> hours >> colon1 >> minutes >> colon2 >> seconds;
    return hours * 3600.0 + minutes * 60.0 + seconds;
}

bool is_sleep(const Syscall &call)
{
    return call.name.rfind("clock_nanosleep", 0) == 0;
}

} // namespace

// One line of strace -f -tt -o output: "TID HH:MM:SS.micros name(arguments) = result",
// or "TID HH:MM:SS.micros <... name resumed>rest".
std::vector<Syscall> parse_trace(const std::string &text)
{
    std::istringstream in(text);
    std::vector<Syscall> calls;
    std::map<pid_t, std::size_t> unfinished; // thread -> its call waiting to be resumed
    double first = -1;
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        Syscall call{};
        std::string stamp;
        fields >> call.tid >> stamp >> std::ws;
        std::getline(fields, call.text);
        if (!fields && call.text.empty()) {
            continue;
        }
        if (call.text.rfind("<... ", 0) == 0) {
            const auto waiting = unfinished.find(call.tid);
            if (waiting != unfinished.end()) {
                calls[waiting->second].text += call.text.substr(call.text.find('>') + 1);
                unfinished.erase(waiting);
            }
            continue;
        }
        const bool signal = call.text.rfind("--- ", 0) == 0;
        const std::size_t paren = call.text.find('(');
        if (!signal && (paren == std::string::npos || call.text[0] == '+')) {
            continue; // "+++ exited with 0 +++"
        }
        const double at = clock_time(stamp);
        if (first < 0) {
            first = at;
        }
        call.at = at < first ? at + 86400 - first : at - first; // across midnight
        if (signal) {
            call.name = "---";
            calls.push_back(call);
            continue;
        }
        call.name = call.text.substr(0, paren);
        call.text.erase(0, paren);
        const std::string pause = " <unfinished ...>";
        if (call.text.size() > pause.size() &&
            call.text.compare(call.text.size() - pause.size(), pause.size(), pause) == 0) {
            call.text.resize(call.text.size() - pause.size());
            unfinished[call.tid] = calls.size();
        }
        calls.push_back(call);
    }
    return calls;
}

Trace trace_command(const std::string &command, const Spawn &how)
{
    Trace t;
    EXPECT_TRUE(how.argv.empty() && how.dir.empty()) << "trace_command runs the command in a directory of its own";
    if (std::string(STRACE).empty()) {
        t.skipped = "strace is not installed";
        return t;
    }
    char dir[] = "/tmp/trace-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        t.skipped = "no temporary directory";
        return t;
    }
    const std::filesystem::path work(dir);
    std::filesystem::create_directory(work / "build");
    if (kEmulated) { // build/default/NAME runs NAME of this build under its emulator
        std::filesystem::create_directory(work / "build" / "default");
        std::string runner = "exec";
        for (const std::string &word : emulator()) {
            runner += " " + word;
        }
        for (const auto &entry : std::filesystem::directory_iterator(BUILD_DIR)) {
            if (entry.is_regular_file() && access(entry.path().c_str(), X_OK) == 0) {
                const std::filesystem::path script = work / "build" / "default" / entry.path().filename();
                std::ofstream(script) << "#!/bin/sh\n" << runner << " " << entry.path().string() << " \"$@\"\n";
                std::filesystem::permissions(script, std::filesystem::perms::owner_all);
            }
        }
    } else {
        std::filesystem::create_directory_symlink(BUILD_DIR, work / "build" / "default");
    }
    Spawn spawn = how;
    spawn.argv = {"/bin/sh", "-c", command};
    spawn.dir = dir;
    t.run = record(spawn);
    if (std::filesystem::exists(work / "trace.txt")) {
        t.calls = parse_trace(read_file(work / "trace.txt"));
    }
    if (kEmulated) {
        // qemu-user starts a thread of its own before it runs the program: the
        // first thread created, which the program never sees. Leave it out.
        const auto first = std::find_if(t.calls.begin(), t.calls.end(), [](const Syscall &call) {
            return call.name == "clone" || call.name == "clone3";
        });
        if (first != t.calls.end()) {
            const auto own = static_cast<pid_t>(first->result());
            t.calls.erase(first);
            std::erase_if(t.calls, [own](const Syscall &call) { return call.tid == own; });
        }
    }
    std::filesystem::remove_all(work);
    // Only a refusal to trace (a container without ptrace, say) skips; a trace that
    // is empty for any other reason is for the test to fail on.
    if (t.calls.empty() && t.run.err.find("Operation not permitted") != std::string::npos) {
        t.skipped = "strace may not trace here: " + t.run.err;
    }
    return t;
}

std::vector<Syscall> creations(const std::vector<Syscall> &calls)
{
    std::vector<Syscall> out;
    std::copy_if(calls.begin(), calls.end(), std::back_inserter(out),
                 [](const Syscall &call) { return call.name == "clone" || call.name == "clone3"; });
    return out;
}

std::vector<Syscall> calls_of(const std::vector<Syscall> &calls, pid_t tid, const std::string &name)
{
    std::vector<Syscall> out;
    std::copy_if(calls.begin(), calls.end(), std::back_inserter(out),
                 [&](const Syscall &call) { return call.tid == tid && call.name == name; });
    return out;
}

std::vector<std::string> sleeps_asked(const std::vector<Syscall> &calls, pid_t tid)
{
    std::vector<std::string> requests;
    for (const Syscall &call : calls) {
        if (call.tid == tid && is_sleep(call)) {
            requests.push_back(call.request());
        }
    }
    return requests;
}

long first_call(const std::vector<Syscall> &calls, pid_t tid, const std::string &name)
{
    for (std::size_t i = 0; i < calls.size(); i++) {
        if (calls[i].tid == tid && calls[i].name == name) {
            return static_cast<long>(i);
        }
    }
    return -1;
}

long last_call(const std::vector<Syscall> &calls, pid_t tid)
{
    for (std::size_t i = calls.size(); i > 0; i--) {
        if (calls[i - 1].tid == tid) {
            return static_cast<long>(i - 1);
        }
    }
    return -1;
}

char thread_state(pid_t pid, pid_t tid)
{
    const std::string text = read_file("/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid) + "/stat");
    std::size_t paren = text.rfind(')'); // the name in parentheses may hold anything
    return paren == std::string::npos || paren + 2 >= text.size() ? '?' : text[paren + 2];
}

pid_t pid_named(pid_t group, const std::string &name)
{
    std::error_code error; // processes come and go while /proc is read
    for (auto entry = std::filesystem::directory_iterator("/proc", error);
         !error && entry != std::filesystem::directory_iterator(); entry.increment(error)) {
        const std::string pid = entry->path().filename();
        if (pid.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        const std::string text = read_file(entry->path() / "stat");
        const std::size_t open = text.find('(');
        const std::size_t close = text.rfind(')');
        if (open == std::string::npos || close == std::string::npos) {
            continue;
        }
        std::istringstream rest(text.substr(std::min(close + 2, text.size())));
        char state = 0;
        pid_t parent = 0;
        pid_t pgrp = 0;
        rest >> state >> parent >> pgrp;
        if (pgrp == group && text.substr(open + 1, close - open - 1) == name) {
            return static_cast<pid_t>(std::stol(pid));
        }
    }
    return 0;
}

namespace {

long count_named(const std::vector<Syscall> &calls, const std::string &name)
{
    return std::count_if(calls.begin(), calls.end(), [&](const Syscall &call) { return call.name == name; });
}

// The distinct values that `of` gives for the calls that `which` picks.
template <typename Which, typename Of>
std::set<std::string> values(const std::vector<Syscall> &calls, Which which, Of of)
{
    std::set<std::string> out;
    for (const Syscall &call : calls) {
        if (which(call)) {
            out.insert(of(call));
        }
    }
    return out;
}

} // namespace

void expect_figures_of_the_run(const std::string &shown, const std::vector<Syscall> &run)
{
    const std::vector<Syscall> page = parse_trace(shown);
    ASSERT_FALSE(page.empty()) << "no trace shown";
    EXPECT_EQ(creations(page).size(), creations(run).size()) << "threads created";
    // An emulator tells the program that a thread has ended before the thread
    // makes its exit call, which the end of the process can then cut short.
    const std::vector<std::string> ends =
        kEmulated ? std::vector<std::string>{"exit_group"} : std::vector<std::string>{"exit", "exit_group"};
    for (const std::string &name : ends) {
        EXPECT_EQ(count_named(page, name), count_named(run, name)) << "calls of " << name;
    }
    const auto named = [](const char *name) { return [name](const Syscall &call) { return call.name == name; }; };
    const auto bytes = [](const Syscall &call) { return std::to_string(call.result()); };
    const auto text = [](const Syscall &call) { return call.text; };
    const auto request = [](const Syscall &call) { return call.request(); };
    EXPECT_THAT(values(page, named("write"), bytes), testing::IsSubsetOf(values(run, named("write"), bytes)))
        << "byte counts written";
    EXPECT_THAT(values(page, is_sleep, request), testing::IsSubsetOf(values(run, is_sleep, request)))
        << "sleep requests";
    EXPECT_THAT(values(page, named("---"), text), testing::IsSubsetOf(values(run, named("---"), text))) << "signals";
}

namespace {

// "{tv_sec=1, tv_nsec=500000000}" as 1.5.
double seconds_of(const std::string &request)
{
    long sec = 0;
    long nsec = 0;
    std::sscanf(request.c_str(), "{tv_sec=%ld, tv_nsec=%ld}", &sec, &nsec); // NOLINT(cert-err34-c): 0 if not
    return static_cast<double>(sec) + static_cast<double>(nsec) / 1e9;
}

} // namespace

std::vector<Due> seconds_due(const std::vector<Syscall> &calls)
{
    // A thread that sleeps: when its last sleep ends, by the clock and by the
    // seconds it asked for. That is when it is done, whenever its exit is traced.
    struct Sleeper {
        double asked = 0;     // seconds asked for so far
        double done_at = 0;   // when its last sleep ended, by the clock
        double done_when = 0; // and by the seconds asked for
    };
    std::map<pid_t, Sleeper> sleepers;
    for (const Syscall &call : calls) {
        if (is_sleep(call)) {
            Sleeper &sleeper = sleepers[call.tid];
            sleeper.asked += seconds_of(call.request());
            sleeper.done_at = call.at + seconds_of(call.request());
            sleeper.done_when = sleeper.asked;
        }
    }
    std::map<pid_t, double> asked;
    std::vector<Due> dues;
    for (const Syscall &call : calls) {
        if (is_sleep(call)) {
            asked[call.tid] += seconds_of(call.request());
            continue;
        }
        if (call.name != "write" && call.name != "exit" && call.name != "exit_group") {
            continue;
        }
        double due = 0;
        if (sleepers.count(call.tid) != 0) {
            due = asked[call.tid];
        } else { // it waits, so it is due when the last sleeper that was done by then was done
            for (const auto &entry : sleepers) {
                if (entry.second.done_at <= call.at) {
                    due = std::max(due, entry.second.done_when);
                }
            }
        }
        dues.push_back({call.tid, call.name, call.text, due, call.at});
    }
    return dues;
}

void expect_timeline_of_the_run(const std::vector<Bar> &bars, const std::vector<Syscall> &calls,
                                const std::map<std::string, std::string> &first_write_of_section, bool whole_run)
{
    const std::vector<Due> dues = seconds_due(calls);
    std::set<long> due_ms;
    for (const Due &d : dues) {
        EXPECT_GE(d.at, d.due) << d.name << d.text << " came before its second";
        due_ms.insert(std::lround(d.due * 1000));
    }
    ASSERT_FALSE(bars.empty());
    for (const auto &named : first_write_of_section) {
        const std::string &section = named.first;
        const std::string &first_write = named.second;
        SCOPED_TRACE("section " + section);
        const auto first = std::find_if(dues.begin(), dues.end(), [&](const Due &d) {
            return d.name == "write" && d.text.rfind("(1, \"" + first_write, 0) == 0;
        });
        ASSERT_NE(first, dues.end()) << "no thread of the run writes " << first_write;
        std::vector<long> events; // the thread's writes, then its end, in ms
        long lines = 0;
        for (const Due &d : dues) {
            if (d.tid == first->tid) {
                events.push_back(std::lround(d.due * 1000));
                lines += d.name == "write" ? 1 : 0;
            }
        }
        // A run that went to its end: where the trace shows no end of the thread
        // (an emulator's can miss it), the thread ended with its last sleep.
        double asked = 0;
        for (const Syscall &call : calls) {
            asked += call.tid == first->tid && is_sleep(call) ? seconds_of(call.request()) : 0;
        }
        if (whole_run && asked > 0 && events.back() < std::lround(asked * 1000)) {
            events.push_back(std::lround(asked * 1000));
        }
        long line_bars = 0;
        for (const Bar &bar : bars) {
            if (bar.section != section) {
                continue;
            }
            SCOPED_TRACE("bar " + bar.label);
            long k = 0;
            if (std::sscanf(bar.label.c_str(), "line %ld", &k) == 1) { // NOLINT(cert-err34-c)
                line_bars++;
                ASSERT_GE(k, 1);
                ASSERT_LT(static_cast<std::size_t>(k), events.size()) << "the run has no line " << k << " and after";
                EXPECT_EQ(bar.start_ms, events[static_cast<std::size_t>(k - 1)]);
                EXPECT_EQ(bar.start_ms + bar.length_ms, events[static_cast<std::size_t>(k)]);
            } else if (bar.milestone) {
                EXPECT_THAT(events, testing::Contains(bar.start_ms)) << "not on a write or the end of this thread";
            } else {
                EXPECT_THAT(due_ms, testing::Contains(bar.start_ms)) << "starts on no event of the run";
                EXPECT_THAT(due_ms, testing::Contains(bar.start_ms + bar.length_ms)) << "ends on no event of the run";
            }
        }
        if (whole_run && line_bars > 0) {
            EXPECT_EQ(line_bars, lines) << "bars for the lines of this thread";
        }
    }
}
