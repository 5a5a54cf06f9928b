// The classic mistakes page, kept true: each entry's diff is applied to a copy of
// the lesson's source, the entry's own commands build and run it, and every line
// of the report that the page quotes must come; the same commands on the lesson
// as it is must not give the report.
#include "build.hpp"
#include "docs.hpp"
#include "lines.hpp"
#include "rows.hpp"
#include "spawn.hpp"
#include "status.hpp"
#include "trace.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <future>
#include <iostream>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

const std::string kPage = SOURCE_DIR "/docs/mistakes.md";

enum class Tool { compiler, valgrind, strace };

// What a plain run (built with g++ -O2, run with no tool) showed, as the page
// names it: the bold name of one of the entry's outcome bullets. A judge gives the
// name of what it saw, or a name that no bullet has where it saw none of them.
using Judge = std::string (*)(const Recording &r);

// Plain runs: so many to each output.
constexpr int kRunsToEachOutput = 12;

// How the page's plain runs of an entry are made, and how a run is judged.
struct Plain {
    Judge judge = nullptr;
    std::vector<Output> outputs = {Output::terminal, Output::pipe, Output::file};
    bool fast_sleep = true;           // each second of sleep lasts 10 ms: for a run whose outcome is
                                      // settled before its first second is over
    std::size_t stop_after_lines = 0; // a run that may write for hours is stopped after this many lines
    double stop_after_seconds = 0;    // or this long after its start
    int status = -1;                  // the exit status every run has; -1: ended or stopped, never a crash
    int at_once = 6;                  // runs at a time: more for runs that sleep their seconds out
    int crash = 0;                    // a signal that may end a run, as the page says
};

struct Mistake {
    const char *name;
    const char *heading;              // the entry's heading on the page
    const char *program;              // the lesson the diff changes
    Tool tool = Tool::compiler;       // the tool the commands run, beyond the compiler
    bool fast_sleep = false;          // each second of sleep lasts 10 ms, for a run that must reach its end
    std::size_t stop_after_lines = 0; // for a run that may not end by itself: stop it after this many lines
    double stop_after_seconds = 0;    // or after this long
    bool stop_the_program = false;    // stop the program itself, not its tracer
    Plain plain{};                    // its plain runs
};
PRINTS_AS_ITS_NAME(Mistake)

const std::vector<std::string> kLessonsLines = {kWork10, kWork2, kJoin2, kResult2, kJoin3, kResult3};
const std::string kText = "I am thread 1, child thread of main thread"; // pellit's text, without "Input is : "

// The judges' names for what does not fit an entry's outcomes: no bullet has them.
const std::string kSomethingElse = "something else";

// The lines of standard output, then those of standard error.
std::vector<std::string> all_lines(const Recording &r)
{
    std::vector<std::string> out = r.texts();
    for (const std::string &line : lines_of(r.err)) {
        out.push_back(line);
    }
    return out;
}

std::size_t count_of(const std::vector<std::string> &lines, const std::string &text)
{
    return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), text));
}

// Takes one of each of these lines out of the run's lines; false if one is missing.
bool take_out(std::vector<std::string> &lines, const std::vector<std::string> &these)
{
    for (const std::string &line : these) {
        const auto at = std::find(lines.begin(), lines.end(), line);
        if (at == lines.end()) {
            return false;
        }
        lines.erase(at);
    }
    return true;
}

// Whether the lines are these, in any order.
bool same_lines(std::vector<std::string> lines, std::vector<std::string> these)
{
    std::sort(lines.begin(), lines.end());
    std::sort(these.begin(), these.end());
    return lines == these;
}

std::vector<std::string> times(int n, const std::string &line)
{
    return std::vector<std::string>(static_cast<std::size_t>(n), line);
}

// The lesson's lines of a quadrel run in which worker 10 hands back `result2` and
// worker 2 `result3`, as numbers read: both lines of main's, each worker's lines.
std::vector<std::string> quadrel_lines(int read10, int read2)
{
    std::vector<std::string> lines = {kJoin2, kJoin3,
                                      "Return result from thread 2 = " + std::to_string(read10 * read10),
                                      "Return result from thread 3 = " + std::to_string(read2 * read2)};
    for (int n : {read10, read2}) {
        const std::vector<std::string> work = times(n, "Thread " + std::to_string(n) + " doing some work");
        lines.insert(lines.end(), work.begin(), work.end());
    }
    return lines;
}

// A quadrel run that ended by itself, named by the numbers its workers read, which
// its two results (their squares) tell: "both read 2", "read 10 and 0".
std::string numbers_read(const Recording &r)
{
    if (!WIFEXITED(r.status) || !r.err.empty()) {
        return kSomethingElse;
    }
    const std::vector<std::string> out = r.texts();
    for (int read10 = 0; read10 <= 10; read10++) {
        for (int read2 = 0; read2 <= 10; read2++) {
            if (same_lines(out, quadrel_lines(read10, read2))) {
                return read10 == read2 ? "both read " + std::to_string(read10)
                                       : "read " + std::to_string(read10) + " and " + std::to_string(read2);
            }
        }
    }
    return kSomethingElse;
}

