/* Leaves a child behind that sleeps ten minutes in a session of its own. */
#include <stdio.h>
#include <unistd.h>

int main(void)
{
    if (fork() == 0) {
        setsid();
        sleep(600);
        return 0;
    }
    puts("main fn blocked on pthread join for thread with th_id = 2");
    return 0;
}
