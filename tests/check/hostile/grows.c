/* Takes another GiB every second, and touches it, for ever. */
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

int main(void)
{
    for (;;) {
        char *more = malloc(1UL << 30);
        if (more != NULL) {
            memset(more, 1, 1UL << 30);
        }
        sleep(1);
    }
}