// The numbers in the workers' lines ("Thread N doing some work"), each once; -1
// where a line is neither main's nor a worker's.
std::set<long> worker_numbers(const std::vector<std::string> &lines)
{
    std::set<long> numbers;
    for (const std::string &line : lines) {
        long n = 0;
        char rest[32] = "";
        if (line == kJoin2 || line == kJoin3 || line.rfind("Return result from thread ", 0) == 0) {
            continue;
        }
        const bool worker = sscanf(line.c_str(), "Thread %ld doing some wor%31s", &n, rest) == 2 &&
                            line == "Thread " + std::to_string(n) + " doing some work";
        numbers.insert(worker ? n : -1);
    }
    return numbers;
}

bool stopped(const Recording &r)
{
    return WIFSIGNALED(r.status) && WTERMSIG(r.status) == SIGKILL;
}

// The whole lines of a run: a stop cuts the last one short where standard output
// goes out by the block.
std::vector<std::string> whole_lines(const Recording &r)
{
    std::vector<std::string> lines = r.texts();
    const std::string &last = lines.empty() ? "" : lines.back();
    if (stopped(r) && last.size() >= kNoNewline.size() &&
        last.compare(last.size() - kNoNewline.size(), kNoNewline.size(), kNoNewline) == 0) {
        lines.pop_back();
    }
    return lines;
}

// quadrel: the argument as the address of a local. A run ends by itself with the
// numbers read, or a worker read thousands and writes on until it is stopped.
std::string stack_argument(const Recording &r)
{
    if (stopped(r)) {
        const std::set<long> numbers = worker_numbers(whole_lines(r));
        return !numbers.empty() && *numbers.begin() >= 0 && *numbers.rbegin() > 1000 ? "a worker writes on"
                                                                                     : kSomethingElse;
    }
    return numbers_read(r);
}

std::string lessons_lines(const Recording &r);

// quadrel: a freed argument block read. A worker that read it takes the
// allocator's bookkeeping for its number: a large one, which it writes on with
// until the run is stopped, or one below 1, and it writes nothing. A worker that
// read its block before it was freed has its own number, 10 or 2.
std::string freed_block_read(const Recording &r)
{
    // glibc finds the block freed twice where both frees go to the same cache.
    if (WIFSIGNALED(r.status) && WTERMSIG(r.status) == SIGABRT) {
        return r.err.find("double free or corruption") != std::string::npos ? "glibc aborts" : kSomethingElse;
    }
    // Both workers read their numbers before main's free, and glibc did not see
    // the second free.
    if (lessons_lines(r) == "the lesson's lines") {
        return "10 and 2";
    }
    const std::vector<std::string> lines = whole_lines(r);
    const std::set<long> numbers = worker_numbers(lines);
    const auto large =
        static_cast<std::size_t>(std::count_if(numbers.begin(), numbers.end(), [](long n) { return n > 1000; }));
    const bool ten = numbers.count(10) == 1 && count_of(lines, kWork10) == 10 && count_of(lines, kResult2) == 1;
    const bool two = numbers.count(2) == 1 && count_of(lines, kWork2) == 2;
    if (count_of(lines, kJoin2) != 1 || numbers.size() != large + (ten ? 1 : 0) + (two ? 1 : 0)) {
        return kSomethingElse;
    }
    if (stopped(r) && !ten && !two && large == 1) {
        return "one large number";
    }
    if (stopped(r) && !ten && !two && large == 2) {
        return "two large numbers";
    }
    if (stopped(r) && !ten && two && large == 1) {
        return "a large number and 2";
    }
    if (stopped(r) && ten && !two && large == 1) {
        return "10 and a large number";
    }
    // Ended by itself: worker 10 read its 10, and worker 2 a number below 1.
    const bool ended = WIFEXITED(r.status) && WEXITSTATUS(r.status) == 0 && count_of(lines, kJoin3) == 1 &&
                       lines.size() == 14 && lines.back().rfind("Return result from thread 3 = ", 0) == 0;
    return ended && ten && !two && large == 0 ? "10 and nothing" : kSomethingElse;
}

// A quadrel run whose output is the lesson's to the letter.
std::string lessons_lines(const Recording &r)
{
    return WIFEXITED(r.status) && WEXITSTATUS(r.status) == 0 && r.err.empty() &&
                   same_lines(r.texts(), quadrel_lines(10, 2))
               ? "the lesson's lines"
               : kSomethingElse;
}

