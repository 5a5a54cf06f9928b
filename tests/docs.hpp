// Reads the commands and examples that the docs give a reader, so that the tests
// run what the docs say and the two cannot part.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

struct Block {
    std::string heading; // the last "## " heading above it, without the "## "
    std::string lang;    // after the opening fence: "sh", "diff", "text", ...
    std::string text;    // its lines, each with its newline
};

// Every fenced block of a Markdown file, in order.
inline std::vector<Block> fenced_blocks(const std::string &path)
{
    std::ifstream in(path);
    EXPECT_TRUE(in.good()) << "cannot read " << path;
    std::vector<Block> blocks;
    std::string heading;
    bool inside = false;
    for (std::string line; std::getline(in, line);) {
        if (!inside && line.rfind("## ", 0) == 0) {
            heading = line.substr(3);
        } else if (line.rfind("```", 0) == 0) {
            if (!inside) {
                blocks.push_back({heading, line.substr(3), ""});
            }
            inside = !inside;
        } else if (inside) {
            blocks.back().text += line + "\n";
        }
    }
    return blocks;
}

// The one line of a `sh` block in the file that starts with `start` and holds
// `holding`; the test fails unless there is exactly one.
inline std::string doc_command(const std::string &path, const std::string &start, const std::string &holding)
{
    std::vector<std::string> found;
    for (const Block &block : fenced_blocks(path)) {
        std::istringstream lines(block.text);
        for (std::string line; block.lang == "sh" && std::getline(lines, line);) {
            if (line.rfind(start, 0) == 0 && line.find(holding) != std::string::npos) {
                found.push_back(line);
            }
        }
    }
    EXPECT_EQ(found.size(), 1U) << path << ": commands that start with \"" << start << "\" and hold \"" << holding
                                << "\": " << testing::PrintToString(found);
    return found.empty() ? "false" : found.front();
}
