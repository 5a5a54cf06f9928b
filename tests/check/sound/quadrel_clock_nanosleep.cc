// quadrel in C++ (.cc): the pause is clock_nanosleep on the monotonic clock,
// each line goes out with puts or printf and an fflush.
#include <pthread.h>
#include <time.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static void pause_a_second()
{
    timespec second{1, 0};
    while (clock_nanosleep(CLOCK_MONOTONIC, 0, &second, &second) != 0) {
    }
}

static void *thread_body(void *arg)
{
    int id = *static_cast<int *>(arg);
    std::free(arg);
    for (int k = id; k > 0; k--) {
        std::printf("Thread %d doing some work\n", id);
        std::fflush(stdout);
        pause_a_second();
    }
    int *out = static_cast<int *>(std::malloc(sizeof(int)));
    if (out != nullptr) {
        *out = id * id;
    }
    return out;
}

static int make(pthread_t *t, int id)
{
    int *arg = static_cast<int *>(std::malloc(sizeof(int)));
    if (arg == nullptr) {
        return ENOMEM;
    }
    *arg = id;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_JOINABLE);
    int rc = pthread_create(t, &attr, thread_body, arg);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        std::free(arg);
        std::fprintf(stderr, "quadrel: cannot create thread %d: %s\n", id, std::strerror(rc));
    }
    return rc;
}

int main()
{
    pthread_t t10, t2;
    int e10 = make(&t10, 10);
    int e2 = make(&t2, 2);
    int status = (e10 != 0 || e2 != 0) ? 1 : 0;
    const pthread_t *handles[2] = {e10 == 0 ? &t10 : nullptr, e2 == 0 ? &t2 : nullptr};
    for (int i = 0; i < 2; i++) {
        if (handles[i] == nullptr) {
            continue;
        }
        std::printf("main fn blocked on pthread join for thread with th_id = %d\n", i + 2);
        std::fflush(stdout);
        void *r = nullptr;
        if (pthread_join(*handles[i], &r) != 0 || r == nullptr) {
            std::fputs("quadrel: join failed\n", stderr);
            status = 1;
            continue;
        }
        std::printf("Return result from thread %d = %d\n", i + 2, *static_cast<int *>(r));
        std::fflush(stdout);
        std::free(r);
    }
    return status;
}
