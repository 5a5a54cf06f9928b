// quadrel: two joinable worker threads that take an argument and hand back a result.
//
// main hands each worker its number in a heap block that the worker takes over and
// frees. The worker writes a line a second, as many times as its number says, then
// hands back the square of its number in a new heap block, which passes to the
// thread that joins it. main joins the long worker first, so the short one's result
// waits in the thread system for about eight seconds before the second join takes it.
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

pthread_t pthread2;
pthread_t pthread3;

void *thread_fn_callback(void *arg)
{
    // The argument block is ours now: take the number out and free it.
    int th_id = *static_cast<int *>(arg);
    free(arg);

    // A worker works th_id seconds; "<" rather than "!=" so that no number can
    // make it run for ever.
    for (int rc = 0; rc < th_id; rc++) {
        printf("Thread %d doing some work\n", th_id);
        sleep(1);
    }

    // The result block passes to whoever joins this thread.
    int *result = static_cast<int *>(calloc(1, sizeof(int)));
    if (result == nullptr) {
        fprintf(stderr, "quadrel: calloc: %s\n", strerror(errno));
        return nullptr;
    }
    *result = th_id * th_id;
    return result;
}

// Starts a joinable worker with th_id, its handle going into *pthread_handle.
// Returns 0, or the error number of the call that failed; then no thread was
// started and *pthread_handle must not be joined.
int thread_create(pthread_t *pthread_handle, int th_id)
{
    int *_th_id = static_cast<int *>(calloc(1, sizeof(int)));
    if (_th_id == nullptr) {
        int err = errno;
        fprintf(stderr, "quadrel: calloc: %s\n", strerror(err));
        return err;
    }
    *_th_id = th_id;

    pthread_attr_t attr;
    int rc = pthread_attr_init(&attr);
    if (rc != 0) {
        fprintf(stderr, "quadrel: pthread_attr_init: %s\n", strerror(rc));
        free(_th_id);
        return rc;
    }
    // Joinable is the default; say so anyway.
    rc = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_JOINABLE);
    if (rc != 0) {
        fprintf(stderr, "quadrel: pthread_attr_setdetachstate: %s\n", strerror(rc));
        pthread_attr_destroy(&attr);
        free(_th_id);
        return rc;
    }

    rc = pthread_create(pthread_handle, &attr, thread_fn_callback, _th_id);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        fprintf(stderr, "quadrel: pthread_create: %s\n", strerror(rc));
        free(_th_id); // no thread took it over
        return rc;
    }
    return 0; // the block belongs to the new thread now
}

int main(int /* argc */, char * /* argv */[])
{
    void *thread_result2 = nullptr;
    void *thread_result3 = nullptr;

    int created2 = thread_create(&pthread2, 10);
    int created3 = thread_create(&pthread3, 2);
    bool failed = created2 != 0 || created3 != 0;

    // A worker that did not start has no handle to join and nothing to report.
    if (created2 == 0) {
        // "2" is the number of the handle, pthread2, not the worker's number (10).
        puts("main fn blocked on pthread join for thread with th_id = 2");
        int rc = pthread_join(pthread2, &thread_result2);
        if (rc != 0) {
            fprintf(stderr, "quadrel: pthread_join: %s\n", strerror(rc));
            failed = true;
        } else if (thread_result2 == nullptr) {
            failed = true; // the worker has said why
        } else {
            printf("Return result from thread 2 = %d\n", *static_cast<int *>(thread_result2));
            free(thread_result2);
            thread_result2 = nullptr;
        }
    }

    if (created3 == 0) {
        puts("main fn blocked on pthread join for thread with th_id = 3");
        int rc = pthread_join(pthread3, &thread_result3);
        if (rc != 0) {
            fprintf(stderr, "quadrel: pthread_join: %s\n", strerror(rc));
            failed = true;
        } else if (thread_result3 == nullptr) {
            failed = true; // the worker has said why
        } else {
            printf("Return result from thread 3 = %d\n", *static_cast<int *>(thread_result3));
            free(thread_result3);
            thread_result3 = nullptr;
        }
    }

    // Through a pipe or into a file the lines are still in the buffer: make sure
    // they got out.
    if (fflush(stdout) != 0) {
        fprintf(stderr, "quadrel: standard output: %s\n", strerror(errno));
        return EXIT_FAILURE;
    }
    if (ferror(stdout) != 0) {
        fputs("quadrel: standard output: write error\n", stderr);
        return EXIT_FAILURE;
    }
    return failed ? EXIT_FAILURE : EXIT_SUCCESS;
}
