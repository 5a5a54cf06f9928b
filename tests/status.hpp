// How a program ended, as waitpid reports it, for EXPECT_THAT.
#pragma once

#include <sys/wait.h>

#include <gmock/gmock.h>

#include <cstring>
#include <string>

MATCHER_P(ExitedWith, code, "exited with status " + testing::PrintToString(code))
{
    *result_listener << "wait status " << arg;
    return WIFEXITED(arg) && WEXITSTATUS(arg) == code;
}

MATCHER_P(KilledBy, signal, std::string("killed by ") + strsignal(signal))
{
    *result_listener << "wait status " << arg;
    return WIFSIGNALED(arg) && WTERMSIG(arg) == signal;
}
