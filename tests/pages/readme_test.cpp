// The README's transcripts, kept true: each lesson, run on a terminal as the
// README runs it, writes the lines that its transcript shows, in an order that
// the program guarantees, and ends with the status that `echo $?` shows there.
#include "docs.hpp"
#include "lines.hpp"
#include "rows.hpp"
#include "spawn.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <csignal>
#include <iterator>
#include <string>
#include <vector>

namespace {

using testing::ElementsAre;
using testing::ElementsAreArray;
using testing::UnorderedElementsAreArray;

const std::string kReadme = SOURCE_DIR "/README.md";

// A transcript as the README shows it: "$ COMMAND", the program's lines, "^C"
// where it was stopped with Ctrl-C, then "$ echo $?" and the status.
struct Transcript {
    std::vector<std::string> lines;
    bool interrupted = false;
    std::string status;
};

Transcript transcript(const std::string &command)
{
    std::vector<std::vector<std::string>> found;
    for (const Block &block : fenced_blocks(kReadme)) {
        std::vector<std::string> lines = lines_of(block.text);
        if (!lines.empty() && lines.front() == "$ " + command) {
            found.push_back(lines);
        }
    }
    EXPECT_EQ(found.size(), 1U) << "README blocks that start with \"$ " << command << "\"";
    Transcript shown;
    if (found.empty()) {
        return shown;
    }
    auto line = found.front().begin() + 1;
    for (; line != found.front().end() && *line != "^C" && line->rfind("$ ", 0) != 0; ++line) {
        shown.lines.push_back(*line);
    }
    shown.interrupted = line != found.front().end() && *line == "^C";
    const std::vector<std::string> rest(line + (shown.interrupted ? 1 : 0), found.front().end());
    EXPECT_THAT(rest, ElementsAre("$ echo $?", testing::_)) << command << ": how the transcript ends";
    shown.status = rest.size() == 2 ? rest[1] : "";
    return shown;
}

// What a shell's $? shows for a wait status: the exit status, or 128 and the
// number of the signal that ended the program.
std::string shell_status(int wait_status)
{
    return std::to_string(WIFSIGNALED(wait_status) ? 128 + WTERMSIG(wait_status) : WEXITSTATUS(wait_status));
}

long count(const std::vector<std::string> &lines, const std::string &text)
{
    return std::count(lines.begin(), lines.end(), text);
}

long first_of(const std::vector<std::string> &lines, const std::string &text)
{
    return std::find(lines.begin(), lines.end(), text) - lines.begin();
}

long last_of(const std::vector<std::string> &lines, const std::string &text)
{
    return lines.rend() - std::find(lines.rbegin(), lines.rend(), text) - 1;
}

// quadrel: main's four lines in their order, each once; the workers' lines, ten
// and two; and each join's result after every line of the worker it waited for.
void expect_quadrel_order(const std::vector<std::string> &lines)
{
    const std::vector<std::string> main_order = {kJoin2, kResult2, kJoin3, kResult3};
    std::vector<std::string> mains;
    std::copy_if(lines.begin(), lines.end(), std::back_inserter(mains), [&](const std::string &line) {
        return std::find(main_order.begin(), main_order.end(), line) != main_order.end();
    });
    EXPECT_THAT(mains, ElementsAreArray(main_order)) << "main's lines";
    EXPECT_EQ(count(lines, kWork10), 10) << "worker 10's lines";
    EXPECT_EQ(count(lines, kWork2), 2) << "worker 2's lines";
    EXPECT_EQ(lines.size(), 16U) << "lines in all";
    EXPECT_LT(last_of(lines, kWork10), first_of(lines, kResult2)) << "worker 10's lines before its result";
    EXPECT_LT(last_of(lines, kWork2), first_of(lines, kResult3)) << "worker 2's lines before its result";
}

// pellit: main's line once, and every other line the worker's (which of the two
// threads writes first is the scheduler's choice).
void expect_pellit_lines(const std::vector<std::string> &lines)
{
    EXPECT_EQ(count(lines, kPaused), 1) << "main's line";
    EXPECT_GE(count(lines, kInput), 1) << "the worker's lines";
    EXPECT_EQ(count(lines, kPaused) + count(lines, kInput), static_cast<long>(lines.size())) << "other lines";
}

struct Lesson {
    const char *name;
    const char *command; // as the transcript shows it typed; it runs PROGRAM
    bool stopped;        // the transcript stops it with Ctrl-C after its lines; else it ends by itself
    void (*expect_lines)(const std::vector<std::string> &lines); // what the program guarantees of its lines
};
PRINTS_AS_ITS_NAME(Lesson)

class ReadmeTranscript : public testing::TestWithParam<Lesson> {};

// The run gives the transcript's lines (a stopped run, its first lines up to
// where the transcript stops it), and the status that the transcript shows.
TEST_P(ReadmeTranscript, ShowsTheLinesAndTheStatusOfARun)
{
    const Lesson &lesson = GetParam();
    const Transcript shown = transcript(lesson.command);
    ASSERT_FALSE(shown.lines.empty()) << "no lines in the transcript of " << lesson.command;
    EXPECT_EQ(shown.interrupted, lesson.stopped) << "whether the transcript stops it with Ctrl-C";
    Spawn spawn{.argv = {PROGRAM}, .output = Output::terminal};
    if (lesson.stopped) {
        spawn.stop_after_lines = shown.lines.size();
        spawn.stop_signal = SIGINT;
    }
    const Recording run = record(spawn);
    std::vector<std::string> ran = run.texts();
    if (lesson.stopped && ran.size() > shown.lines.size()) { // lines that came while Ctrl-C was being typed
        ran.resize(shown.lines.size());
    }

    {
        SCOPED_TRACE("the README's transcript");
        lesson.expect_lines(shown.lines);
    }
    {
        SCOPED_TRACE("the run");
        lesson.expect_lines(ran);
    }
    EXPECT_THAT(ran, UnorderedElementsAreArray(shown.lines));
    EXPECT_EQ(shown.status, shell_status(run.status)) << "the status that `echo $?` shows\n" << run.err;
}

// The README's transcripts, one for each lesson: this program's, if it has one.
std::vector<Lesson> transcripts_of_this_program()
{
    const Lesson lessons[] = {{"Quadrel", "build/default/quadrel", false, expect_quadrel_order},
                              {"Pellit", "build/default/pellit", true, expect_pellit_lines}};
    std::vector<Lesson> out;
    std::copy_if(std::begin(lessons), std::end(lessons), std::back_inserter(out),
                 [](const Lesson &lesson) { return std::string(lesson.command) == "build/default/" PROGRAM_NAME; });
    return out;
}

INSTANTIATE_TEST_SUITE_P(Lessons, ReadmeTranscript, testing::ValuesIn(transcripts_of_this_program()),
                         testing::PrintToStringParamName());
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(ReadmeTranscript);

} // namespace
