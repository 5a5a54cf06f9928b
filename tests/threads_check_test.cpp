// threads-check, as a learner and a teacher meet it: the shipped lessons pass
// every point; sound versions written another way pass; each classic mistake of
// the mistakes page, applied to a copy of its lesson, breaks the point that the
// page's tool catches and is named; hostile programs are stopped at their bounds
// with nothing left behind; bad input gives status 2 and the batch goes on.
#include "build.hpp"
#include "docs.hpp"
#include "spawn.hpp"
#include "status.hpp"

#include "lesson.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

using testing::HasSubstr;
using testing::Not;

namespace {

namespace fs = std::filesystem;

const std::string kCheck = THREADS_CHECK;
const fs::path kFixtures = fs::path(SOURCE_DIR) / "tests" / "check";
const std::string kPage = SOURCE_DIR "/docs/mistakes.md";

// A directory of the test's own, removed with it.
struct Scratch {
    fs::path dir;
    Scratch()
    {
        char name[] = "/tmp/threads-check-test-XXXXXX";
        dir = mkdtemp(name) == nullptr ? fs::path() : fs::path(name);
        fs::create_directory(dir / "tmp");
    }
    ~Scratch() { fs::remove_all(dir); }
    Scratch(const Scratch &) = delete;
    Scratch &operator=(const Scratch &) = delete;
};

struct Checked {
    int status = -1;
    std::string out, err;
};

// Every process whose command line names `path`: a learner's build left running.
std::vector<std::string> processes_under(const std::string &path)
{
    std::vector<std::string> found;
    for (const auto &entry : fs::directory_iterator("/proc")) {
        const std::string pid = entry.path().filename();
        if (pid.find_first_not_of("0123456789") != std::string::npos || pid == std::to_string(getpid())) {
            continue;
        }
        std::string cmdline = read_file(entry.path() / "cmdline");
        std::replace(cmdline.begin(), cmdline.end(), '\0', ' ');
        if (cmdline.find(path) != std::string::npos) {
            found.push_back(pid);
            found.back() += ": " + cmdline;
        }
    }
    return found;
}

// Runs threads-check with its temporary files in the scratch directory, and
// fails the test if anything of its runs is left there or still running.
Checked check(const Scratch &scratch, const std::vector<std::string> &args, const std::string &dir = "",
              std::vector<std::string> env = {})
{
    std::vector<std::string> argv{kCheck};
    argv.insert(argv.end(), args.begin(), args.end());
    env.push_back("TMPDIR=" + (scratch.dir / "tmp").string());
    Recording r = record({.argv = argv, .dir = dir, .env = env});
    Checked c;
    c.status = r.status;
    for (const std::string &line : r.texts()) {
        c.out += line + "\n";
    }
    c.err = r.err;
    EXPECT_TRUE(fs::is_empty(scratch.dir / "tmp")) << "threads-check left files behind";
    EXPECT_THAT(processes_under((scratch.dir / "tmp").string()), testing::IsEmpty());
    return c;
}

// The lines of a report that start with `word ` ("ok ", "broken ", "not checked ").
std::vector<std::string> lines_starting(const std::string &report, const std::string &word)
{
    std::vector<std::string> out;
    for (const std::string &line : lines_of(report)) {
        if (line.rfind(word + " ", 0) == 0) {
            out.push_back(line);
        }
    }
    return out;
}

#define REQUIRE_NATIVE_BUILD()                                                                                         \
    do {                                                                                                               \
        if (kEmulated) {                                                                                               \
            SKIP_FOR_THIS_BUILD("threads-check compiles for the machine it runs on, not for the emulated one");        \
        }                                                                                                              \
        if (kSanitized) {                                                                                              \
            SKIP_FOR_THIS_BUILD("the learner's builds run under valgrind, which this build's lessons cannot");         \
        }                                                                                                              \
        if (FOREIGN_BUILD != 0) {                                                                                      \
            SKIP_FOR_THIS_BUILD("threads-check builds learners' files for the machine, not for this build's target");  \
        }                                                                                                              \
        REQUIRE_TOOL(VALGRIND, "valgrind");                                                                            \
        REQUIRE_TOOL(STRACE, "strace");                                                                                \
    } while (false)

// The pages show what g++ says; threads-check builds with the compiler family
// of its own build.
#define REQUIRE_GNU_BUILD()                                                                                            \
    do {                                                                                                               \
        if (std::string(COMPILER_ID) != "GNU") {                                                                       \
            SKIP_FOR_THIS_BUILD("the pages show g++'s messages, and threads-check here builds with " COMPILER_ID);     \
        }                                                                                                              \
    } while (false)

// ---- the shipped lessons and sound versions --------------------------------

std::vector<std::string> lessons()
{
    std::vector<std::string> names;
    std::istringstream in(PROGRAMS);
    for (std::string name; in >> name;) {
        names.push_back(name);
    }
    return names;
}

class LearnerCheckOfTheLesson : public testing::TestWithParam<std::string> {};

// The lesson's own source, built as a learner's file is, holds every point.
TEST_P(LearnerCheckOfTheLesson, HoldsEveryPoint)
{
    REQUIRE_NATIVE_BUILD();
    Scratch scratch;
    const std::string lesson = GetParam();
    Checked c = check(scratch, {lesson, lesson + "/" + lesson + ".cpp"}, SOURCE_DIR);
    EXPECT_THAT(c.status, ExitedWith(0)) << c.out << c.err;
    EXPECT_THAT(lines_starting(c.out, "broken"), testing::IsEmpty());
    EXPECT_THAT(lines_starting(c.out, "not"), testing::IsEmpty());
    EXPECT_GE(lines_starting(c.out, "ok").size(), 7U) << c.out;
    EXPECT_THAT(c.out, HasSubstr("every point holds"));
}

INSTANTIATE_TEST_SUITE_P(Shipped, LearnerCheckOfTheLesson, testing::ValuesIn(lessons()),
                         [](const testing::TestParamInfo<std::string> &info) { return info.param; });

// Versions written differently from the lessons (C and C++, malloc, new,
// pthread_exit, nanosleep, usleep, clock_nanosleep, a flush after each line, a
// detached worker, write(2)) pass, checked as a batch with a CSV for the grade book.
TEST(LearnerCheckOfSoundVersions, PassEveryPoint)
{
    REQUIRE_NATIVE_BUILD();
    for (const std::string lesson : {"quadrel", "pellit"}) {
        Scratch scratch;
        std::vector<std::string> args{"--csv", (scratch.dir / "grades.csv").string(), lesson};
        int files = 0;
        for (const auto &f : fs::directory_iterator(kFixtures / "sound")) {
            if (f.path().filename().string().rfind(lesson, 0) == 0) {
                args.push_back(f.path().string());
                files++;
            }
        }
        ASSERT_GE(files, 4) << lesson;
        Checked c = check(scratch, args);
        EXPECT_THAT(c.status, ExitedWith(0)) << c.out << c.err;
        EXPECT_THAT(lines_starting(c.out, "broken"), testing::IsEmpty()) << lesson;
        std::vector<std::string> csv = lines_of(read_file(scratch.dir / "grades.csv"));
        ASSERT_EQ(csv.size(), static_cast<std::size_t>(files) + 1) << read_file(scratch.dir / "grades.csv");
        EXPECT_EQ(csv[0], "file,status,lines,order,rhythm,results,memory,race,threads,failure,redirected,endless");
        for (std::size_t i = 1; i < csv.size(); i++) {
            EXPECT_THAT(csv[i], testing::MatchesRegex("[^,]+,0(,(ok)?)+")) << lesson;
        }
    }
}

// ---- the classic mistakes ----------------------------------------------------

struct Mistake {
    const char *heading;         // its entry on the mistakes page
    const char *point;           // the point that the page's tool catches
    const char *other = nullptr; // or the points that show it where that tool cannot see it, as "p q"
};

void PrintTo(const Mistake &m, std::ostream *os)
{
    *os << m.heading;
}

const Mistake kMistakes[] = {
    {"quadrel: the argument as the address of a local", "race"},
    {"quadrel: the argument read after it is freed", "memory"},
    {"quadrel: the worker never frees its argument", "memory"},
    {"quadrel: main never frees a result", "memory"},
    {"quadrel: main frees the argument block too", "memory"},
    {"quadrel: a detached worker, joined", "threads"},
    {"quadrel: the same worker joined twice", "threads"},
    {"quadrel: one argument block for both workers", "race"},
    {"quadrel: main returns without joining", "threads"},
    {"quadrel: the result as the address of a local", "results"},
    // clang keeps the array in a frame that stays: memcheck does not see it, and
    // helgrind in some runs; the garbled text shows it in every run.
    {"pellit: the text in a local array", "memory", "race lines"},
    {"pellit: return instead of pthread_exit", "endless"},
    {"pellit: no line buffering", "redirected"},
    {"pellit: the text as the format", "lines"},
};

// Every entry of the page is a row here, and every row an entry.
TEST(LearnerCheckOfMistakes, CoverEveryEntryOfThePage)
{
    std::vector<std::string> page;
    for (const std::string &h : headings(kPage)) {
        page.push_back(h);
    }
    std::vector<std::string> rows;
    for (const Mistake &m : kMistakes) {
        rows.emplace_back(m.heading);
    }
    EXPECT_THAT(rows, testing::UnorderedElementsAreArray(page));
}

class LearnerCheckOfAMistake : public testing::TestWithParam<Mistake> {};

// The entry's diff, applied to a copy of its lesson, gives status 1, the point
// broken, and the entry named with its section link.
TEST_P(LearnerCheckOfAMistake, BreaksThePointAndNamesTheEntry)
{
    REQUIRE_NATIVE_BUILD();
    REQUIRE_TOOL(GIT, "git");
    const Mistake &m = GetParam();
    const std::string heading = m.heading;
    const std::string lesson = heading.substr(0, heading.find(':'));
    std::string diff;
    for (const Block &b : fenced_blocks(kPage)) {
        if (b.heading == heading && b.lang == "diff") {
            diff = b.text;
        }
    }
    ASSERT_FALSE(diff.empty()) << heading;
    Scratch scratch;
    fs::path tree = scratch.dir / "tree";
    fs::create_directories(tree / lesson);
    fs::copy_file(fs::path(SOURCE_DIR) / lesson / (lesson + ".cpp"), tree / lesson / (lesson + ".cpp"));
    std::ofstream(tree / "mistake.diff") << diff;
    Recording applied = record({.argv = {GIT, "apply", "mistake.diff"}, .dir = tree.string()});
    ASSERT_THAT(applied.status, ExitedWith(0)) << applied.err;

    Checked c = check(scratch, {lesson, lesson + "/" + lesson + ".cpp"}, tree.string());
    EXPECT_THAT(c.status, ExitedWith(1)) << c.out << c.err;
    std::string anchor = heading;
    std::string slug;
    for (char ch : anchor) {
        if (std::isalnum(static_cast<unsigned char>(ch)) != 0) {
            slug += static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        } else if (ch == ' ' || ch == '-') {
            slug += '-';
        }
    }
    std::string named = "this is the classic mistake \"" + heading + "\": ";
    bool found = false;
    for (const std::string &line : lines_starting(c.out, "broken")) {
        const std::string point = line.substr(7, line.find(':') - 7); // after "broken "
        const bool its_point =
            point == m.point ||
            (m.other != nullptr && (" " + std::string(m.other) + " ").find(" " + point + " ") != std::string::npos);
        if (its_point && (m.other == nullptr || line.find("classic mistake") != std::string::npos)) {
            EXPECT_THAT(line, HasSubstr(named)) << c.out;
            EXPECT_THAT(line, HasSubstr("mistakes.md#" + slug));
            found = true;
        } else {
            EXPECT_THAT(line, Not(HasSubstr("classic mistake"))) << "only one entry is named";
        }
    }
    EXPECT_TRUE(found) << "the " << m.point << " point is not broken:\n" << c.out;
    // The link leads to a section of the page.
    EXPECT_THAT(headings(kPage), testing::Contains(heading));
}

INSTANTIATE_TEST_SUITE_P(Page, LearnerCheckOfAMistake, testing::ValuesIn(kMistakes),
                         [](const testing::TestParamInfo<Mistake> &info) {
                             std::string name;
                             bool up = true;
                             for (const char *p = info.param.heading; *p != '\0'; p++) {
                                 if (std::isalnum(static_cast<unsigned char>(*p)) != 0) {
                                     name += up ? static_cast<char>(std::toupper(static_cast<unsigned char>(*p))) : *p;
                                     up = false;
                                 } else {
                                     up = true;
                                 }
                             }
                             return name;
                         });

// ---- the trace judge -----------------------------------------------------------

struct TraceCase {
    const char *name;
    const char *trace;
    int threads, processes, thread_exits;
    bool main_exit, main_waited;
};

// strace pads a pid to the width of the widest one so far: a trace of 4-digit
// pids reads as one of 5-digit pids does.
const TraceCase kTraces[] = {
    {"QuadrelFiveDigits",
     "31097 clone3({flags=CLONE_VM|CLONE_THREAD|CLONE_SETTLS}, 88) = 31098\n"
     "31097 clone3({flags=CLONE_VM|CLONE_THREAD|CLONE_SETTLS} <unfinished ...>\n"
     "31097 <... clone3 resumed> => {parent_tid=[31099]}, 88) = 31099\n"
     "31097 futex(0x7f1d5b9af990, FUTEX_WAIT_BITSET|FUTEX_CLOCK_REALTIME, 31098, NULL, FUTEX_BITSET_MATCH_ANY "
     "<unfinished ...>\n"
     "31099 exit(0)                           = ?\n"
     "31098 exit(0)                           = ?\n"
     "31097 exit_group(0)                     = ?\n",
     2, 0, 2, false, true},
    {"QuadrelFourDigits",
     "9822  clone3({flags=CLONE_VM|CLONE_THREAD|CLONE_SETTLS}, 88) = 9823\n"
     "9822  clone3({flags=CLONE_VM|CLONE_THREAD|CLONE_SETTLS}, 88) = 9824\n"
     "9822  futex(0x7f2fc0121990, FUTEX_WAIT_BITSET|FUTEX_CLOCK_REALTIME, 9823, NULL, FUTEX_BITSET_MATCH_ANY) = 0\n"
     "9824  exit(0)                           = ?\n"
     "9823  exit(0)                           = ?\n"
     "9822  exit_group(0)                     = ?\n",
     2, 0, 2, false, true},
    {"PellitMainEnds",
     "512   clone3({flags=CLONE_VM|CLONE_THREAD|CLONE_SETTLS}, 88) = 513\n"
     "512   exit(0)                           = ?\n"
     "513   +++ killed by SIGINT +++\n",
     1, 0, 0, true, false},
    {"WaitOnALockIsNoJoin",
     "700   clone3({flags=CLONE_VM|CLONE_THREAD|CLONE_SETTLS}, 88) = 701\n"
     "700   futex(0x55d0a0, FUTEX_WAIT_PRIVATE, 2, NULL) = 0\n"
     "701   exit(0)                           = ?\n"
     "700   exit_group(0)                     = ?\n",
     1, 0, 1, false, false},
    {"AForkedChild",
     "800   clone(child_stack=NULL, flags=CLONE_CHILD_CLEARTID|CLONE_CHILD_SETTID|SIGCHLD) = 801\n"
     "800   exit_group(0)                     = ?\n",
     0, 1, 0, false, false},
};

void PrintTo(const TraceCase &c, std::ostream *os)
{
    *os << c.name;
}

class LearnerCheckTraceJudge : public testing::TestWithParam<TraceCase> {};

TEST_P(LearnerCheckTraceJudge, ReadsTheThreadsOfATrace)
{
    const TraceCase &c = GetParam();
    Scratch scratch;
    std::ofstream(scratch.dir / "trace.txt") << c.trace;
    const check::Trace t = check::read_trace((scratch.dir / "trace.txt").string());
    EXPECT_TRUE(t.traced);
    EXPECT_EQ(t.threads, c.threads);
    EXPECT_EQ(t.processes, c.processes);
    EXPECT_EQ(t.thread_exits, c.thread_exits);
    EXPECT_EQ(t.main_exit, c.main_exit);
    EXPECT_EQ(t.main_waited, c.main_waited);
}

INSTANTIATE_TEST_SUITE_P(Traces, LearnerCheckTraceJudge, testing::ValuesIn(kTraces),
                         [](const testing::TestParamInfo<TraceCase> &info) { return std::string(info.param.name); });

// ---- the docs' runs ----------------------------------------------------------

// A report with its times ("at 2.0 s") as "#.# s" and its line numbers as
// "line #", which a run cannot keep: which line comes first in the first moment
// is the scheduler's choice.
std::string untimed(const std::string &report)
{
    return std::regex_replace(std::regex_replace(report, std::regex("[0-9]+\\.[0-9] s"), "#.# s"),
                              std::regex("line [0-9]+"), "line #");
}

// The README's sample report is what threads-check prints for the lesson with
// main's free of the first result left out.
TEST(LearnerCheckOfTheDocs, ReadmeShowsARealReport)
{
    REQUIRE_NATIVE_BUILD();
    REQUIRE_GNU_BUILD();
    REQUIRE_TOOL(GIT, "git");
    const std::string readme = SOURCE_DIR "/README.md";
    const std::string command = doc_command(readme, "cmake --build", "threads-check quadrel my-quadrel.cpp");
    std::string shown = shown_after(readme, command);
    Scratch scratch;
    fs::create_directories(scratch.dir / "quadrel");
    fs::copy_file(fs::path(SOURCE_DIR) / "quadrel" / "quadrel.cpp", scratch.dir / "quadrel" / "quadrel.cpp");
    for (const Block &b : fenced_blocks(kPage)) {
        if (b.heading == "quadrel: main never frees a result" && b.lang == "diff") {
            std::ofstream(scratch.dir / "mistake.diff") << b.text;
        }
    }
    Recording applied = record({.argv = {GIT, "apply", "mistake.diff"}, .dir = scratch.dir.string()});
    ASSERT_THAT(applied.status, ExitedWith(0)) << applied.err;
    fs::rename(scratch.dir / "quadrel" / "quadrel.cpp", scratch.dir / "my-quadrel.cpp");
    Checked c = check(scratch, {"quadrel", "my-quadrel.cpp"}, scratch.dir.string());
    EXPECT_THAT(c.status, ExitedWith(1));
    // Run from the top of a checkout, the page is docs/mistakes.md; from here, its whole path.
    shown = std::regex_replace(shown, std::regex(" docs/mistakes\\.md#"), " " SOURCE_DIR "/docs/mistakes.md#");
    EXPECT_EQ(untimed(c.out), untimed(shown));
}

// The teacher's page shows a real batch, its table and its CSV.
TEST(LearnerCheckOfTheDocs, CheckingPageShowsARealBatch)
{
    REQUIRE_NATIVE_BUILD();
    REQUIRE_GNU_BUILD();
    const std::string page = SOURCE_DIR "/docs/checking.md";
    const std::string command = doc_command(page, "build/default/threads-check", "--csv grades.csv");
    Scratch scratch;
    std::string line = std::regex_replace(command, std::regex("^build/default/threads-check"), kCheck);
    line = std::regex_replace(line, std::regex("grades\\.csv"), (scratch.dir / "grades.csv").string());
    Recording r = record({.argv = {"/bin/sh", "-c", line},
                          .dir = SOURCE_DIR,
                          .env = {"TMPDIR=" + (scratch.dir / "tmp").string(), "LC_ALL=C.UTF-8"}});
    std::string out;
    for (const std::string &l : r.texts()) {
        out += l + "\n";
    }
    EXPECT_THAT(r.status, ExitedWith(2)) << out << r.err;
    EXPECT_EQ(untimed(out), untimed(shown_after(page, command)));
    const std::vector<Block> blocks = fenced_blocks(page);
    std::string csv;
    for (const Block &b : blocks) {
        if (b.lang == "text" && b.text.rfind("file,status,", 0) == 0) {
            csv = b.text;
        }
    }
    EXPECT_EQ(read_file(scratch.dir / "grades.csv"), csv);
    EXPECT_TRUE(fs::is_empty(scratch.dir / "tmp"));
}

// ---- hostile programs and bad input --------------------------------------------

struct Hostile {
    const char *file;
    const char *point;  // a point it must break
    const char *report; // and what that point's line says of it
};

void PrintTo(const Hostile &h, std::ostream *os)
{
    *os << h.file;
}

class LearnerCheckOfAHostileProgram : public testing::TestWithParam<Hostile> {};

// Each is stopped at its bound and reported, and nothing of it is left running
// or on disk (check() looks).
TEST_P(LearnerCheckOfAHostileProgram, IsStoppedAndReported)
{
    REQUIRE_NATIVE_BUILD();
    Scratch scratch;
    const Hostile &h = GetParam();
    Checked c = check(scratch, {"quadrel", (kFixtures / "hostile" / h.file).string()});
    EXPECT_THAT(c.status, ExitedWith(1)) << c.out << c.err;
    bool found = false;
    for (const std::string &line : lines_starting(c.out, "broken")) {
        if (line.rfind(std::string("broken ") + h.point + ": ", 0) == 0) {
            EXPECT_THAT(line, HasSubstr(h.report));
            found = true;
        }
    }
    EXPECT_TRUE(found) << c.out;
}

INSTANTIATE_TEST_SUITE_P(
    Fixtures, LearnerCheckOfAHostileProgram,
    testing::Values(
        Hostile{"flood.c", "lines", "for writing more than 1 MiB"},
        Hostile{"grows.c", "lines", "nothing written: on a terminal it was still running at its bound of 30 s"},
        Hostile{"forks.c", "threads", "expected no process but its own"},
        Hostile{"never_ends.c", "lines", "on a terminal it was still running at its bound of 30 s; stopped"}),
    [](const testing::TestParamInfo<Hostile> &info) {
        std::string n = info.param.file;
        n = n.substr(0, n.find('.'));
        n.erase(std::remove(n.begin(), n.end(), '_'), n.end());
        return n;
    });

// Each bad argument gets its message and status 2; the sound file beside them in
// the same batch is still checked, and passes.
TEST(LearnerCheckOfBadInput, SaysWhyAndChecksTheRest)
{
    REQUIRE_NATIVE_BUILD();
    Scratch scratch;
    fs::path d = scratch.dir;
    std::ofstream(d / "empty.c").close();
    std::ofstream(d / "notes.txt") << "int main(void) { return 0; }\n";
    std::ofstream(d / "no main.c") << "int helper(void) { return 0; }\n";
    fs::create_directory(d / "dir.c");
    fs::copy_file(kFixtures / "sound" / "quadrel_new_delete.cpp", d / "-sound.cpp");
    fs::copy_file(kFixtures / "bad" / "does_not_compile.c", d / "does_not_compile.c");
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"missing.c", "== missing.c\nnot checked: cannot read it: No such file or directory"},
        {"empty.c", "== empty.c\nnot checked: it is empty"},
        {"notes.txt", "== notes.txt\nnot checked: its name does not end in .c (C) or .cpp, .cc or .cxx (C++)"},
        {"no main.c", "== no main.c\nnot checked: it does not compile; the compiler says:\n"},
        {"dir.c", "== dir.c\nnot checked: it is a directory"},
        {"does_not_compile.c", "== does_not_compile.c\nnot checked: it does not compile; the compiler says:\n"},
        {"does_not_compile.c", "\ndoes_not_compile.c:4:"},
        {"./-sound.cpp", "== ./-sound.cpp\nnot checked: the same file as -sound.cpp, checked there"},
    };
    Checked c = check(scratch, {"quadrel"}, d.string());
    EXPECT_THAT(c.status, ExitedWith(2));
    EXPECT_THAT(c.err, HasSubstr("no file given"));

    // "--" ends the options, so that a file name may start with a dash.
    std::vector<std::string> args{"--", "quadrel", "-sound.cpp"};
    for (const auto &[file, _] : cases) {
        args.push_back(file);
    }
    c = check(scratch, args, d.string(), {"LC_ALL=C"});
    EXPECT_THAT(c.status, ExitedWith(2)) << c.out << c.err;
    for (const auto &[file, message] : cases) {
        EXPECT_THAT(c.out, HasSubstr(message)) << file << ":\n" << c.out;
    }
    EXPECT_THAT(c.out, HasSubstr("== -sound.cpp\nok lines:")) << c.out;
    EXPECT_THAT(lines_starting(c.out, "broken"), testing::IsEmpty());

    c = check(scratch, {"nosuchlesson", "x.c"}, d.string());
    EXPECT_THAT(c.status, ExitedWith(2));
    EXPECT_THAT(c.err, HasSubstr("no lesson is called \"nosuchlesson\""));
}

// Without valgrind and strace on the PATH, their points are not checked, and
// say which tool to install.
TEST(LearnerCheckWithoutTools, SaysWhichPointsAreNotChecked)
{
    REQUIRE_NATIVE_BUILD();
    Scratch scratch;
    fs::path bin = scratch.dir / "bin";
    fs::create_directory(bin);
    for (const auto &f : fs::directory_iterator("/usr/bin")) {
        const std::string name = f.path().filename();
        if (name != "valgrind" && name != "strace") {
            fs::create_symlink(f.path(), bin / name);
        }
    }
    Checked c = check(scratch, {"pellit", "pellit/pellit.cpp"}, SOURCE_DIR, {"PATH=" + bin.string()});
    EXPECT_THAT(c.status, ExitedWith(0)) << c.out << c.err;
    EXPECT_THAT(c.out, HasSubstr("not checked memory: valgrind is not installed (sudo apt-get install valgrind)"));
    EXPECT_THAT(c.out, HasSubstr("not checked race: valgrind is not installed"));
    EXPECT_THAT(c.out, HasSubstr("not checked threads: strace is not installed (sudo apt-get install strace)"));
}

} // namespace
