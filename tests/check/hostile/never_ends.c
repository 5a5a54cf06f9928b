/* Writes a lesson's first line, then sleeps for ever. */
#include <stdio.h>
#include <unistd.h>

int main(void)
{
    setvbuf(stdout, NULL, _IOLBF, 0);
    puts("Thread 10 doing some work");
    for (;;) {
        sleep(1);
    }
}
