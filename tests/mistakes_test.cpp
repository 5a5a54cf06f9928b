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
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

const std::string kPage = SOURCE_DIR "/docs/mistakes.md";

enum class Tool { compiler, valgrind, strace };

// What every plain run of the mistaken lesson shows, as the page says: built with
// g++ -O2 and run with no tool.
struct Plain {
    Output output = Output::pipe;
    bool fast_sleep = true;            // each second of sleep lasts 10 ms
    double seconds = 0;                // stop it with SIGKILL this long after the start; 0: it ends by itself
    std::vector<std::string> always{}; // lines, quoted as the page quotes, that every run writes
    std::vector<std::string> never{};  // lines that no run writes
    int status = -1;                   // its exit status; -1: ended or stopped, but never by a crash
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
    Plain plain{};                    // what every plain run shows
};
PRINTS_AS_ITS_NAME(Mistake)

const std::vector<std::string> kLessonsLines = {kWork10, kWork2, kJoin2, kResult2, kJoin3, kResult3};

const Mistake kMistakes[] = {
    {.name = "QuadrelStackArgument",
     .heading = "quadrel: the argument as the address of a local",
     .program = "quadrel",
     .tool = Tool::valgrind,
     .fast_sleep = true,
     .stop_after_lines = 60,
     .plain = {.output = Output::terminal, .seconds = 2, .always = {kJoin2}}},
    {.name = "QuadrelReadAfterFree",
     .heading = "quadrel: the argument read after it is freed",
     .program = "quadrel",
     .fast_sleep = true,
     .stop_after_lines = 60,
     .plain = {.output = Output::terminal, .seconds = 2, .always = {kJoin2}, .never = {kWork10, kWork2, kResult2}}},
    {.name = "QuadrelArgumentNeverFreed",
     .heading = "quadrel: the worker never frees its argument",
     .program = "quadrel",
     .tool = Tool::valgrind,
     .fast_sleep = true,
     .plain = {.always = kLessonsLines, .status = 0}},
    {.name = "QuadrelResultNeverFreed",
     .heading = "quadrel: main never frees a result",
     .program = "quadrel",
     .tool = Tool::valgrind,
     .fast_sleep = true,
     .plain = {.always = kLessonsLines, .status = 0}},
    {.name = "QuadrelArgumentFreedTwice",
     .heading = "quadrel: main frees the argument block too",
     .program = "quadrel",
     .tool = Tool::valgrind,
     .fast_sleep = true,
     .stop_after_lines = 60,
     .plain = {.output = Output::terminal, .seconds = 2, .always = {kJoin2}}},
    {.name = "QuadrelDetachedThenJoined",
     .heading = "quadrel: a detached worker, joined",
     .program = "quadrel",
     .fast_sleep = true,
     .plain = {.always = {kJoin2, kJoin3, "quadrel: pthread_join: Invalid argument"},
               .never = {kResult2, kResult3},
               .status = 1}},
    {.name = "QuadrelJoinedTwice",
     .heading = "quadrel: the same worker joined twice",
     .program = "quadrel",
     .fast_sleep = true,
     .plain = {.always = {kResult2, kJoin3, "quadrel: pthread_join: No such process"},
               .never = {kResult3},
               .status = 1}},
    {.name = "QuadrelOneBlockForBoth",
     .heading = "quadrel: one argument block for both workers",
     .program = "quadrel",
     .fast_sleep = true,
     .plain = {.always = {kJoin2, kJoin3, kResult3}, .status = 0}},
    {.name = "QuadrelNoJoin",
     .heading = "quadrel: main returns without joining",
     .program = "quadrel",
     .tool = Tool::strace,
     .plain = {.fast_sleep = false, .never = {kJoin2, "Return result from thread ..."}, .status = 0}},
    {.name = "QuadrelResultOnTheStack",
     .heading = "quadrel: the result as the address of a local",
     .program = "quadrel",
     .plain = {.always = {kJoin2, kJoin3}, .never = {"Return result from thread ...", "quadrel: ..."}, .status = 1}},
    {.name = "PellitTextInALocalArray",
     .heading = "pellit: the text in a local array",
     .program = "pellit",
     .tool = Tool::valgrind,
     .stop_after_lines = 5,
     .plain = {.output = Output::terminal, .seconds = 2, .always = {kPaused}}},
    {.name = "PellitReturnFromMain",
     .heading = "pellit: return instead of pthread_exit",
     .program = "pellit",
     .tool = Tool::strace,
     .stop_after_seconds = 3,
     .stop_the_program = true,
     .plain = {.output = Output::terminal, .fast_sleep = false, .always = {kPaused}, .status = 0}},
    {.name = "PellitNoLineBuffering",
     .heading = "pellit: no line buffering",
     .program = "pellit",
     .plain = {.fast_sleep = false, .seconds = 3, .never = {"..."}}},
    {.name = "PellitTextAsFormat",
     .heading = "pellit: the text as the format",
     .program = "pellit",
     .plain = {.output = Output::terminal,
               .fast_sleep = false,
               .seconds = 3,
               .always = {"..." + kPaused},
               .never = {"...Input is...", "...threadI am thread..."}}},
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

// All that a run wrote, standard output then standard error, line by line.
std::vector<std::string> all_lines(const Recording &r)
{
    std::vector<std::string> out = r.texts();
    for (const std::string &line : lines_of(r.err)) {
        out.push_back(line);
    }
    return out;
}

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
    }
}

// The mistaken lesson built as the page's plain runs are (g++ -O2, no tool) and run
// on its own: what the page says that every such run shows, it shows.
TEST_P(Mistakes, PlainRunShowsWhatThePageSays)
{
    const Mistake &row = GetParam();
    const Plain &plain = row.plain;
    Tree tree(row.program);
    ASSERT_NO_FATAL_FAILURE(tree.apply(entry(row.heading)));
    Recording built = record({.argv = {"/bin/sh", "-c", "g++ -O2 -o plain " + tree.source.string()}, .dir = tree.dir});
    ASSERT_THAT(built.status, ExitedWith(0)) << built.err;

    Spawn spawn{.argv = {(tree.dir / "plain").string()},
                .output = plain.output,
                .env = plain.fast_sleep ? kFastSleep : std::vector<std::string>{},
                .stop_after_seconds = plain.seconds};
    Recording r = record(spawn);
    const std::vector<std::string> out = all_lines(r);
    SCOPED_TRACE("what came: " + testing::PrintToString(out));
    if (plain.status >= 0) {
        EXPECT_THAT(r.status, ExitedWith(plain.status));
    } else { // ended by itself or stopped, but never a crash
        EXPECT_FALSE(WIFSIGNALED(r.status) && WTERMSIG(r.status) != SIGKILL) << "wait status " << r.status;
    }
    for (const std::string &quote : plain.always) {
        EXPECT_TRUE(shows(out, quote)) << "missing: " << quote;
    }
    for (const std::string &quote : plain.never) {
        EXPECT_FALSE(shows(out, quote)) << "came: " << quote;
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

} // namespace
