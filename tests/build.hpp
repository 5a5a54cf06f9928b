// What this build is (its sanitizers, the tools that it found) and why a test
// cannot run in it.
#pragma once

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

const bool kSanitized = !std::string(SANITIZE).empty();

// The emulator that runs this build's programs, where they are for another
// processor (qemu-user, as CMAKE_CROSSCOMPILING_EMULATOR gives it), split into its
// words; empty where they run as they are.
std::vector<std::string> emulator();
const bool kEmulated = !std::string(EMULATOR).empty();
const bool kThreadSanitizer = std::string(SANITIZE).find("thread") != std::string::npos;

// Leave out a sanitizer's own checks at exit that a row must not trip over:
// LeakSanitizer's (it traces the process, which a tracer already does; a thread
// that cannot be joined keeps its block) and ThreadSanitizer's unjoined thread.
const std::vector<std::string> kNoExitChecks = {"ASAN_OPTIONS=detect_leaks=0", "TSAN_OPTIONS=report_thread_leaks=0"};

// The environment of a run whose seconds need not last: sleep is the test-only
// stand-in in which a second lasts 10 ms (it is built without the build's
// sanitizers, which AddressSanitizer must be told to allow).
const std::vector<std::string> kFastSleep = {"LD_PRELOAD=" FAST_SLEEP, "ASAN_OPTIONS=verify_asan_link_order=0"};

// A stack-size limit beyond any room that a process has for one block, and far from
// "unlimited" (and from overflow in glibc's sums): glibc then has no room for a new
// thread's stack and pthread_create fails with EAGAIN. With 64 bits, half the range
// of rlim_t; with 32 (-m32), where half the range, 2 GiB, fits in the 4 GiB that the
// process has, 3 GiB, more than is left beside the program, its libraries and its
// stack.
constexpr rlim_t kHugeStack = sizeof(rlim_t) < 8 ? rlim_t{3} << 30 : std::numeric_limits<rlim_t>::max() / 2;

// Skips the test where a tool it needs is missing: the reason names the tool. On CI
// (CI set in the environment), which installs every tool, a missing tool fails.
#define SKIP_FOR_MISSING_TOOL(reason)                                                                                  \
    do {                                                                                                               \
        if (getenv("CI") != nullptr) {                                                                                 \
            FAIL() << (reason) << ", which CI installs";                                                               \
        }                                                                                                              \
        GTEST_SKIP() << (reason);                                                                                      \
    } while (false)

// Skips the test where this build cannot run it at all (a sanitizer build under
// valgrind, say): the reason is the build's, on CI as anywhere.
#define SKIP_FOR_THIS_BUILD(reason) GTEST_SKIP() << "in this build: " << (reason)

// Skips where a tool that CMake looked for was not found; `path` is what it found.
#define REQUIRE_TOOL(path, name)                                                                                       \
    do {                                                                                                               \
        if (std::string(path).empty()) {                                                                               \
            SKIP_FOR_MISSING_TOOL(name " is not installed");                                                           \
        }                                                                                                              \
    } while (false)

// Skips in a build whose runtime starts threads of its own, which a trace would show.
#define REQUIRE_NO_THREADS_OF_THE_BUILD()                                                                              \
    do {                                                                                                               \
        if (kThreadSanitizer) {                                                                                        \
            SKIP_FOR_THIS_BUILD("ThreadSanitizer starts a thread of its own");                                         \
        }                                                                                                              \
    } while (false)
