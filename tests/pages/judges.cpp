#include "judges.hpp"

#include "build.hpp"

#include <gmock/gmock.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <set>

namespace {

// Each thread of a trace by the part it plays, which a page's trace and a run's
// share whatever ids their threads had: "main" for the first to create a thread,
// "thread K" for the K-th it created, and a thread of a trace that shows no
// creation by what it writes first.
std::map<pid_t, std::string> parts(const std::vector<Syscall> &calls)
{
    std::map<pid_t, std::string> out;
    const std::vector<Syscall> made = creations(calls);
    if (!made.empty()) {
        out.emplace(made[0].tid, "main");
    }
    for (std::size_t k = 0; k < made.size(); k++) {
        out.emplace(static_cast<pid_t>(made[k].result()), "thread " + std::to_string(k + 1));
    }
    for (const Syscall &call : calls) {
        if (call.name == "write") {
            out.emplace(call.tid, "the thread that first writes " + call.text);
        }
    }
    return out;
}

// What `of` gives for each call that `which` picks, thread part by thread part,
// in the order they were made.
template <typename Which, typename Of>
std::map<std::string, std::vector<std::string>> by_part(const std::vector<Syscall> &calls, Which which, Of of)
{
    const std::map<pid_t, std::string> part = parts(calls);
    std::map<std::string, std::vector<std::string>> out;
    for (const Syscall &call : calls) {
        if (which(call)) {
            const auto found = part.find(call.tid);
            out[found == part.end() ? "a thread that neither writes nor was created" : found->second].push_back(
                of(call));
        }
    }
    return out;
}

// Whether `part` is `whole` with some of it left out, as a page shortens a trace.
bool within(const std::vector<std::string> &part, const std::vector<std::string> &whole)
{
    auto at = whole.begin();
    for (const std::string &item : part) {
        at = std::find(at, whole.end(), item);
        if (at == whole.end()) {
            return false;
        }
        ++at;
    }
    return true;
}

} // namespace

testing::AssertionResult figures_of_the_run(const std::string &shown, const std::vector<Syscall> &run)
{
    const std::vector<Syscall> page = parse_trace(shown);
    if (page.empty()) {
        return testing::AssertionFailure() << "no trace shown";
    }
    if (creations(page).size() != creations(run).size()) {
        return testing::AssertionFailure()
               << creations(page).size() << " threads created on the page, " << creations(run).size() << " in the run";
    }
    // An emulator tells the program that a thread has ended before the thread
    // makes its exit call, which the end of the process can then cut short.
    const auto ends = [](const Syscall &call) {
        return call.name == "exit_group" || (!kEmulated && call.name == "exit");
    };
    const auto name = [](const Syscall &call) { return call.name; };
    if (by_part(page, ends, name) != by_part(run, ends, name)) {
        return testing::AssertionFailure() << "the page's threads end otherwise than the run's: on the page "
                                           << testing::PrintToString(by_part(page, ends, name)) << ", in the run "
                                           << testing::PrintToString(by_part(run, ends, name));
    }
    const auto writes = [](const Syscall &call) { return call.name == "write"; };
    const auto bytes = [](const Syscall &call) { return std::to_string(call.result()); };
    const auto signals = [](const Syscall &call) { return call.name == "---"; };
    const auto text = [](const Syscall &call) { return call.text; };
    const auto request = [](const Syscall &call) { return call.request(); };
    const struct {
        const char *what;
        std::map<std::string, std::vector<std::string>> page, run;
    } figures[] = {{"byte counts written", by_part(page, writes, bytes), by_part(run, writes, bytes)},
                   {"sleep requests", by_part(page, is_sleep, request), by_part(run, is_sleep, request)},
                   {"signals", by_part(page, signals, text), by_part(run, signals, text)}};
    for (const auto &figure : figures) {
        for (const auto &[part, shown_values] : figure.page) {
            const auto in_run = figure.run.find(part);
            if (in_run == figure.run.end() || !within(shown_values, in_run->second)) {
                return testing::AssertionFailure()
                       << figure.what << " of " << part << ": the page shows " << testing::PrintToString(shown_values)
                       << ", not in the run's "
                       << (in_run == figure.run.end() ? "[]" : testing::PrintToString(in_run->second));
            }
        }
    }
    return testing::AssertionSuccess();
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
    for (const Due &d : dues) {
        EXPECT_GE(d.at, d.due) << d.name << d.text << " came before its second";
    }
    ASSERT_FALSE(bars.empty());
    // The seconds on which the threads that only wait (which never sleep) do
    // something, and the last second that the chart draws.
    std::set<pid_t> sleeping;
    for (const Syscall &call : calls) {
        if (is_sleep(call)) {
            sleeping.insert(call.tid);
        }
    }
    std::set<long> waiters_ms;
    for (const Due &d : dues) {
        if (sleeping.count(d.tid) == 0) {
            waiters_ms.insert(std::lround(d.due * 1000));
        }
    }
    long chart_end = 0; // where its last line ends
    for (const Bar &bar : bars) {
        if (bar.label.rfind("line ", 0) == 0) {
            chart_end = std::max(chart_end, bar.start_ms + bar.length_ms);
        }
    }
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
            } else { // a span: from an event of its own thread to one of its own, or of a thread that
                     // waits for it, or to the end of the chart
                EXPECT_THAT(events, testing::Contains(bar.start_ms)) << "starts on no event of this thread";
                const long end = bar.start_ms + bar.length_ms;
                EXPECT_TRUE(std::find(events.begin(), events.end(), end) != events.end() ||
                            waiters_ms.count(end) != 0 || end == chart_end)
                    << "ends at " << end << " ms, on no event of this thread or of one that waits";
            }
        }
        if (whole_run && line_bars > 0) {
            EXPECT_EQ(line_bars, lines) << "bars for the lines of this thread";
        }
    }
}
