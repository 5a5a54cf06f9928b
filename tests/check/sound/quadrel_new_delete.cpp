// quadrel in C++: new and delete for the blocks, the handles in locals, and
// a helper for each join.
#include <pthread.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <new>

namespace {

void *count_and_square(void *arg)
{
    int *number = static_cast<int *>(arg);
    const int n = *number;
    delete number;
    for (int round = 1; round <= n; ++round) {
        std::printf("Thread %d doing some work\n", n);
        sleep(1);
    }
    return new (std::nothrow) int(n * n);
}

bool launch(pthread_t &handle, int n)
{
    int *number = new (std::nothrow) int(n);
    if (number == nullptr) {
        std::fputs("no memory for the argument\n", stderr);
        return false;
    }
    if (int rc = pthread_create(&handle, nullptr, count_and_square, number); rc != 0) {
        std::fprintf(stderr, "pthread_create failed: %s\n", std::strerror(rc));
        delete number;
        return false;
    }
    return true;
}

bool collect(pthread_t handle, int label)
{
    std::printf("main fn blocked on pthread join for thread with th_id = %d\n", label);
    void *value = nullptr;
    if (int rc = pthread_join(handle, &value); rc != 0 || value == nullptr) {
        std::fputs("join failed\n", stderr);
        return false;
    }
    int *square = static_cast<int *>(value);
    std::printf("Return result from thread %d = %d\n", label, *square);
    delete square;
    return true;
}

} // namespace

int main()
{
    pthread_t first{};
    pthread_t second{};
    const bool have_first = launch(first, 10);
    const bool have_second = launch(second, 2);
    bool fine = have_first && have_second;
    if (have_first) {
        fine = collect(first, 2) && fine;
    }
    if (have_second) {
        fine = collect(second, 3) && fine;
    }
    return fine ? 0 : 1;
}
