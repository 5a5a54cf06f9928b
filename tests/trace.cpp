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

} // namespace

bool is_sleep(const Syscall &call)
{
    return call.name.rfind("clock_nanosleep", 0) == 0;
}

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
