// The rows that every program gets, with or without a table of its own: it and
// its twin are made as the build says (its manual page against its runs is in
// pages/). PROGRAM and TWIN come from the program's add_program line.
#include "build.hpp"
#include "elf.hpp"
#include "spawn.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
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

} // namespace
