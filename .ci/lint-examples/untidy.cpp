// A file that clang-tidy must reject, with a finding of each family that
// .clang-tidy enables: .ci/lint checks that it does, so that a lint that has
// stopped looking, or a family left out, cannot pass.
// families: bugprone concurrency performance readability
#include <pthread.h>

#include <string>

int length(std::string text) // performance: a copy for nothing
{
    return static_cast<int>(text.size());
}

int main(int argc, char ** /* argv */)
{
    pthread_setcanceltype(PTHREAD_CANCEL_ASYNCHRONOUS, nullptr); // concurrency
    int n = 0;
    if (argc > 1) // readability: an if without braces
        n = argc;
    if (n == 1); // bugprone: a stray semicolon
    {
        n = length("x");
    }
    return n;
}
