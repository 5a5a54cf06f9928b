// What a built binary is made of, as the build's own binutils tell
// (CMAKE_READELF, CMAKE_NM: those of the target where the build is a cross build).
#pragma once

#include <string>
#include <vector>

// The libraries a binary needs, in the order the dynamic loader loads them.
std::vector<std::string> needed(const std::string &binary);

// The symbols a binary takes from elsewhere, one a line.
std::string undefined_symbols(const std::string &binary);

// The notes that the compilers left in the binary's .comment section.
std::string comment(const std::string &binary);
