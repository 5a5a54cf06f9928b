#include "build.hpp"

#include <sstream>

std::vector<std::string> emulator()
{
    std::vector<std::string> words;
    std::istringstream in(EMULATOR);
    for (std::string word; in >> word;) {
        words.push_back(word);
    }
    return words;
}
