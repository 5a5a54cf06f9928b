/* quadrel in C: one struct per worker carries its number in and its result
   out, both on the heap; the pause is usleep, the stream line-buffered. */
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

struct job {
    int number;
};

static void *worker(void *p)
{
    struct job *in = p;
    int number = in->number;
    free(in);
    int done = 0;
    while (done < number) {
        printf("Thread %d doing some work\n", number);
        usleep(1000000);
        done++;
    }
    struct job *out = calloc(1, sizeof *out);
    if (out != NULL) {
        out->number = number * number;
    }
    return out;
}

int main(int argc, char **argv)
{
    (void)argc;
    (void)argv;
    setvbuf(stdout, NULL, _IOLBF, 0);
    const int numbers[2] = {10, 2};
    pthread_t threads[2];
    int started[2] = {0, 0};
    int status = 0;
    for (int i = 0; i < 2; i++) {
        struct job *in = calloc(1, sizeof *in);
        if (in == NULL) {
            fputs("out of memory\n", stderr);
            status = 1;
            continue;
        }
        in->number = numbers[i];
        int rc = pthread_create(&threads[i], NULL, worker, in);
        if (rc != 0) {
            fprintf(stderr, "cannot start worker %d: %s\n", numbers[i], strerror(rc));
            free(in);
            status = 1;
            continue;
        }
        started[i] = 1;
    }
    for (int i = 0; i < 2; i++) {
        if (!started[i]) {
            continue;
        }
        printf("main fn blocked on pthread join for thread with th_id = %d\n", i + 2);
        void *result = NULL;
        int rc = pthread_join(threads[i], &result);
        if (rc != 0 || result == NULL) {
            fputs("a worker gave no result\n", stderr);
            status = 1;
            continue;
        }
        printf("Return result from thread %d = %d\n", i + 2, ((struct job *)result)->number);
        free(result);
    }
    return status;
}
