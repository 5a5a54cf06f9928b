/* quadrel in C: malloc instead of calloc, pthread_exit instead of return,
   nanosleep instead of sleep, and a flush after each line. */
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static void say(const char *format, int n)
{
    printf(format, n);
    fflush(stdout);
}

static void *work(void *arg)
{
    int n = *(int *)arg;
    free(arg);
    for (int i = 0; i < n; i++) {
        say("Thread %d doing some work\n", n);
        struct timespec one = {1, 0};
        nanosleep(&one, NULL);
    }
    int *square = malloc(sizeof *square);
    if (square == NULL) {
        perror("malloc");
        pthread_exit(NULL);
    }
    *square = n * n;
    pthread_exit(square);
}

static int start(pthread_t *t, int n)
{
    int *arg = malloc(sizeof *arg);
    if (arg == NULL) {
        perror("malloc");
        return -1;
    }
    *arg = n;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_JOINABLE);
    int rc = pthread_create(t, &attr, work, arg);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        fprintf(stderr, "pthread_create: %s\n", strerror(rc));
        free(arg);
        return -1;
    }
    return 0;
}

static int finish(pthread_t t, int which)
{
    void *result;
    printf("main fn blocked on pthread join for thread with th_id = %d\n", which);
    fflush(stdout);
    int rc = pthread_join(t, &result);
    if (rc != 0 || result == NULL) {
        fprintf(stderr, "pthread_join: %s\n", rc != 0 ? strerror(rc) : "no result");
        return -1;
    }
    printf("Return result from thread %d = %d\n", which, *(int *)result);
    fflush(stdout);
    free(result);
    return 0;
}

int main(void)
{
    pthread_t a, b;
    int ok_a = start(&a, 10) == 0;
    int ok_b = start(&b, 2) == 0;
    int bad = !ok_a || !ok_b;
    if (ok_a && finish(a, 2) != 0) {
        bad = 1;
    }
    if (ok_b && finish(b, 3) != 0) {
        bad = 1;
    }
    return bad ? EXIT_FAILURE : EXIT_SUCCESS;
}
