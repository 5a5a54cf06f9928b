// What each build is made of: the libraries that every program and its twin need,
// and the compiler and sanitizers that the build says it has.
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

// What a tool of binutils prints about a binary.
std::string binutils(const std::string &tool, const std::string &option, const std::string &binary)
{
    Recording r = record({.argv = {"/usr/bin/" + tool, option, binary}});
    EXPECT_THAT(r.status, ExitedWith(0)) << tool << " " << binary << ": " << r.err;
    std::string out;
    for (const std::string &line : r.texts()) {
        out += line + "\n";
    }
    return out;
}

// The libraries a binary needs, in the order the dynamic loader loads them.
std::vector<std::string> needed(const std::string &binary)
{
    std::vector<std::string> libraries;
    std::istringstream lines(binutils("readelf", "-d", binary));
    for (std::string line; std::getline(lines, line);) {
        const std::size_t open = line.find("Shared library: [");
        if (open != std::string::npos) {
            const std::size_t from = open + 17;
            libraries.push_back(line.substr(from, line.find(']', from) - from));
        }
    }
    return libraries;
}

struct Program {
    const char *name;
    const char *program;
    const char *twin;
    std::vector<std::string> also_needs{}; // beyond the C library and what a sanitizer brings
};
PRINTS_AS_ITS_NAME(Program)

class Libraries : public testing::TestWithParam<Program> {};

// The twin that the fault tables run is the program, wrapped: it needs the same
// libraries in the same order. Neither loads the C++ runtime, which the program
// never calls (--as-needed leaves it out, where clang++ would link it).
TEST_P(Libraries, AreTheSameForTheProgramAndItsTwin)
{
    const Program &row = GetParam();
    const std::vector<std::string> program = needed(row.program);
    EXPECT_EQ(needed(row.twin), program);
    EXPECT_THAT(program, Contains("libc.so.6"));
    for (const std::string &library : row.also_needs) {
        EXPECT_THAT(program, Contains(library));
    }
    if (!kSanitized) { // a sanitizer's runtime brings the C++ runtime with it
        for (const char *never : {"libstdc++.so.6", "libm.so.6"}) {
            EXPECT_THAT(program, Not(Contains(never)));
        }
    }
}

const Program kPrograms[] = {
    {.name = "Quadrel", .program = QUADREL, .twin = QUADREL_FAULTY},
    {.name = "Pellit", .program = PELLIT, .twin = PELLIT_FAULTY, .also_needs = {"libgcc_s.so.1"}},
};

INSTANTIATE_TEST_SUITE_P(Programs, Libraries, testing::ValuesIn(kPrograms), row_name<Program>);

// What the build should be: the test preset says so (EXPECTED_COMPILER,
// EXPECTED_SANITIZERS), apart from the configure preset that makes it; run
// without a preset, the build's own word is taken.
std::string expected(const char *variable, const std::string &otherwise)
{
    const char *value = getenv(variable);
    return value == nullptr ? otherwise : value;
}

class Toolchain : public testing::TestWithParam<Program> {};

// A sanitizer shows in the code it compiles in, a compiler in the note it leaves.
TEST_P(Toolchain, IsTheOneTheBuildSays)
{
    const Program &row = GetParam();
    const std::string sanitizers = expected("EXPECTED_SANITIZERS", SANITIZE);
    const std::string compiler = expected("EXPECTED_COMPILER", COMPILER_ID);
    for (const char *binary : {row.program, row.twin}) {
        SCOPED_TRACE(binary);
        const std::string symbols = binutils("nm", "--undefined-only", binary);
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
        const std::string comment = binutils("readelf", "-p.comment", binary);
        if (compiler == "Clang") {
            EXPECT_THAT(comment, HasSubstr("clang version")) << "not built by clang";
        } else {
            EXPECT_THAT(comment, Not(HasSubstr("clang version"))) << "built by clang";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Programs, Toolchain, testing::ValuesIn(kPrograms), row_name<Program>);

} // namespace
