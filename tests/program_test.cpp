// The rows that every program gets, with or without a table of its own: it and
// its twin are made as the build says, and its manual page shows every line that
// it writes and no other. PROGRAM, TWIN, FAILURES and SECONDS come from the
// program's add_program line.
#include "build.hpp"
#include "docs.hpp"
#include "elf.hpp"
#include "man_page.hpp"
#include "spawn.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

namespace {

using testing::Contains;
using testing::HasSubstr;
using testing::Not;

// The twin that the fault tables run is the program, wrapped: it needs the same
// libraries in the same order. Neither loads the C++ runtime, which the program
// never calls (--as-needed leaves it out, where clang++ would link it).
TEST(Libraries, AreTheSameForTheProgramAndItsTwin)
{
    const std::vector<std::string> program = needed(PROGRAM);
    EXPECT_EQ(needed(TWIN), program);
    EXPECT_THAT(program, Contains("libc.so.6"));
    if (!kSanitized) { // a sanitizer's runtime brings the C++ runtime with it
        for (const char *never : {"libstdc++.so.6", "libm.so.6"}) {
            EXPECT_THAT(program, Not(Contains(never)));
        }
    }
}

// What the build should be, as the test preset says (EXPECTED_COMPILER,
// EXPECTED_SANITIZERS), apart from the configure preset that makes it. Without it
// nothing is checked, so the test fails.
std::string expected(const char *variable)
{
    const char *value = getenv(variable);
    EXPECT_NE(value, nullptr) << variable << " is not set: run the tests with a test preset (ctest --preset NAME)";
    return value == nullptr ? "?" : value;
}

// A sanitizer shows in the code it compiles in, a compiler in the note it leaves.
TEST(Toolchain, IsTheOneTheBuildSays)
{
    const std::string sanitizers = expected("EXPECTED_SANITIZERS");
    const std::string compiler = expected("EXPECTED_COMPILER");
    for (const char *binary : {PROGRAM, TWIN}) {
        SCOPED_TRACE(binary);
        const std::string symbols = undefined_symbols(binary);
        const struct {
            const char *name;
            const char *hook; // what the compiler calls in the code it instruments
        } kinds[] = {{"address", "__asan_report_"}, {"undefined", "__ubsan_handle_"}, {"thread", "__tsan_func_entry"}};
        for (const auto &kind : kinds) {
            if (sanitizers.find(kind.name) != std::string::npos) {
                EXPECT_THAT(symbols, HasSubstr(kind.hook)) << "built without the " << kind.name << " sanitizer";
            } else {
                EXPECT_THAT(symbols, Not(HasSubstr(kind.hook))) << "built with the " << kind.name << " sanitizer";
            }
        }
        if (compiler == "Clang") {
            EXPECT_THAT(comment(binary), HasSubstr("clang version")) << "not built by clang";
        } else {
            EXPECT_EQ(compiler, "GNU");
            EXPECT_THAT(comment(binary), Not(HasSubstr("clang version"))) << "built by clang";
        }
    }
}

// The page renders without a warning and shows every line that the program
// writes, and no line that it does not: in a run that goes well, in a run for each
// call that FAILURES makes fail, and with standard output that cannot be written
// (closed, a full device, a pipe whose reader has gone while SIGPIPE is ignored, a
// terminal that hangs up while SIGHUP is ignored). A run of a program that never
// ends is watched for SECONDS once it is under way.
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
    }
    for (const Spawn &output : {Spawn{.output = Output::closed}, Spawn{.output = Output::file, .file = "/dev/full"},
                                Spawn{.output = Output::widowed_pipe, .ignored_signals = {SIGPIPE}},
                                Spawn{.output = Output::terminal, .ignored_signals = {SIGHUP}, .hang_up_after = 1.5}}) {
        runs.push_back(output);
        runs.back().argv = program.argv;
        runs.back().stop_after_seconds = SECONDS;
    }
    EXPECT_TRUE(shows_exactly(page_lines(read_file(page)), lines_written(runs)));
}

} // namespace
