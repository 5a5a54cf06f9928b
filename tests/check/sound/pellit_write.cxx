// pellit in C++ (.cxx): each line is one write(2), so nothing waits in a
// buffer; the pause is clock_nanosleep.
#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

void write_line(const char *a, const char *b)
{
    char line[128];
    int n = std::snprintf(line, sizeof line, "%s%s\n", a, b);
    if (n > 0 && write(1, line, static_cast<std::size_t>(n)) < 0) {
        std::exit(1);
    }
}

void *speaker(void *arg)
{
    const timespec second{1, 0};
    for (;;) {
        write_line("Input is : ", static_cast<const char *>(arg));
        clock_nanosleep(CLOCK_MONOTONIC, 0, &second, nullptr);
    }
}

} // namespace

int main()
{
    static const char *words = "I am thread 1, child thread of main thread";
    pthread_t id;
    int rc = pthread_create(&id, nullptr, speaker, const_cast<char *>(words));
    if (rc != 0) {
        char number[16];
        std::snprintf(number, sizeof number, "%d", rc);
        write_line("Error occured, thread could not be created, errno = ", number);
        return EXIT_FAILURE;
    }
    write_line("The execution of main function( or main thread ) is paused", "");
    pthread_exit(nullptr);
}
