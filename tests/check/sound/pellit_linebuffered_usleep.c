/* pellit in C: a line-buffered stream set up in main, fputs for the lines,
   usleep for the pause, the creation in a helper. */
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

static void *loop(void *arg)
{
    const char *s = arg;
    while (1) {
        fputs("Input is : ", stdout);
        fputs(s, stdout);
        fputs("\n", stdout);
        usleep(1000 * 1000);
    }
}

static void start_worker(void)
{
    static const char *input = "I am thread 1, child thread of main thread";
    pthread_t handle;
    int err = pthread_create(&handle, NULL, loop, (void *)input);
    if (err) {
        printf("Error occured, thread could not be created, errno = %d\n", err);
        exit(1);
    }
}

int main(void)
{
    setvbuf(stdout, NULL, _IOLBF, BUFSIZ);
    start_worker();
    puts("The execution of main function( or main thread ) is paused");
    pthread_exit(NULL);
}