// A run that ends before any worker has slept: main's lines, and what the workers
// wrote of their first lines before the process ended.
std::string early_end(const Recording &r, const std::vector<std::string> &mains, const std::vector<std::string> &firsts)
{
    std::vector<std::string> rest = all_lines(r);
    if (!take_out(rest, mains)) {
        return kSomethingElse;
    }
    std::size_t workers = 0;
    std::size_t twice = 0;
    for (const std::string &first : firsts) {
        const std::size_t n = count_of(rest, first);
        if (n > 2) {
            return kSomethingElse;
        }
        workers += n;
        twice += n == 2 ? 1 : 0;
    }
    if (workers != rest.size()) {
        return "a torn line";
    }
    if (twice > 0) {
        return twice == 1 ? "a line twice" : "both lines twice";
    }
    return workers == 0 ? "no worker line" : workers == 1 ? "one worker line" : "both workers' first lines";
}

std::string detached_then_joined(const Recording &r)
{
    const std::string einval = "quadrel: pthread_join: Invalid argument";
    return early_end(r, {kJoin2, kJoin3, einval, einval}, {kWork10, kWork2});
}

std::string no_join(const Recording &r)
{
    return early_end(r, {}, {kWork10, kWork2});
}

std::string return_from_main(const Recording &r)
{
    return early_end(r, {kPaused}, {kInput});
}

std::string joined_twice(const Recording &r)
{
    std::vector<std::string> lines = quadrel_lines(10, 2);
    take_out(lines, {kResult3});
    return r.err == "quadrel: pthread_join: No such process\n" && same_lines(r.texts(), lines) ? "No such process"
                                                                                               : kSomethingElse;
}

std::string result_on_the_stack(const Recording &r)
{
    std::vector<std::string> lines = quadrel_lines(10, 2);
    take_out(lines, {kResult2, kResult3});
    return r.err.empty() && same_lines(r.texts(), lines) ? "no result line" : kSomethingElse;
}

// pellit: the text in a local array. Whether the worker's lines, stopped after a
// few, carry the text whole: never, at first only (until main's frame is used
// again), or throughout.
std::string local_array(const Recording &r)
{
    std::vector<std::string> lines = r.texts();
    if (!take_out(lines, {kPaused}) || lines.empty()) {
        return kSomethingElse;
    }
    const std::size_t whole = count_of(lines, kInput);
    if (whole == 0) {
        return "never whole";
    }
    if (whole == lines.size()) {
        return "always whole";
    }
    const bool first_whole = std::all_of(lines.begin(), lines.begin() + static_cast<long>(whole),
                                         [](const std::string &line) { return line == kInput; });
    return first_whole ? "whole at first" : kSomethingElse;
}

// pellit: no line buffering, killed 3 s after its start.
std::string no_line_buffering(const Recording &r)
{
    std::vector<std::string> lines = r.texts();
    if (lines.empty()) {
        return "nothing within 3 s";
    }
    return count_of(lines, kPaused) == 1 && count_of(lines, kInput) == lines.size() - 1 ? "line by line"
                                                                                        : kSomethingElse;
}

// pellit: the text as the format, stopped at its first line: main's alone, or with
// the worker's text glued in front of it.
std::string text_as_format(const Recording &r)
{
    if (r.lines.empty()) {
        return kSomethingElse;
    }
    std::string first = r.lines[0].text;
    std::size_t copies = 0;
    for (; first.rfind(kText, 0) == 0; copies++) {
        first.erase(0, kText.size());
    }
    if (first != kPaused) {
        return kSomethingElse;
    }
    return copies == 0 ? "main's line first" : "glued in front";
}

