// What a manual page says that its program writes, against what runs of the
// program wrote: every line written is on the page, and every line on the page is
// written by some run.
#pragma once

#include "spawn.hpp"

#include <gtest/gtest.h>

#include <set>
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

// Runs these all at once, and records each.
std::vector<Recording> record_all(const std::vector<Spawn> &runs);

// Every line that any of these runs wrote, on standard output or standard error,
// once.
std::vector<std::string> lines_written(const std::vector<Recording> &runs);

// Every line written is shown on the page as it is, not only as a line whose
// italic word stands for the rest.
testing::AssertionResult shows_word_for_word(const std::vector<PageLine> &page,
                                             const std::vector<std::string> &written);

// The exit statuses that the page's EXIT STATUS section lists, each the tag of
// an item (".TP" then ".B 1").
std::set<int> exit_statuses(const std::string &roff);

// The numbers that the page's text gives as a count of lines ("writes 16 lines").
std::vector<int> line_counts(const std::string &roff);
