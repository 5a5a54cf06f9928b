// pellit in C++: created detached through an attributes object, each line
// flushed, the text a global constant array.
#include <pthread.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

static const char message[] = "I am thread 1, child thread of main thread";

static void *repeat(void *arg)
{
    for (;;) {
        std::printf("Input is : %s\n", static_cast<const char *>(arg));
        std::fflush(stdout);
        sleep(1);
    }
}

int main()
{
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t t;
    if (int rc = pthread_create(&t, &attr, repeat, const_cast<char *>(message)); rc != 0) {
        std::printf("Error occured, thread could not be created, errno = %d\n", rc);
        std::exit(EXIT_FAILURE);
    }
    pthread_attr_destroy(&attr);
    std::puts("The execution of main function( or main thread ) is paused");
    std::fflush(stdout);
    pthread_exit(nullptr);
}
