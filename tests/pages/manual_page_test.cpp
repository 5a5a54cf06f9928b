// A program's manual page against its runs, for every program: PROGRAM, TWIN,
// FAILURES and SECONDS come from the program's add_program line.
#include "build.hpp"
#include "docs.hpp"
#include "man_page.hpp"
#include "spawn.hpp"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <csignal>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

// The page renders without a warning and shows every line that the program
// writes, and no line that it does not: in a run that goes well, in a run for each
// call that FAILURES makes fail, and with standard output that cannot be written
// (closed, a full device, a pipe whose reader has gone while SIGPIPE is ignored, a
// terminal that hangs up while SIGHUP is ignored). A run of a program that never
// ends is watched for SECONDS once it is under way; a run with a failure made
// ends by itself, and is never cut short (under an emulator, a thread of its own
// can start the watch before the program is under way).
TEST(ManualPage, ShowsEveryLineItsRunsWriteAndNoOther)
{
    REQUIRE_TOOL(GROFF, "groff");
    const std::string page = SOURCE_DIR "/man/" PROGRAM_NAME ".1";
    EXPECT_TRUE(renders_cleanly(page));

    const Spawn program{.argv = {PROGRAM}, .stop_after_seconds = SECONDS};
    std::vector<Spawn> runs = {program};
    std::istringstream failures(FAILURES);
    for (std::string failure; std::getline(failures, failure, ',');) {
        runs.push_back(program);
        runs.back().argv = {TWIN};
        runs.back().env = {"FAULT_INJECT=" + failure};
        runs.back().stop_after_seconds = 0; // the failure ends it, however long its start takes
    }
    const std::size_t first_unwritable = runs.size();
    for (const Spawn &output : {Spawn{.output = Output::closed}, Spawn{.output = Output::file, .file = "/dev/full"},
                                Spawn{.output = Output::widowed_pipe, .ignored_signals = {SIGPIPE}},
                                Spawn{.output = Output::terminal, .ignored_signals = {SIGHUP}, .hang_up_after = 1.5}}) {
        runs.push_back(output);
        runs.back().argv = program.argv;
        runs.back().stop_after_seconds = SECONDS;
    }
    const std::vector<Recording> recordings = record_all(runs);
    const std::string roff = read_file(page);
    const std::vector<PageLine> shown = page_lines(roff);
    EXPECT_TRUE(shows_exactly(shown, lines_written(recordings)));

    // Each reason for which output could not be written is on the page as it is.
    EXPECT_TRUE(shows_word_for_word(
        shown, lines_written({recordings.begin() + static_cast<long>(first_unwritable), recordings.end()})));

    // The statuses that the page lists are those that the runs ended with.
    std::set<int> statuses;
    for (const Recording &r : recordings) {
        if (WIFEXITED(r.status)) {
            statuses.insert(WEXITSTATUS(r.status));
        }
    }
    EXPECT_EQ(exit_statuses(roff), statuses) << "EXIT STATUS against the runs' statuses";

    // A count of lines that the page gives is that of a whole run, which ends.
    for (const int count : line_counts(roff)) {
        EXPECT_TRUE(WIFEXITED(recordings[0].status))
            << "the page counts " << count << " lines of a run that never ends";
        EXPECT_EQ(static_cast<std::size_t>(count), recordings[0].lines.size())
            << "the page counts " << count << " lines";
    }
}

} // namespace
