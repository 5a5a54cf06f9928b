// A program's command line under a valgrind tool.
#pragma once

#include "build.hpp"

#include <string>
#include <vector>

// argv under a valgrind tool. --vgdb=no: no gdb server, and no pipes left in /tmp.
std::vector<std::string> under_valgrind(const std::vector<std::string> &tool_options, std::vector<std::string> argv);

// memcheck that fails the run (status 99) on an invalid access or on a leak of
// these kinds ("all", or "definite,indirect").
std::vector<std::string> under_memcheck(const std::string &leak_kinds, std::vector<std::string> argv);

// Skips where valgrind cannot run the program: a sanitized build, or no valgrind.
#define REQUIRE_VALGRIND()                                                                                             \
    do {                                                                                                               \
        if (kSanitized) {                                                                                              \
            SKIP_FOR_THIS_BUILD("valgrind does not run a sanitized program");                                          \
        }                                                                                                              \
        if (kEmulated) {                                                                                               \
            SKIP_FOR_THIS_BUILD("valgrind does not run a program under an emulator");                                  \
        }                                                                                                              \
        REQUIRE_TOOL(VALGRIND, "valgrind");                                                                            \
    } while (false)