const Mistake kMistakes[] = {
    {.name = "QuadrelStackArgument",
     .heading = "quadrel: the argument as the address of a local",
     .program = "quadrel",
     .tool = Tool::valgrind,
     .fast_sleep = true,
     .stop_after_lines = 60,
     .plain = {.judge = stack_argument, .stop_after_lines = 60}},
    {.name = "QuadrelReadAfterFree",
     .heading = "quadrel: the argument read after it is freed",
     .program = "quadrel",
     .fast_sleep = true,
     .stop_after_lines = 60,
     .plain = {.judge = freed_block_read, .stop_after_lines = 60}},
    {.name = "QuadrelArgumentNeverFreed",
     .heading = "quadrel: the worker never frees its argument",
     .program = "quadrel",
     .tool = Tool::valgrind,
     .fast_sleep = true,
     .plain = {.judge = lessons_lines, .status = 0}},
    {.name = "QuadrelResultNeverFreed",
     .heading = "quadrel: main never frees a result",
     .program = "quadrel",
     .tool = Tool::valgrind,
     .fast_sleep = true,
     .plain = {.judge = lessons_lines, .status = 0}},
    {.name = "QuadrelArgumentFreedTwice",
     .heading = "quadrel: main frees the argument block too",
     .program = "quadrel",
     .tool = Tool::valgrind,
     .fast_sleep = true,
     .stop_after_lines = 60,
     .plain = {.judge = freed_block_read, .stop_after_lines = 60, .crash = SIGABRT}},
    {.name = "QuadrelDetachedThenJoined",
     .heading = "quadrel: a detached worker, joined",
     .program = "quadrel",
     .fast_sleep = true,
     .plain = {.judge = detached_then_joined, .fast_sleep = false, .status = 1}},
    {.name = "QuadrelJoinedTwice",
     .heading = "quadrel: the same worker joined twice",
     .program = "quadrel",
     .fast_sleep = true,
     .plain = {.judge = joined_twice, .fast_sleep = false, .status = 1, .at_once = 3 * kRunsToEachOutput}},
    {.name = "QuadrelOneBlockForBoth",
     .heading = "quadrel: one argument block for both workers",
     .program = "quadrel",
     .fast_sleep = true,
     .plain = {.judge = numbers_read, .status = 0}},
    {.name = "QuadrelNoJoin",
     .heading = "quadrel: main returns without joining",
     .program = "quadrel",
     .tool = Tool::strace,
     .plain = {.judge = no_join, .fast_sleep = false, .status = 0}},
    {.name = "QuadrelResultOnTheStack",
     .heading = "quadrel: the result as the address of a local",
     .program = "quadrel",
     .plain = {.judge = result_on_the_stack, .status = 1}},
    {.name = "PellitTextInALocalArray",
     .heading = "pellit: the text in a local array",
     .program = "pellit",
     .tool = Tool::valgrind,
     .stop_after_lines = 5,
     .plain = {.judge = local_array, .fast_sleep = false, .stop_after_lines = 3, .at_once = 3 * kRunsToEachOutput}},
    {.name = "PellitReturnFromMain",
     .heading = "pellit: return instead of pthread_exit",
     .program = "pellit",
     .tool = Tool::strace,
     .stop_after_seconds = 3,
     .stop_the_program = true,
     .plain = {.judge = return_from_main, .fast_sleep = false, .status = 0}},
    {.name = "PellitNoLineBuffering",
     .heading = "pellit: no line buffering",
     .program = "pellit",
     .plain = {.judge = no_line_buffering, .fast_sleep = false, .stop_after_seconds = 3}},
    {.name = "PellitTextAsFormat",
     .heading = "pellit: the text as the format",
     .program = "pellit",
     .plain = {.judge = text_as_format, .stop_after_lines = 1}},
};

// An entry of the page: its diff, its commands, the key lines of its report.
struct Entry {
    std::string diff;
    std::vector<std::string> commands; // the lines of its sh block
    std::vector<std::string> report;   // the lines of its text block
};

Entry entry(const std::string &heading)
{
    Entry e;
    int diffs = 0;
    int commands = 0;
    int reports = 0;
    for (const Block &block : fenced_blocks(kPage)) {
        if (block.heading != heading) {
            continue;
        }
        if (block.lang == "diff") {
            e.diff = block.text;
            diffs++;
        } else if (block.lang == "sh") {
            e.commands = lines_of(block.text);
            commands++;
        } else if (block.lang == "text") {
            e.report = lines_of(block.text);
            reports++;
        }
    }
    EXPECT_EQ(diffs, 1) << heading << ": diff blocks";
    EXPECT_EQ(commands, 1) << heading << ": sh blocks";
    EXPECT_EQ(reports, 1) << heading << ": text blocks (the report)";
    return e;
}

// The line that leads in an entry's list of the outcomes of its plain runs: a
// bullet for each, "- **name**: what it looks like, and counts".
const std::string kOutcomesLeadIn = "Outcomes of plain runs";

// The names of the outcomes listed under the lead-in in an entry of the page's
// prose, in order: the bold words that start each bullet of the list, which ends
// at the first line that is neither a bullet nor indented under one.
std::vector<std::string> outcomes_named(const std::string &prose, const std::string &heading)
{
    std::vector<std::string> names;
    std::string in;
    enum { before, lead_in, list, after } state = before;
    for (const std::string &line : lines_of(prose)) {
        if (line.rfind("## ", 0) == 0) {
            in = line.substr(3);
            continue;
        }
        if (in != heading || state == after) {
            continue;
        }
        if (state == before) {
            state = line.rfind(kOutcomesLeadIn, 0) == 0 ? lead_in : before;
        } else if (line.rfind("- **", 0) == 0) {
            const std::size_t end = line.find("**", 4);
            names.push_back(line.substr(4, end == std::string::npos ? std::string::npos : end - 4));
            state = list;
        } else if ((state == list && line.rfind("  ", 0) != 0) || (state == lead_in && !line.empty())) {
            state = after; // the list has ended, or what follows the lead-in is no list
        }
    }
    return names;
}

