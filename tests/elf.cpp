#include "elf.hpp"

#include "spawn.hpp"
#include "status.hpp"

#include <gmock/gmock.h>

#include <sstream>

namespace {

// What a tool of binutils prints about a binary.
std::string binutils(const std::string &tool, const std::string &option, const std::string &binary)
{
    Recording r = record({.argv = {tool, option, binary}});
    EXPECT_THAT(r.status, ExitedWith(0)) << tool << " " << binary << ": " << r.err;
    std::string out;
    for (const std::string &line : r.texts()) {
        out += line + "\n";
    }
    return out;
}

} // namespace

std::vector<std::string> needed(const std::string &binary)
{
    std::vector<std::string> libraries;
    std::istringstream lines(binutils(READELF, "-d", binary));
    for (std::string line; std::getline(lines, line);) {
        const std::size_t open = line.find("Shared library: [");
        if (open != std::string::npos) {
            const std::size_t from = open + 17;
            libraries.push_back(line.substr(from, line.find(']', from) - from));
        }
    }
    return libraries;
}

std::string undefined_symbols(const std::string &binary)
{
    return binutils(NM, "--undefined-only", binary);
}

std::string comment(const std::string &binary)
{
    return binutils(READELF, "-p.comment", binary);
}
