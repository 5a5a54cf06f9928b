#include "trace.hpp"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

long Syscall::result() const
{
    const std::size_t eq = text.rfind("= ");
    return eq == std::string::npos ? -1 : std::strtol(text.c_str() + eq + 2, nullptr, 10);
}

namespace {

// One line of strace -f -ttt output: "TID SECONDS.MICROS name(arguments) = result",
// or "TID SECONDS.MICROS <... name resumed>rest".
std::vector<Syscall> parse(std::istream &in)
{
    std::vector<Syscall> calls;
    std::map<pid_t, std::size_t> unfinished; // thread -> its call waiting to be resumed
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        Syscall call{};
        fields >> call.tid >> call.at >> std::ws;
        std::getline(fields, call.text);
        if (call.text.rfind("<... ", 0) == 0) {
            const auto waiting = unfinished.find(call.tid);
            if (waiting != unfinished.end()) {
                calls[waiting->second].text += call.text.substr(call.text.find('>') + 1);
                unfinished.erase(waiting);
            }
            continue;
        }
        const std::size_t paren = call.text.find('(');
        if (!fields || paren == std::string::npos || call.text[0] == '+' || call.text[0] == '-') {
            continue; // "+++ exited with 0 +++", "--- SIGCHLD ... ---"
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

} // namespace

Trace trace(Spawn spawn)
{
    Trace t;
    if (std::string(STRACE).empty()) {
        t.skipped = "strace is not installed";
        return t;
    }
    char name[] = "/tmp/trace-XXXXXX";
    const int fd = mkstemp(name);
    if (fd < 0) {
        t.skipped = "no temporary file";
        return t;
    }
    close(fd);
    spawn.argv.insert(spawn.argv.begin(),
                      {STRACE, "-f", "-ttt", "-qq", "-o", name, "-e", "trace=clone,clone3,exit,exit_group,write"});
    t.run = record(spawn);
    std::ifstream in(name);
    t.calls = parse(in);
    unlink(name);
    // Only a refusal to trace (a container without ptrace, say) skips; a trace that
    // is empty for any other reason is for the test to fail on.
    if (t.calls.empty() && t.run.err.find("Operation not permitted") != std::string::npos) {
        t.skipped = "strace may not trace here: " + t.run.err;
    }
    return t;
}