// A directory laid out as the top of the source tree, with the lesson's source.
struct Tree {
    std::filesystem::path dir;
    std::filesystem::path source; // the lesson's source in it
    explicit Tree(const std::string &program)
    {
        char name[] = "/tmp/mistake-XXXXXX";
        dir = mkdtemp(name) == nullptr ? std::filesystem::path() : std::filesystem::path(name);
        source = dir / program / (program + ".cpp");
        std::filesystem::create_directory(dir / program);
        std::filesystem::copy_file(std::filesystem::path(SOURCE_DIR) / program / (program + ".cpp"), source);
    }
    ~Tree() { std::filesystem::remove_all(dir); }
    Tree(const Tree &) = delete;
    Tree &operator=(const Tree &) = delete;

    // Applies the entry's diff as its reader does; the test fails if it does not
    // apply or changes nothing.
    void apply(const Entry &e) const
    {
        const std::string lesson = read_file(source);
        std::ofstream(dir / "mistake.diff") << e.diff;
        Recording applied = record({.argv = {GIT, "apply", "mistake.diff"}, .dir = dir});
        ASSERT_THAT(applied.status, ExitedWith(0)) << "the diff no longer applies: " << applied.err;
        ASSERT_NE(read_file(source), lesson) << "the diff changes nothing";
    }
};

// Runs the entry's commands, but for git's (the test applies the diff itself), in
// the tree, bounded in lines and time.
std::vector<std::string> run_commands(const Mistake &row, const Entry &e, const Tree &tree)
{
    std::string script;
    for (const std::string &command : e.commands) {
        if (command.rfind("git ", 0) != 0) {
            script += command + "\n";
        }
    }
    Spawn spawn{.argv = {"/bin/sh", "-c", script},
                .dir = tree.dir,
                .env = {"LC_ALL=C.UTF-8", "VALGRIND_OPTS=--vgdb=no"},
                .stop_after_lines = row.stop_after_lines,
                .stop_after_seconds = row.stop_after_seconds,
                .time_limit = 100};
    if (row.fast_sleep) {
        spawn.env.insert(spawn.env.end(), kFastSleep.begin(), kFastSleep.end());
    }
    if (row.stop_the_program) {
        spawn.stop_whom = [](pid_t group) { return pid_named(group, "mistake"); };
    }
    return all_lines(record(spawn));
}

bool shows(const std::vector<std::string> &out, const std::string &quote)
{
    return std::any_of(out.begin(), out.end(), [&](const std::string &line) { return quoted_as(quote, line); });
}

// A quote's "..." stands only for what differs from run to run, one token each:
// never for words, and never for a plain number that the report writes as it is
// (a number right after ":", "#", "=", "T" or "==" is a line number, a thread's,
// a process's: those vary).
testing::AssertionResult specific(const std::string &quote, const std::string &line)
{
    const std::optional<std::vector<std::string>> fills = filled_in(quote, line);
    if (!fills) {
        return testing::AssertionFailure() << "not the line quoted";
    }
    std::size_t dots = quote.find("...");
    for (const std::string &fill : *fills) {
        const char before = dots == 0 ? ' ' : quote[dots - 1];
        if (fill.find_first_of(" \t") != std::string::npos) {
            return testing::AssertionFailure() << "\"...\" stands for words, \"" << fill << "\", in: " << quote;
        }
        if (!fill.empty() && fill.find_first_not_of("0123456789") == std::string::npos &&
            (before == ' ' || before == '(')) {
            return testing::AssertionFailure()
                   << "\"...\" stands for " << fill << ", which the report writes as it is, in: " << quote;
        }
        dots = quote.find("...", dots + 3);
    }
    return testing::AssertionSuccess();
}

class MistakeTest : public testing::TestWithParam<Mistake> {
protected:
    void SetUp() override
    {
        if (kEmulated) {
            SKIP_FOR_THIS_BUILD("the page's commands build for this machine, which the build's fast sleep is not for");
        }
        REQUIRE_TOOL(GIT, "git");
        if (GetParam().tool == Tool::valgrind) {
            REQUIRE_TOOL(VALGRIND, "valgrind");
        }
        if (GetParam().tool == Tool::strace) {
            REQUIRE_TOOL(STRACE, "strace");
        }
    }
};

class Mistakes : public MistakeTest {};

// The diff applies and changes the lesson; the commands then give every key line.
TEST_P(Mistakes, ShowWhatThePageQuotes)
{
    const Mistake &row = GetParam();
    const Entry e = entry(row.heading);
    ASSERT_FALSE(e.report.empty());
    Tree tree(row.program);
    ASSERT_NO_FATAL_FAILURE(tree.apply(e));

    const std::vector<std::string> out = run_commands(row, e, tree);
    for (const std::string &quote : e.report) {
        EXPECT_TRUE(shows(out, quote)) << "not in the report: " << quote << "\nwhat came:\n"
                                       << testing::PrintToString(out);
        const auto line =
            std::find_if(out.begin(), out.end(), [&](const std::string &l) { return quoted_as(quote, l); });
        if (line != out.end()) {
            EXPECT_TRUE(specific(quote, *line));
        }
    }
}

