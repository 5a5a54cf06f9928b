#include "man_page.hpp"

#include "docs.hpp"

#include <algorithm>
#include <cstdlib>
#include <future>
#include <regex>
#include <set>
#include <sstream>

namespace {

// A line of roff as text: the escape for a hyphen undone, and a word in italics
// at the end taken as a stand-in for what varies.
PageLine as_text(std::string line)
{
    for (std::size_t at; (at = line.find("\\-")) != std::string::npos;) {
        line.replace(at, 2, "-");
    }
    const std::size_t italic = line.find("\\fI");
    if (italic != std::string::npos && line.find("\\fP", italic) != std::string::npos) {
        return {line.substr(0, italic), true};
    }
    return {line, false};
}

// The text of a font macro line: ".B text", ".B \"text\"", or ".BI \"text \" word",
// where the word in italics stands for what varies.
PageLine tag(const std::string &line)
{
    std::istringstream in(line);
    std::string macro;
    in >> macro >> std::ws;
    std::string rest;
    std::getline(in, rest);
    if (macro == ".BI" && !rest.empty() && rest.front() == '"') {
        const std::size_t close = rest.find('"', 1);
        return {rest.substr(1, close - 1), true};
    }
    if (rest.size() >= 2 && rest.front() == '"' && rest.back() == '"') {
        rest = rest.substr(1, rest.size() - 2);
    }
    return as_text(rest);
}

bool written_as(const PageLine &shown, const std::string &line)
{
    return shown.any_rest ? line.size() > shown.text.size() && line.rfind(shown.text, 0) == 0 : line == shown.text;
}

} // namespace

std::vector<PageLine> page_lines(const std::string &roff)
{
    std::vector<PageLine> out;
    std::string section;
    bool example = false;
    bool tag_next = false;
    for (const std::string &line : lines_of(roff)) {
        if (line.rfind(".SH ", 0) == 0) {
            section = line.substr(4);
        } else if (section != "OUTPUT") {
            continue;
        } else if (line == ".EX" || line == ".EE") {
            example = line == ".EX";
        } else if (example) {
            out.push_back(as_text(line));
        } else if (line == ".TP" || line == ".TQ") {
            tag_next = true;
        } else if (tag_next) {
            out.push_back(tag(line));
            tag_next = false;
        }
    }
    return out;
}

testing::AssertionResult renders_cleanly(const std::string &page_path)
{
    Recording r = record({.argv = {GROFF, "-ww", "-man", "-z", page_path}});
    if (!WIFEXITED(r.status) || WEXITSTATUS(r.status) != 0 || !r.err.empty()) {
        return testing::AssertionFailure() << page_path << ": groff warnings:\n" << r.err;
    }
    return testing::AssertionSuccess();
}

testing::AssertionResult shows_exactly(const std::vector<PageLine> &page, const std::vector<std::string> &written)
{
    std::string wrong;
    for (const std::string &line : written) {
        if (std::none_of(page.begin(), page.end(), [&](const PageLine &shown) { return written_as(shown, line); })) {
            wrong += "\n  written, not on the page: " + line;
        }
    }
    for (const PageLine &shown : page) {
        if (std::none_of(written.begin(), written.end(),
                         [&](const std::string &line) { return written_as(shown, line); })) {
            wrong += "\n  on the page, written by no run: " + shown.text + (shown.any_rest ? "<italic word>" : "");
        }
    }
    if (!wrong.empty()) {
        return testing::AssertionFailure() << "the page and the runs differ:" << wrong;
    }
    return testing::AssertionSuccess();
}

std::vector<Recording> record_all(const std::vector<Spawn> &runs)
{
    std::vector<std::future<Recording>> running;
    running.reserve(runs.size());
    for (const Spawn &run : runs) {
        running.push_back(std::async(std::launch::async, [&run] { return record(run); }));
    }
    std::vector<Recording> out;
    out.reserve(runs.size());
    for (auto &future : running) {
        out.push_back(future.get());
    }
    return out;
}

std::vector<std::string> lines_written(const std::vector<Recording> &runs)
{
    std::set<std::string> lines;
    for (const Recording &r : runs) {
        for (const std::string &line : r.texts()) {
            const bool cut_short = line.size() >= kNoNewline.size() &&
                                   line.compare(line.size() - kNoNewline.size(), kNoNewline.size(), kNoNewline) == 0;
            if (!cut_short) { // by the output, such as a file at its size limit: not a line of the page
                lines.insert(line);
            }
        }
        for (const std::string &line : lines_of(r.err)) {
            lines.insert(line);
        }
    }
    return {lines.begin(), lines.end()};
}

testing::AssertionResult shows_word_for_word(const std::vector<PageLine> &page, const std::vector<std::string> &written)
{
    for (const std::string &line : written) {
        if (std::none_of(page.begin(), page.end(),
                         [&](const PageLine &shown) { return !shown.any_rest && shown.text == line; })) {
            return testing::AssertionFailure() << "written, not on the page as it is: " << line;
        }
    }
    return testing::AssertionSuccess();
}

std::set<int> exit_statuses(const std::string &roff)
{
    std::set<int> out;
    std::string section;
    bool tag_next = false;
    for (const std::string &line : lines_of(roff)) {
        if (line.rfind(".SH ", 0) == 0) {
            section = line.substr(4);
        } else if (section == "EXIT STATUS" && (line == ".TP" || line == ".TQ")) {
            tag_next = true;
        } else if (tag_next) {
            out.insert(std::atoi(tag(line).text.c_str()));
            tag_next = false;
        }
    }
    return out;
}

std::vector<int> line_counts(const std::string &roff)
{
    std::vector<int> out;
    const std::regex count(R"(\b(\d+)\s+lines\b)");
    for (auto it = std::sregex_iterator(roff.begin(), roff.end(), count); it != std::sregex_iterator(); ++it) {
        out.push_back(std::stoi((*it)[1]));
    }
    return out;
}
