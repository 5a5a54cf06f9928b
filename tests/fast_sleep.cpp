// A test-only stand-in for sleep, loaded with LD_PRELOAD into a run that must
// reach its end quickly: each second lasts 10 ms. Never nothing: a program that
// loops on a garbage count still writes at most a hundred lines a second.
#include <ctime>

extern "C" unsigned int sleep(unsigned int seconds)
{
    timespec ten_ms_a_second{static_cast<time_t>(seconds / 100), static_cast<long>(seconds % 100) * 10'000'000L};
    nanosleep(&ten_ms_a_second, nullptr);
    return 0;
}