// The plain runs of the mistaken lesson (g++ -O2, no tool), a few dozen of them
// to each output, a few at a time; each run's outcome must be one that the page
// names. How often each came is printed, never judged: that is the machine's.
TEST_P(Mistakes, PlainRunsShowOnlyWhatThePageNames)
{
    const Mistake &row = GetParam();
    const Plain &plain = row.plain;
    const std::vector<std::string> named = outcomes_named(prose(kPage), row.heading);
    ASSERT_FALSE(named.empty()) << "no outcomes under \"" << kOutcomesLeadIn << "\" in " << row.heading;
    Tree tree(row.program);
    ASSERT_NO_FATAL_FAILURE(tree.apply(entry(row.heading)));
    Recording built = record({.argv = {"/bin/sh", "-c", "g++ -O2 -o plain " + tree.source.string()}, .dir = tree.dir});
    ASSERT_THAT(built.status, ExitedWith(0)) << built.err;

    // Every run of every output, so many at a time.
    std::vector<Spawn> spawns;
    for (const Output output : plain.outputs) {
        for (int i = 0; i < kRunsToEachOutput; i++) {
            spawns.push_back({.argv = {(tree.dir / "plain").string()},
                              .output = output,
                              .env = plain.fast_sleep ? kFastSleep : std::vector<std::string>{},
                              .stop_after_lines = plain.stop_after_lines,
                              .stop_after_seconds = plain.stop_after_seconds});
        }
    }
    std::vector<Recording> runs;
    for (std::size_t from = 0; from < spawns.size(); from += static_cast<std::size_t>(plain.at_once)) {
        std::vector<std::future<Recording>> batch;
        for (std::size_t i = from; i < std::min(from + static_cast<std::size_t>(plain.at_once), spawns.size()); i++) {
            batch.push_back(std::async(std::launch::async, [&spawn = spawns[i]] { return record(spawn); }));
        }
        for (std::future<Recording> &run : batch) {
            runs.push_back(run.get());
        }
    }

    const char *output_names[] = {"terminal", "pipe", "file"};
    std::map<std::string, std::map<std::string, int>> seen; // by output, by outcome
    for (std::size_t i = 0; i < runs.size(); i++) {
        const Recording &r = runs[i];
        const std::string where = output_names[static_cast<int>(spawns[i].output)];
        const std::string outcome = plain.judge(r);
        seen[where][outcome]++;
        std::ostringstream about;
        about << where << " run " << i % kRunsToEachOutput + 1 << ": \"" << outcome
              << "\"\nwhat came: " << testing::PrintToString(all_lines(r)) << ", wait status " << r.status;
        const std::string what = about.str();
        EXPECT_THAT(named, testing::Contains(outcome)) << what << "\nwhich the page does not name";
        if (plain.status >= 0) {
            EXPECT_THAT(r.status, ExitedWith(plain.status)) << what;
        } else { // ended by itself or stopped, but never a crash that the page does not name
            EXPECT_FALSE(WIFSIGNALED(r.status) && WTERMSIG(r.status) != SIGKILL && WTERMSIG(r.status) != plain.crash)
                << what;
        }
    }
    for (const auto &[where, outcomes] : seen) {
        std::cout << "[ outcomes ] " << row.name << ", " << where << ":";
        for (const auto &[outcome, n] : outcomes) {
            std::cout << " " << outcome << " " << n << ";";
        }
        std::cout << " of " << kRunsToEachOutput << "\n";
    }
}

INSTANTIATE_TEST_SUITE_P(Page, Mistakes, testing::ValuesIn(kMistakes), testing::PrintToStringParamName());

class MistakesControl : public MistakeTest {};

// The lesson as it is, under the same commands, gives none of the report's lines.
TEST_P(MistakesControl, LessonGivesNoReport)
{
    const Mistake &row = GetParam();
    const Entry e = entry(row.heading);
    ASSERT_FALSE(e.report.empty());
    Tree tree(row.program);
    const std::vector<std::string> out = run_commands(row, e, tree);
    for (const std::string &quote : e.report) {
        EXPECT_FALSE(shows(out, quote)) << "the lesson too: " << quote;
    }
}

INSTANTIATE_TEST_SUITE_P(Page, MistakesControl, testing::ValuesIn(kMistakes), testing::PrintToStringParamName());

// Every entry of the page has its row above, and every row its entry.
TEST(MistakesPage, HasARowForEveryEntry)
{
    const std::vector<std::string> all = headings(kPage);
    std::set<std::string> rows;
    for (const Mistake &row : kMistakes) {
        rows.insert(row.heading);
    }
    EXPECT_EQ(std::set<std::string>(all.begin(), all.end()), rows);
}

