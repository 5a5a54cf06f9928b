// The classic mistakes page, kept true: each entry's diff is applied to a copy of
// the lesson's source, the entry's own commands build and run it, and every line
// of the report that the page quotes must come; the same commands on the lesson
// as it is must not give the report.
#include "docs.hpp"
#include "spawn.hpp"
#include "trace.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

const std::string kPage = SOURCE_DIR "/docs/mistakes.md";

enum class Tool { compiler, valgrind, strace };

struct Mistake {
    const char *name;
    const char *heading;              // the entry's heading on the page
    const char *program;              // the lesson the diff changes
    Tool tool = Tool::compiler;       // the tool the commands run, beyond the compiler
    bool fast_sleep = false;          // each second of sleep lasts 10 ms, for a run that must reach its end
    std::size_t stop_after_lines = 0; // for a run that may not end by itself: stop it after this many lines
    bool stop_the_program = false;    // stop the program itself, not its tracer
};
PRINTS_AS_ITS_NAME(Mistake)

const Mistake kMistakes[] = {
    {.name = "QuadrelStackArgument",
     .heading = "quadrel: the argument as the address of a local",
     .program = "quadrel",
     .tool = Tool::valgrind,
     .fast_sleep = true,
     .stop_after_lines = 60},
    {.name = "QuadrelReadAfterFree",
     .heading = "quadrel: the argument read after it is freed",
     .program = "quadrel",
     .fast_sleep = true,
     .stop_after_lines = 60},
    {.name = "QuadrelArgumentNeverFreed",
     .heading = "quadrel: the worker never frees its argument",
     .program = "quadrel",
     .tool = Tool::valgrind,
     .fast_sleep = true},
    {.name = "QuadrelResultNeverFreed",
     .heading = "quadrel: main never frees a result",
     .program = "quadrel",
     .tool = Tool::valgrind,
     .fast_sleep = true},
    {.name = "QuadrelArgumentFreedTwice",
     .heading = "quadrel: main frees the argument block too",
     .program = "quadrel",
     .tool = Tool::valgrind,
     .fast_sleep = true,
     .stop_after_lines = 60},
    {.name = "QuadrelDetachedThenJoined",
     .heading = "quadrel: a detached worker, joined",
     .program = "quadrel",
     .fast_sleep = true},
    {.name = "QuadrelJoinedTwice",
     .heading = "quadrel: the same worker joined twice",
     .program = "quadrel",
     .fast_sleep = true},
    {.name = "QuadrelOneBlockForBoth",
     .heading = "quadrel: one argument block for both workers",
     .program = "quadrel",
     .fast_sleep = true},
    {.name = "QuadrelNoJoin",
     .heading = "quadrel: main returns without joining",
     .program = "quadrel",
     .tool = Tool::strace},
    {.name = "QuadrelResultOnTheStack",
     .heading = "quadrel: the result as the address of a local",
     .program = "quadrel"},
    {.name = "PellitReturnFromMain",
     .heading = "pellit: return instead of pthread_exit",
     .program = "pellit",
     .tool = Tool::strace,
     .stop_after_lines = 3,
     .stop_the_program = true},
    {.name = "PellitNoLineBuffering", .heading = "pellit: no line buffering", .program = "pellit"},
    {.name = "PellitTextAsFormat", .heading = "pellit: the text as the format", .program = "pellit"},
};

// An entry of the page: its diff, its commands, the key lines of its report.
struct Entry {
    std::string diff;
    std::vector<std::string> commands; // the lines of its sh block
    std::vector<std::string> report;   // the lines of its text block
};

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

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

std::string read_file(const std::filesystem::path &path)
{
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A directory laid out as the top of the source tree, with the lesson's source.
struct Tree {
    std::filesystem::path dir;
    explicit Tree(const std::string &program)
    {
        char name[] = "/tmp/mistake-XXXXXX";
        dir = mkdtemp(name) == nullptr ? std::filesystem::path() : std::filesystem::path(name);
        std::filesystem::create_directory(dir / program);
        std::filesystem::copy_file(std::filesystem::path(SOURCE_DIR) / program / (program + ".cpp"),
                                   dir / program / (program + ".cpp"));
    }
    ~Tree() { std::filesystem::remove_all(dir); }
    Tree(const Tree &) = delete;
    Tree &operator=(const Tree &) = delete;
};

// Runs the entry's commands, but for git's (the test applies the diff itself), in
// the tree, bounded in lines and time; all that they wrote, line by line.
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
                .time_limit = 100};
    if (row.fast_sleep) {
        spawn.env.insert(spawn.env.end(), {"LD_PRELOAD=" FAST_SLEEP, "ASAN_OPTIONS=verify_asan_link_order=0"});
    }
    if (row.stop_the_program) {
        spawn.stop_whom = [](pid_t group) { return pid_named(group, "mistake"); };
    }
    Recording r = record(spawn);
    std::vector<std::string> out = r.texts();
    for (const std::string &line : lines_of(r.err)) {
        out.push_back(line);
    }
    return out;
}

bool shows(const std::vector<std::string> &out, const std::string &quote)
{
    return std::any_of(out.begin(), out.end(), [&](const std::string &line) { return quoted_as(quote, line); });
}

class MistakeTest : public testing::TestWithParam<Mistake> {
protected:
    void SetUp() override
    {
        if (GetParam().tool == Tool::valgrind && std::string(VALGRIND).empty()) {
            SKIP_FOR_MISSING_TOOL("valgrind is not installed");
        }
        if (GetParam().tool == Tool::strace && std::string(STRACE).empty()) {
            SKIP_FOR_MISSING_TOOL("strace is not installed");
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
    const std::filesystem::path source = tree.dir / row.program / (std::string(row.program) + ".cpp");
    const std::string lesson = read_file(source);
    std::ofstream(tree.dir / "mistake.diff") << e.diff;
    Recording applied = record({.argv = {"/usr/bin/git", "apply", "mistake.diff"}, .dir = tree.dir});
    ASSERT_THAT(applied.status, ExitedWith(0)) << "the diff no longer applies: " << applied.err;
    ASSERT_NE(read_file(source), lesson) << "the diff changes nothing";

    const std::vector<std::string> out = run_commands(row, e, tree);
    for (const std::string &quote : e.report) {
        EXPECT_TRUE(shows(out, quote)) << "not in the report: " << quote << "\nwhat came:\n"
                                       << testing::PrintToString(out);
    }
}

INSTANTIATE_TEST_SUITE_P(Page, Mistakes, testing::ValuesIn(kMistakes), row_name<Mistake>);

class MistakesControl : public MistakeTest {};

// The lesson as it is, under the same commands, gives no such report.
TEST_P(MistakesControl, LessonGivesNoReport)
{
    const Mistake &row = GetParam();
    const Entry e = entry(row.heading);
    ASSERT_FALSE(e.report.empty());
    Tree tree(row.program);
    const std::vector<std::string> out = run_commands(row, e, tree);
    EXPECT_FALSE(shows(out, e.report.front())) << "the lesson too: " << e.report.front();
}

INSTANTIATE_TEST_SUITE_P(Page, MistakesControl, testing::ValuesIn(kMistakes), row_name<Mistake>);

// Every entry of the page has its row above, and every row its entry.
TEST(MistakesPage, HasARowForEveryEntry)
{
    std::ifstream in(kPage);
    std::set<std::string> headings;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("## ", 0) == 0) {
            headings.insert(line.substr(3));
        }
    }
    std::set<std::string> rows;
    for (const Mistake &row : kMistakes) {
        rows.insert(row.heading);
    }
    EXPECT_EQ(headings, rows);
}

} // namespace
