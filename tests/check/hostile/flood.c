/* Writes as fast as it can, for ever. */
#include <stdio.h>

int main(void)
{
    for (;;) {
        puts("Thread 10 doing some work");
    }
}