// The reader of an entry's outcomes takes the bullets under the lead-in in that
// entry alone, up to the end of the list.
TEST(MistakesPage, OutcomesAreReadFromTheirListAlone)
{
    const std::string page = "## one\n"
                             "- **not listed**: a bullet before the lead-in\n"
                             "Outcomes of plain runs (built with `g++ -O2`):\n"
                             "\n"
                             "- **first**: what it looks like,\n"
                             "  and counts\n"
                             "- **second** as well\n"
                             "After the list.\n"
                             "- **after the list**\n"
                             "## two\n"
                             "Outcomes of plain runs:\n"
                             "- **other entry's**\n";
    EXPECT_THAT(outcomes_named(page, "one"), testing::ElementsAre("first", "second"));
    EXPECT_THAT(outcomes_named(page, "two"), testing::ElementsAre("other entry's"));
    EXPECT_THAT(outcomes_named(page, "three"), testing::IsEmpty());
    EXPECT_THAT(outcomes_named("## one\nOutcomes of plain runs:\nText.\n- **late**\n", "one"), testing::IsEmpty());
}

// A judge's case: what a run wrote, how it ended, and the outcome it is.
struct JudgeCase {
    const char *name;
    Judge judge;
    std::vector<std::string> out;
    std::string err;
    int status; // as waitpid reports it
    std::string outcome;
};
PRINTS_AS_ITS_NAME(JudgeCase)

constexpr int kExit0 = 0;
constexpr int kExit1 = 1 << 8;
constexpr int kKilled = SIGKILL;
const std::string kEinval = "quadrel: pthread_join: Invalid argument\n";
const std::string kGarbage = "Thread 1458483793 doing some work";

std::vector<std::string> plus(std::vector<std::string> lines, const std::vector<std::string> &more)
{
    lines.insert(lines.end(), more.begin(), more.end());
    return lines;
}

