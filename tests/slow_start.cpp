// A test-only stand-in for a slow start, loaded with LD_PRELOAD: in the programs
// named in PROGRAMS, it spins on the clock for SLOW_START_SECONDS before main, as
// a loaded machine or an emulator delays a program's start. The clock is read
// without a system call, so that a trace of the program is what it would be.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

// Whether `name` is one of the space-separated words of `list`.
bool listed(const char *name, const char *list)
{
    const std::size_t length = strlen(name);
    for (const char *word = list; *word != '\0';) {
        const std::size_t word_length = strcspn(word, " ");
        if (word_length == length && strncmp(word, name, length) == 0) {
            return true;
        }
        word += word_length;
        word += strspn(word, " ");
    }
    return false;
}

double now()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

[[gnu::constructor]] void start_slowly()
{
    const char *seconds = getenv("SLOW_START_SECONDS");
    if (seconds == nullptr || !listed(program_invocation_short_name, PROGRAMS)) {
        return;
    }
    const double until = now() + atof(seconds);
    while (now() < until) {
    }
}

} // namespace
