// Reads what the docs give a reader (their commands, the output they show, the
// timelines they draw), so that the tests run what the docs say and check what
// they show, and the two cannot part.
#pragma once

#include <optional>
#include <string>
#include <vector>

struct Block {
    std::string heading; // the last "## " heading above it, without the "## "
    std::string lang;    // after the opening fence: "sh", "diff", "text", "mermaid", or ""
    std::string text;    // its lines, each with its newline
};

// The whole of a file, or "" if it cannot be read (a process's file in /proc
// that has gone, say).
std::string read_file(const std::string &path);

// The lines of a text, without their newlines.
std::vector<std::string> lines_of(const std::string &text);

// Every fenced block of a Markdown file, in order.
std::vector<Block> fenced_blocks(const std::string &path);

// The "## " headings of a Markdown file, outside its fenced blocks, in order.
std::vector<std::string> headings(const std::string &path);

// All of a Markdown file but its fenced blocks: what a reader reads as prose.
std::string prose(const std::string &path);

// The one line of a `sh` block in the file that starts with `start` and holds
// `holding`; the test fails unless there is exactly one.
std::string doc_command(const std::string &path, const std::string &start, const std::string &holding);

// The block right after the `sh` block that holds this command line: what the
// docs show that the command prints.
std::string shown_after(const std::string &path, const std::string &command);

// Whether a line of output is the line that the docs quote, where "..." in the
// quote stands for anything (an address, a process id); white space at either
// end does not count.
bool quoted_as(const std::string &quote, const std::string &line);

// What each "..." of the quote stands for in the line, in order, or nothing if
// the line is not the one quoted.
std::optional<std::vector<std::string>> filled_in(const std::string &quote, const std::string &line);

// A bar of a Mermaid gantt chart drawn with "dateFormat x": milliseconds.
struct Bar {
    std::string section; // the "section" it is under
    std::string label;   // the text before the colon
    bool milestone;      // a point in time rather than a span
    long start_ms;
    long length_ms;
};

// The bars of the gantt chart in the file whose title is `title`; the test fails
// unless there is exactly one such chart.
std::vector<Bar> gantt_bars(const std::string &path, const std::string &title);
