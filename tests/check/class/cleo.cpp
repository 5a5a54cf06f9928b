// pellit: a worker thread that outlives the main thread.
//
// The worker is handed a pointer to constant text that lives as long as the
// process, so nothing is allocated or freed. It writes the text once a second for
// ever. The main thread ends itself with pthread_exit rather than returning from
// main, so the process runs on with the worker alone until it is stopped from
// outside. The worker's handle is dropped: it is never joined and never detached.
#include <pthread.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace {

void *thread_fn_callback(void *arg)
{
    const char *input = static_cast<const char *>(arg);
    for (;;) {
        printf("Input is : %s\n", input);
        sleep(1);
    }
}

} // namespace

void thread1_create()
{
    static const char *thread_input1 = "I am thread 1, child thread of main thread";
    pthread_t pthread;

    // pthread_create passes a void *; the worker only reads through it.
    int rc = pthread_create(&pthread, nullptr, thread_fn_callback, const_cast<char *>(thread_input1));
    if (rc != 0) {
        printf("Error occured, thread could not be created, errno = %d\n", rc);
        exit(EXIT_FAILURE);
    }
}

int main(int /* argc */, char * /* argv */[])
{
    // The process only ever ends by being killed, which drops whatever stdio still
    // holds; to a pipe or a file stdout would hold lines by the block. Send each
    // line out as it is written.
    if (setvbuf(stdout, nullptr, _IOLBF, BUFSIZ) != 0) {
        fputs("pellit: cannot make standard output line-buffered\n", stderr);
        return EXIT_FAILURE;
    }

    thread1_create();
    puts("The execution of main function( or main thread ) is paused");

    // End the main thread only: the process goes on as long as the worker runs.
    return 0;
}
