#include "valgrind.hpp"

std::vector<std::string> under_valgrind(const std::vector<std::string> &tool_options, std::vector<std::string> argv)
{
    std::vector<std::string> command{VALGRIND, "--vgdb=no"};
    command.insert(command.end(), tool_options.begin(), tool_options.end());
    argv.insert(argv.begin(), command.begin(), command.end());
    return argv;
}

std::vector<std::string> under_memcheck(const std::string &leak_kinds, std::vector<std::string> argv)
{
    return under_valgrind({"-q", "--error-exitcode=99", "--leak-check=full", "--show-leak-kinds=" + leak_kinds,
                           "--errors-for-leak-kinds=" + leak_kinds},
                          std::move(argv));
}
