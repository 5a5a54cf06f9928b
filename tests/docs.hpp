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

// Whether a line of output is the line that the docs quote, where "..." in the
// quote stands for anything (an address, a process id); white space at either
// end does not count.
inline bool quoted_as(const std::string &quote, const std::string &line)
{
    const auto trim = [](const std::string &text) {
        const std::size_t from = text.find_first_not_of(" \t");
        return from == std::string::npos ? "" : text.substr(from, text.find_last_not_of(" \t") - from + 1);
    };
    const std::string q = trim(quote);
    const std::string l = trim(line);
    std::vector<std::string> pieces;
    for (std::size_t from = 0;;) {
        const std::size_t dots = q.find("...", from);
        pieces.push_back(q.substr(from, dots == std::string::npos ? std::string::npos : dots - from));
        if (dots == std::string::npos) {
            break;
        }
        from = dots + 3;
    }
    if (pieces.size() == 1) {
        return l == q;
    }
    if (l.rfind(pieces.front(), 0) != 0 || l.size() < pieces.front().size() + pieces.back().size() ||
        l.compare(l.size() - pieces.back().size(), pieces.back().size(), pieces.back()) != 0) {
        return false;
    }
    std::size_t at = pieces.front().size();
    const std::size_t end = l.size() - pieces.back().size();
    for (std::size_t i = 1; i + 1 < pieces.size(); i++) {
        at = l.find(pieces[i], at);
        if (at == std::string::npos || at + pieces[i].size() > end) {
            return false;
        }
        at += pieces[i].size();
    }
    return true;
}
