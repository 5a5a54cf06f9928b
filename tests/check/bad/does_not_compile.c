/* A worker whose start routine has the wrong shape, and a missing semicolon. */
#include <pthread.h>

int work(int n) { return n }

int main(void)
{
    pthread_t t;
    return pthread_create(&t, NULL, work, NULL);
}
