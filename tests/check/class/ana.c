/* pellit in C: the worker detached, nanosleep for the pause, a flush after
   each line. */
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

static const char *const text = "I am thread 1, child thread of main thread";

static void *talk(void *arg)
{
    const char *what = arg;
    for (;;) {
        printf("Input is : %s\n", what);
        fflush(stdout);
        struct timespec second = {1, 0};
        nanosleep(&second, NULL);
    }
    return NULL;
}

int main(void)
{
    pthread_t worker;
    int rc = pthread_create(&worker, NULL, talk, (void *)text);
    if (rc != 0) {
        printf("Error occured, thread could not be created, errno = %d\n", rc);
        return EXIT_FAILURE;
    }
    pthread_detach(worker);
    printf("The execution of main function( or main thread ) is paused\n");
    fflush(stdout);
    pthread_exit(NULL);
}
