// A file that clang-tidy must reject (an if without braces): .ci/lint
// checks that it does, so that a lint that has stopped looking cannot pass.
int main(int argc, char ** /* argv */)
{
    int n = 0;
    if (argc > 1)
        n = argc;
    return n;
}
