// What a manual page says that its program writes, against what runs of the
// program wrote: every line written is on the page, and every line on the page is
// written by some run.
#pragma once

#include "spawn.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

// A line that the page shows its program writing: in the OUTPUT section, an item's
// tag or a line of an example. A word in italics at its end (reason, n) stands
// for whatever the program writes there.
struct PageLine {
    std::string text; // up to the word in italics, if any
    bool any_rest;    // the line ends in a word in italics
};

// The lines that a page, given as its roff source, shows its program writing.
std::vector<PageLine> page_lines(const std::string &roff);

// The page renders without a warning from groff.
testing::AssertionResult renders_cleanly(const std::string &page_path);

// Every line written is one that the page shows, and every line that the page
// shows was written.
testing::AssertionResult shows_exactly(const std::vector<PageLine> &page, const std::vector<std::string> &written);

// Runs these all at once; every line that any of them wrote, on standard output
// or standard error, once.
std::vector<std::string> lines_written(const std::vector<Spawn> &runs);
