// Loaded with LD_PRELOAD into a learner's program by threads-check, for the runs
// whose timing is not judged and for the runs that make a call fail. It changes
// nothing unless its variables are set:
//
//   THREADS_CHECK_FAST=1            each second that the program sleeps lasts 10 ms
//                                   (sleep, usleep, nanosleep, relative clock_nanosleep)
//   THREADS_CHECK_FAIL=NAME:N       the N-th call of NAME fails as it fails for real:
//                                   pthread_create with EAGAIN
//   THREADS_CHECK_CALLS=PATH        each call of the threads interface that the checker
//                                   judges is written to PATH, one line each
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Read once, at load, before the program has a thread.
bool fast_sleep = false;
const char *failing_call = nullptr;
int calls_fd = -1;
int (*next_create)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *) = nullptr;
int (*next_join)(pthread_t, void **) = nullptr;
int (*next_detach)(pthread_t) = nullptr;
void (*next_exit)(void *) = nullptr;

template <typename F> void find(F &f, const char *name)
{
    f = reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

__attribute__((constructor)) void load()
{
    fast_sleep = getenv("THREADS_CHECK_FAST") != nullptr;
    failing_call = getenv("THREADS_CHECK_FAIL");
    if (const char *path = getenv("THREADS_CHECK_CALLS")) {
        calls_fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    }
    find(next_create, "pthread_create");
    find(next_join, "pthread_join");
    find(next_detach, "pthread_detach");
    find(next_exit, "pthread_exit");
}

bool fast()
{
    return fast_sleep;
}

// A hundredth of the time asked; a sleep of zero stays zero.
timespec shrunk(const timespec &t)
{
    long long ns = (static_cast<long long>(t.tv_sec) * 1'000'000'000LL + t.tv_nsec) / 100;
    return timespec{static_cast<time_t>(ns / 1'000'000'000LL), static_cast<long>(ns % 1'000'000'000LL)};
}

int sleep_for(const timespec &t, timespec *remaining)
{
    long rc = syscall(SYS_clock_nanosleep, CLOCK_MONOTONIC, 0, &t, remaining);
    return rc == 0 ? 0 : errno;
}

bool fail_now(const char *name, std::atomic<int> &calls)
{
    const int call = ++calls;
    const char *failing = failing_call;
    const std::size_t len = strlen(name);
    return failing != nullptr && strncmp(failing, name, len) == 0 && failing[len] == ':' &&
           atoi(failing + len + 1) == call;
}

void note(const char *format, unsigned long a, long b, long c)
{
    if (calls_fd >= 0) {
        char line[128];
        int n = snprintf(line, sizeof line, format, a, b, c);
        if (n > 0) {
            ssize_t written = write(calls_fd, line, static_cast<std::size_t>(n));
            (void)written; // the check then sees a call fewer
        }
    }
}

bool on_main_thread()
{
    return syscall(SYS_gettid) == getpid();
}

} // namespace

// NOLINTBEGIN(readability-inconsistent-declaration-parameter-name): the C library's headers name them __x
extern "C" {

unsigned int sleep(unsigned int seconds)
{
    timespec t{static_cast<time_t>(seconds), 0};
    timespec left{};
    if (fast()) {
        t = shrunk(t);
    }
    return sleep_for(t, &left) == 0 ? 0 : static_cast<unsigned int>(left.tv_sec);
}

int usleep(useconds_t usec)
{
    timespec t{static_cast<time_t>(usec / 1'000'000), static_cast<long>(usec % 1'000'000) * 1000L};
    int rc = sleep_for(fast() ? shrunk(t) : t, nullptr);
    errno = rc;
    return rc == 0 ? 0 : -1;
}

int nanosleep(const timespec *request, timespec *remaining)
{
    if (request == nullptr || request->tv_nsec < 0 || request->tv_nsec >= 1'000'000'000L) {
        errno = EINVAL;
        return -1;
    }
    int rc = sleep_for(fast() ? shrunk(*request) : *request, remaining);
    errno = rc;
    return rc == 0 ? 0 : -1;
}

int clock_nanosleep(clockid_t clock, int flags, const timespec *request, timespec *remaining)
{
    timespec t = *request;
    if (fast() && (flags & TIMER_ABSTIME) == 0) {
        t = shrunk(t);
    }
    long rc = syscall(SYS_clock_nanosleep, clock, flags, &t, remaining);
    return rc == 0 ? 0 : errno;
}

int pthread_create(pthread_t *thread, const pthread_attr_t *attr, void *(*start)(void *), void *arg)
{
    static std::atomic<int> calls{0};
    int detached = 0;
    if (attr != nullptr) {
        pthread_attr_getdetachstate(attr, &detached);
    }
    int rc = fail_now("pthread_create", calls) ? EAGAIN : next_create(thread, attr, start, arg);
    note("create %lu %ld %ld\n", rc == 0 ? static_cast<unsigned long>(*thread) : 0UL,
         detached == PTHREAD_CREATE_DETACHED ? 1 : 0, rc);
    return rc;
}

int pthread_join(pthread_t thread, void **result)
{
    note("join-start %lu %ld %ld\n", static_cast<unsigned long>(thread), 0, 0);
    int rc = next_join(thread, result);
    note("join %lu %ld %ld\n", static_cast<unsigned long>(thread), rc, 0);
    return rc;
}

int pthread_detach(pthread_t thread)
{
    int rc = next_detach(thread);
    note("detach %lu %ld %ld\n", static_cast<unsigned long>(thread), rc, 0);
    return rc;
}

void pthread_exit(void *value)
{
    note("exit %lu %ld %ld\n", static_cast<unsigned long>(pthread_self()), on_main_thread() ? 1 : 0, 0);
    next_exit(value);
    abort();
}

} // extern "C"
// NOLINTEND(readability-inconsistent-declaration-parameter-name)
