// The judges of pages against runs, on pages changed as a mistake would change
// them: what each judge lets pass and what it catches.
#include "build.hpp"
#include "docs.hpp"
#include "judges.hpp"
#include "man_page.hpp"
#include "rows.hpp"
#include "trace.hpp"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace {

struct PageEdit {
    const char *name;
    const char *page;   // from the top of the source tree
    std::string from{}; // replaced in the page's source by `to`
    std::string to{};
    bool passes = false; // whether the check lets the edited page pass
};
PRINTS_AS_ITS_NAME(PageEdit)

// The lines that the unedited page shows, as a program would write them.
std::vector<std::string> as_written(const std::vector<PageLine> &page)
{
    std::vector<std::string> lines;
    lines.reserve(page.size());
    for (const PageLine &line : page) {
        lines.push_back(line.text + (line.any_rest ? "11" : ""));
    }
    return lines;
}

std::string edited(const PageEdit &row)
{
    std::string text = read_file(SOURCE_DIR "/" + std::string(row.page));
    if (!row.from.empty()) {
        const std::size_t at = text.find(row.from);
        EXPECT_NE(at, std::string::npos) << "not on the page: " << row.from;
        text.replace(at == std::string::npos ? 0 : at, at == std::string::npos ? 0 : row.from.size(), row.to);
    }
    return text;
}

class PageCheck : public testing::TestWithParam<PageEdit> {};

TEST_P(PageCheck, PassesOnlyAPageThatShowsWhatIsWritten)
{
    const PageEdit &row = GetParam();
    const std::string page = read_file(SOURCE_DIR "/" + std::string(row.page));
    EXPECT_EQ(static_cast<bool>(shows_exactly(page_lines(edited(row)), as_written(page_lines(page)))), row.passes);
}

INSTANTIATE_TEST_SUITE_P(
    ManualPages, PageCheck,
    testing::Values(PageEdit{.name = "AsItIs", .page = "man/quadrel.1", .passes = true},
                    PageEdit{.name = "AMessageThatNoRunWrites",
                             .page = "man/quadrel.1",
                             .from = ".EX\nquadrel: calloc:",
                             .to = ".EX\nquadrel: pthread_attr_destroy: \\fIreason\\fP\nquadrel: calloc:"},
                    PageEdit{
                        .name = "ALineLeftOut", .page = "man/quadrel.1", .from = ".TQ\n.B Thread 2 doing some work\n"},
                    PageEdit{.name = "AnEmptyBoldItalicTag",
                             .page = "man/pellit.1",
                             .from = ".SH OUTPUT\n",
                             .to = ".SH OUTPUT\n.TP\n.BI\n"},
                    PageEdit{.name = "AMisspeltMessage", .page = "man/pellit.1", .from = "occured", .to = "occurred"},
                    PageEdit{.name = "AFixedWordForOneThatVaries",
                             .page = "man/pellit.1",
                             .from = "errno = \" n",
                             .to = "errno = 11\""}),
    testing::PrintToStringParamName());

// A page that groff warns about fails.
TEST(ManualPages, WithAnUnknownMacroDoNotRenderCleanly)
{
    REQUIRE_TOOL(GROFF, "groff");
    char path[] = "/tmp/unknown-macro-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    std::ofstream(path) << read_file(SOURCE_DIR "/man/pellit.1") << ".XX an unknown macro\n";
    EXPECT_FALSE(renders_cleanly(path));
    std::filesystem::remove(path);
}

// ---- the figures of a trace that a page shows ------------------------------------

const std::string kKernelPage = SOURCE_DIR "/docs/what-the-kernel-sees.md";

// The trace that the kernel page shows for pellit, edited as the row says.
std::string pellit_trace(const std::string &page)
{
    return shown_after(page, doc_command(page, "strace ", "build/default/pellit"));
}

class FiguresCheck : public testing::TestWithParam<PageEdit> {};