const JudgeCase kJudgeCases[] = {
    {"BothReadZero",
     stack_argument,
     {kJoin2, "Return result from thread 2 = 0", kJoin3, "Return result from thread 3 = 0"},
     "",
     kExit0,
     "both read 0"},
    {"TenAndZero", stack_argument, quadrel_lines(10, 0), "", kExit0, "read 10 and 0"},
    {"ResultsWithoutTheirLines",
     stack_argument,
     {kJoin2, "Return result from thread 2 = 4", kJoin3, kResult3},
     "",
     kExit0,
     kSomethingElse},
    {"WritesOn",
     stack_argument,
     {kJoin2, "Thread 32600 doing some work", "Thread 32600 doing some work"},
     "",
     kKilled,
     "a worker writes on"},
    {"WritesOnBesideAResult",
     stack_argument,
     {kJoin2, kWork2, "Thread 32648 doing some work", kWork2, "Return result from thread 2 = 4", kJoin3,
      "Thread 32648 doing some work"},
     "",
     kKilled,
     "a worker writes on"},
    {"StoppedEarly", stack_argument, {kJoin2, kWork10}, "", kKilled, kSomethingElse},
    {"OneLargeNumber", freed_block_read, {kJoin2, kGarbage, kGarbage}, "", kKilled, "one large number"},
    {"LargeAndTwo",
     freed_block_read,
     {kGarbage, kWork2, kJoin2, kWork2, kGarbage},
     "",
     kKilled,
     "a large number and 2"},
    {"TwoLargeNumbers",
     freed_block_read,
     {kJoin2, kGarbage, "Thread 2015642817 doing some work"},
     "",
     kKilled,
     "two large numbers"},
    {"CutByTheStop",
     freed_block_read,
     {kGarbage, kJoin2, kGarbage, "Thread 14584" + kNoNewline},
     "",
     kKilled,
     "one large number"},
    {"TenAndALargeNumber", freed_block_read, plus(times(10, kWork10), {kJoin2, kGarbage, kResult2, kJoin3, kGarbage}),
     "", kKilled, "10 and a large number"},
    {"TenAndNothing", freed_block_read,
     plus(times(10, kWork10), {kJoin2, kResult2, kJoin3, "Return result from thread 3 = 1859444388"}), "", kExit0,
     "10 and nothing"},
    {"TenAndTwo", freed_block_read, quadrel_lines(10, 2), "", kExit0, "10 and 2"},
    {"NineAndNothing", freed_block_read,
     plus(times(9, kWork10), {kJoin2, kResult2, kJoin3, "Return result from thread 3 = 1859444388"}), "", kExit0,
     kSomethingElse},
    {"GlibcAborts",
     freed_block_read,
     {kWork2, kJoin2, kWork2},
     "double free or corruption (fasttop)\n",
     SIGABRT,
     "glibc aborts"},
    {"AbortUnsaid", freed_block_read, {kWork2, kJoin2, kWork2}, "", SIGABRT, kSomethingElse},
    {"GarbageTorn",
     freed_block_read,
     {kJoin2, kGarbage, "Thread Thread 1458483793 doing some work"},
     "",
     kKilled,
     kSomethingElse},
    {"LessonsLines", lessons_lines, quadrel_lines(10, 2), "", kExit0, "the lesson's lines"},
    {"LessonLessALine", lessons_lines, plus(quadrel_lines(9, 2), times(9, kWork10)), "", kExit0, kSomethingElse},
    {"NoWorkerLine", detached_then_joined, {kJoin2, kJoin3}, kEinval + kEinval, kExit1, "no worker line"},
    {"OneWorkerLine", detached_then_joined, {kWork2, kJoin2, kJoin3}, kEinval + kEinval, kExit1, "one worker line"},
    {"BothFirstLines",
     detached_then_joined,
     {kJoin2, kWork10, kJoin3, kWork2},
     kEinval + kEinval,
     kExit1,
     "both workers' first lines"},
    {"ALineTwice", detached_then_joined, {kJoin2, kJoin3, kWork10, kWork10}, kEinval + kEinval, kExit1, "a line twice"},
    {"BothLinesTwice", no_join, {kWork2, kWork2, kWork10, kWork10}, "", kExit0, "both lines twice"},
    {"ALineThrice", no_join, {kWork2, kWork2, kWork2}, "", kExit0, kSomethingElse},
    {"CutShort",
     detached_then_joined,
     {kJoin2, kJoin3, "Thread " + kNoNewline},
     kEinval + kEinval,
     kExit1,
     "a torn line"},
    {"OneJoinFailed", detached_then_joined, {kJoin2, kJoin3}, kEinval, kExit1, kSomethingElse},
    {"NoJoinNothing", no_join, {}, "", kExit0, "no worker line"},
    {"NoJoinRunTogether", no_join, {"Thread Thread 10 doing some work", kWork2}, "", kExit0, "a torn line"},
    {"ReturnNoWorkerLine", return_from_main, {kPaused}, "", kExit0, "no worker line"},
    {"ReturnLineTwice", return_from_main, {kInput, kPaused, kInput}, "", kExit0, "a line twice"},
    {"ReturnCutShort", return_from_main, {kPaused, "Input is : " + kNoNewline}, "", kExit0, "a torn line"},
    {"ReturnWithoutMain", return_from_main, {kInput}, "", kExit0, kSomethingElse},
    {"NoSuchProcess", joined_twice, plus(quadrel_lines(10, 0), {"Return result from thread 3 = 0"}),
     "quadrel: pthread_join: No such process\n", kExit1, kSomethingElse},
    {"JoinedTwice", joined_twice, plus(times(10, kWork10), {kWork2, kJoin2, kWork2, kResult2, kJoin3}),
     "quadrel: pthread_join: No such process\n", kExit1, "No such process"},
    {"NoResultLine", result_on_the_stack, plus(times(10, kWork10), {kWork2, kJoin2, kWork2, kJoin3}), "", kExit1,
     "no result line"},
    {"AResultLine", result_on_the_stack, plus(times(10, kWork10), {kWork2, kJoin2, kWork2, kResult2, kJoin3}), "",
     kExit1, kSomethingElse},
    {"NeverWhole", local_array, {kPaused, "Input is : \x01\xff", "Input is : \x01\xff"}, "", kKilled, "never whole"},
    {"WholeAtFirst", local_array, {kInput, kPaused, "Input is : I am"}, "", kKilled, "whole at first"},
    {"AlwaysWhole", local_array, {kPaused, kInput, kInput}, "", kKilled, "always whole"},
    {"WholeLater", local_array, {kPaused, "Input is : I am", kInput}, "", kKilled, kSomethingElse},
    {"Nothing", no_line_buffering, {}, "", kKilled, "nothing within 3 s"},
    {"LineByLine", no_line_buffering, {kPaused, kInput, kInput}, "", kKilled, "line by line"},
    {"WorkerFirst", no_line_buffering, {kInput, kPaused, kInput}, "", kKilled, "line by line"},
    {"ABlock", no_line_buffering, {kPaused, kInput, "Input is : I am" + kNoNewline}, "", kKilled, kSomethingElse},
    {"MainsLineFirst", text_as_format, {kPaused}, "", kKilled, "main's line first"},
    {"GluedInFront", text_as_format, {kText + kText + kPaused}, "", kKilled, "glued in front"},
    {"CutMainsLine", text_as_format, {kText + "The execution"}, "", kKilled, kSomethingElse},
};

class Judges : public testing::TestWithParam<JudgeCase> {};

TEST_P(Judges, NameWhatARunShowed)
{
    const JudgeCase &c = GetParam();
    Recording r{.lines = {}, .err = c.err, .status = c.status};
    for (const std::string &line : c.out) {
        r.lines.push_back({line, 0});
    }
    EXPECT_EQ(c.judge(r), c.outcome);
}

INSTANTIATE_TEST_SUITE_P(Mistakes, Judges, testing::ValuesIn(kJudgeCases), testing::PrintToStringParamName());

} // namespace
