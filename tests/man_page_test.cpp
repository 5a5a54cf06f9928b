// The manual-page checks themselves, on pages changed as a mistake would change
// them: what the check lets pass and what it catches.
#include "build.hpp"
#include "docs.hpp"
#include "man_page.hpp"
#include "rows.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

struct PageEdit {
    const char *name;
    const char *page;   // under man/
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
    std::string text = read_file(SOURCE_DIR "/man/" + std::string(row.page));
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
    const std::string page = read_file(SOURCE_DIR "/man/" + std::string(row.page));
    EXPECT_EQ(static_cast<bool>(shows_exactly(page_lines(edited(row)), as_written(page_lines(page)))), row.passes);
}

INSTANTIATE_TEST_SUITE_P(
    ManualPages, PageCheck,
    testing::Values(PageEdit{.name = "AsItIs", .page = "quadrel.1", .passes = true},
                    PageEdit{.name = "AMessageThatNoRunWrites",
                             .page = "quadrel.1",
                             .from = ".EX\nquadrel: calloc:",
                             .to = ".EX\nquadrel: pthread_attr_destroy: \\fIreason\\fP\nquadrel: calloc:"},
                    PageEdit{.name = "ALineLeftOut", .page = "quadrel.1", .from = ".TQ\n.B Thread 2 doing some work\n"},
                    PageEdit{.name = "AMisspeltMessage", .page = "pellit.1", .from = "occured", .to = "occurred"},
                    PageEdit{.name = "AFixedWordForOneThatVaries",
                             .page = "pellit.1",
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

} // namespace
