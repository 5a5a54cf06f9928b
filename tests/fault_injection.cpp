// Test-only stand-ins for the calls that can fail, linked into a program's twin
// with -Wl,--wrap=NAME for each __wrap_NAME below (the build reads the names from
// this file), so that the program's own calls come here.
//
// FAULT_INJECT="NAME:N[,NAME:N...]" makes the N-th call of NAME in the process
// fail as that call fails for real, with the error number given below; every
// other call goes through unchanged.
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// True when this call of `name`, counted in `calls`, is one that FAULT_INJECT names.
bool fail_now(const char *name, std::atomic<int> &calls)
{
    const int call = ++calls;
    const char *faults = getenv("FAULT_INJECT");
    const std::size_t len = strlen(name);
    for (const char *p = faults; p != nullptr && (p = strstr(p, name)) != nullptr; p += len) {
        bool whole_name = (p == faults || p[-1] == ',') && p[len] == ':';
        if (whole_name && atoi(p + len + 1) == call) {
            return true;
        }
    }
    return false;
}

} // namespace

// NOLINTBEGIN(bugprone-reserved-identifier,readability-identifier-naming): names the linker gives
extern "C" {

void *__real_calloc(std::size_t count, std::size_t size);
void *__wrap_calloc(std::size_t count, std::size_t size)
{
    static std::atomic<int> calls{0};
    if (fail_now("calloc", calls)) {
        errno = ENOMEM;
        return nullptr;
    }
    return __real_calloc(count, size);
}

int __real_pthread_attr_init(pthread_attr_t *attr);
int __wrap_pthread_attr_init(pthread_attr_t *attr)
{
    static std::atomic<int> calls{0};
    return fail_now("pthread_attr_init", calls) ? ENOMEM : __real_pthread_attr_init(attr);
}

int __real_pthread_attr_setdetachstate(pthread_attr_t *attr, int state);
int __wrap_pthread_attr_setdetachstate(pthread_attr_t *attr, int state)
{
    static std::atomic<int> calls{0};
    return fail_now("pthread_attr_setdetachstate", calls) ? EINVAL : __real_pthread_attr_setdetachstate(attr, state);
}

int __real_pthread_create(pthread_t *thread, const pthread_attr_t *attr, void *(*start)(void *), void *arg);
int __wrap_pthread_create(pthread_t *thread, const pthread_attr_t *attr, void *(*start)(void *), void *arg)
{
    static std::atomic<int> calls{0};
    return fail_now("pthread_create", calls) ? EAGAIN : __real_pthread_create(thread, attr, start, arg);
}

// Fails before waiting, as a join refused for a deadlock does: the thread is left
// unjoined and *result is not written.
int __real_pthread_join(pthread_t thread, void **result);
int __wrap_pthread_join(pthread_t thread, void **result)
{
    static std::atomic<int> calls{0};
    return fail_now("pthread_join", calls) ? EDEADLK : __real_pthread_join(thread, result);
}

int __real_setvbuf(FILE *stream, char *buf, int mode, std::size_t size);
int __wrap_setvbuf(FILE *stream, char *buf, int mode, std::size_t size)
{
    static std::atomic<int> calls{0};
    return fail_now("setvbuf", calls) ? EOF : __real_setvbuf(stream, buf, mode, size);
}

} // extern "C"
// NOLINTEND(bugprone-reserved-identifier,readability-identifier-naming)