// The run is the page's own trace; the page, that trace changed.
TEST_P(FiguresCheck, PassesOnlyATraceWithTheRunsFigures)
{
    const PageEdit &row = GetParam();
    if (kEmulated && std::string(row.name) == "AnExitLeftOut") {
        SKIP_FOR_THIS_BUILD("under an emulator a thread's exit call is not compared, since the end of the process can "
                            "cut it short");
    }
    char path[] = "/tmp/kernel-page-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    std::ofstream(path) << edited(row);
    const std::string page_trace = pellit_trace(path);
    std::filesystem::remove(path);
    EXPECT_EQ(static_cast<bool>(figures_of_the_run(page_trace, parse_trace(pellit_trace(kKernelPage)))), row.passes)
        << page_trace;
}

const char *const kMainWrites = R"(write(1, "The execution of main function( "..., 59) = 59)";
const char *const kWorkerWrites = R"(write(1, "Input is : I am thread 1, child "..., 54) = 54)";

INSTANTIATE_TEST_SUITE_P(
    KernelPage, FiguresCheck,
    testing::Values(PageEdit{.name = "AsItIs", .page = "docs/what-the-kernel-sees.md", .passes = true},
                    PageEdit{.name = "AWriteAndItsSleepLeftOut",
                             .page = "docs/what-the-kernel-sees.md",
                             .from = R"(9681  15:11:14.520567 write(1, "Input is : I am thread 1, child "..., 54) = 54
9681  15:11:14.520789 clock_nanosleep(CLOCK_REALTIME, 0, {tv_sec=1, tv_nsec=0}, 0x...de80) = 0
)",
                             .passes = true},
                    PageEdit{.name = "AByteCountOnAnotherThreadsLine",
                             .page = "docs/what-the-kernel-sees.md",
                             .from = std::string("9680  15:11:13.519642 ") + kMainWrites + "\n9681  15:11:13.519932 " +
                                     kWorkerWrites,
                             .to = R"(9680  15:11:13.519642 write(1, "The execution of main function( "..., 54) = 54
9681  15:11:13.519932 write(1, "Input is : I am thread 1, child "..., 59) = 59)"},
                    PageEdit{.name = "AnExitLeftOut",
                             .page = "docs/what-the-kernel-sees.md",
                             .from = "9680  15:11:13.520160 exit(0)           = ?\n"},
                    PageEdit{.name = "TheProcessEndedInstead",
                             .page = "docs/what-the-kernel-sees.md",
                             .from = "9680  15:11:13.520160 exit(0)           = ?",
                             .to = "9680  15:11:13.520160 exit_group(0)     = ?"},
                    PageEdit{.name = "ALongerSleep",
                             .page = "docs/what-the-kernel-sees.md",
                             .from = "{tv_sec=1, tv_nsec=0}, 0x...de80) = 0\n9681  15:11:15",
                             .to = "{tv_sec=2, tv_nsec=0}, 0x...de80) = 0\n9681  15:11:15"},
                    PageEdit{.name = "ASignalFromAnotherSender",
                             .page = "docs/what-the-kernel-sees.md",
                             .from = "si_code=SI_KERNEL} ---",
                             .to = "si_code=SI_USER} ---"},
                    PageEdit{.name = "AThreadMore",
                             .page = "docs/what-the-kernel-sees.md",
                             .from = "=> {parent_tid=[9681]}, 88) = 9681\n",
                             .to = "=> {parent_tid=[9681]}, 88) = 9681\n9680  15:11:13.519100 clone3({flags=CLONE_VM|"
                                   "...|CLONE_THREAD|...} => {parent_tid=[9682]}, 88) = 9682\n"}),
    testing::PrintToStringParamName());

// ---- a timeline against a run ----------------------------------------------------

// The calls of a whole run of quadrel on a terminal as strace shows them, every
// line on its second: main (1) creates worker 10 (2) and worker 2 (3).
std::vector<Syscall> a_quadrel_run()
{
    const std::string sleep = "(CLOCK_REALTIME, 0, {tv_sec=1, tv_nsec=0}, 0x1) = 0";
    std::vector<Syscall> calls = {{1, 0, "clone3", "({flags=CLONE_VM|CLONE_THREAD} => {parent_tid=[2]}, 88) = 2"},
                                  {1, 0, "clone3", "({flags=CLONE_VM|CLONE_THREAD} => {parent_tid=[3]}, 88) = 3"},
                                  {1, 0, "write", R"((1, "main fn blocked on pthread join "..., 58) = 58)"}};
    for (int second = 0; second < 10; second++) {
        const double at = second + 0.001;
        calls.push_back({2, at, "write", R"((1, "Thread 10 doing some work\n", 26) = 26)"});
        calls.push_back({2, at, "clock_nanosleep", sleep});
        if (second < 2) {
            calls.push_back({3, at, "write", R"((1, "Thread 2 doing some work\n", 25) = 25)"});
            calls.push_back({3, at, "clock_nanosleep", sleep});
        }
        if (second == 2) {
            calls.push_back({3, at, "exit", "(0) = ?"});
        }
    }
    calls.push_back({2, 10.001, "exit", "(0) = ?"});
    calls.push_back({1, 10.002, "write", R"((1, "Return result from thread 2 = 10"..., 34) = 34)"});
    calls.push_back({1, 10.002, "write", R"((1, "main fn blocked on pthread join "..., 58) = 58)"});
    calls.push_back({1, 10.002, "write", R"((1, "Return result from thread 3 = 4\n", 32) = 32)"});
    calls.push_back({1, 10.003, "exit_group", "(0) = ?"});
    return calls;
}

// Whether a judge that reports with EXPECT and ASSERT found anything.
bool finds_fault(const std::function<void()> &judge)
{
    testing::TestPartResultArray results;
    {
        const testing::ScopedFakeTestPartResultReporter reporter(
            testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD, &results);
        judge();
    }
    return results.size() > 0;
}

class TimelineCheck : public testing::TestWithParam<PageEdit> {};

TEST_P(TimelineCheck, PassesOnlyBarsOnTheSecondsOfTheRun)
{
    const PageEdit &row = GetParam();
    char path[] = "/tmp/readme-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    std::ofstream(path) << edited(row);
    const std::vector<Bar> bars = gantt_bars(path, "quadrel, second by second");
    std::filesystem::remove(path);
    EXPECT_EQ(finds_fault([&bars] {
                  expect_timeline_of_the_run(
                      bars, a_quadrel_run(),
                      {{"main", "main fn"}, {"worker 10", "Thread 10 "}, {"worker 2", "Thread 2 "}}, true);
              }),
              !row.passes);
}

INSTANTIATE_TEST_SUITE_P(
    Readme, TimelineCheck,
    testing::Values(
        PageEdit{.name = "AsItIs", .page = "README.md", .passes = true},
        PageEdit{.name = "ALineLeftOut", .page = "README.md", .from = "    line 10 :9000, 1s\n"},
        PageEdit{.name = "ALineASecondLate", .page = "README.md", .from = "line 3  :2000", .to = "line 3  :3000"},
        PageEdit{
            .name = "ALineShortened", .page = "README.md", .from = "line 4  :3000, 1s", .to = "line 4  :3000, 500ms"},
        PageEdit{.name = "AMilestoneOffItsThread",
                 .page = "README.md",
                 .from = "hands back 4 :milestone, 2000",
                 .to = "hands back 4 :milestone, 3000"},
        PageEdit{.name = "ABarEndingOnNoEvent",
                 .page = "README.md",
                 .from = "exit value 4 held by the thread system :crit, 2000, 8s",
                 .to = "exit value 4 held by the thread system :crit, 2000, 8500ms"}),
    testing::PrintToStringParamName());

} // namespace
