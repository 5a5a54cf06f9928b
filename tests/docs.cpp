#include "docs.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <sstream>

std::string read_file(const std::string &path)
{
    std::string text;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return text;
    }
    char buf[4096];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) {
        text.append(buf, static_cast<std::size_t>(n));
    }
    close(fd);
    return text;
}

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

namespace {

// Walks a Markdown file once: each line with whether it is inside a fenced block.
struct Walk {
    std::vector<Block> blocks;
    std::vector<std::string> headings;
    std::string prose;
};

Walk walk(const std::string &path)
{
    Walk w;
    std::string heading;
    bool inside = false;
    const std::string text = read_file(path);
    EXPECT_FALSE(text.empty()) << "cannot read " << path;
    for (const std::string &line : lines_of(text)) {
        if (line.rfind("```", 0) == 0) {
            if (!inside) {
                w.blocks.push_back({heading, line.substr(3), ""});
            }
            inside = !inside;
        } else if (inside) {
            w.blocks.back().text += line + "\n";
        } else {
            if (line.rfind("## ", 0) == 0) {
                heading = line.substr(3);
                w.headings.push_back(heading);
            }
            w.prose += line + "\n";
        }
    }
    return w;
}

} // namespace

std::vector<Block> fenced_blocks(const std::string &path)
{
    return walk(path).blocks;
}

std::vector<std::string> headings(const std::string &path)
{
    return walk(path).headings;
}

std::string prose(const std::string &path)
{
    return walk(path).prose;
}

std::string doc_command(const std::string &path, const std::string &start, const std::string &holding)
{
    std::vector<std::string> found;
    for (const Block &block : fenced_blocks(path)) {
        for (const std::string &line : lines_of(block.text)) {
            if (block.lang == "sh" && line.rfind(start, 0) == 0 && line.find(holding) != std::string::npos) {
                found.push_back(line);
            }
        }
    }
    EXPECT_EQ(found.size(), 1U) << path << ": commands that start with \"" << start << "\" and hold \"" << holding
                                << "\": " << testing::PrintToString(found);
    return found.empty() ? "false" : found.front();
}

std::string shown_after(const std::string &path, const std::string &command)
{
    const std::vector<Block> blocks = fenced_blocks(path);
    for (std::size_t i = 0; i + 1 < blocks.size(); i++) {
        if (blocks[i].lang == "sh" && blocks[i].text.find(command + "\n") != std::string::npos) {
            return blocks[i + 1].text;
        }
    }
    ADD_FAILURE() << path << ": no block after the command " << command;
    return "";
}

std::optional<std::vector<std::string>> filled_in(const std::string &quote, const std::string &line)
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
        return l == q ? std::optional<std::vector<std::string>>(std::vector<std::string>{}) : std::nullopt;
    }
    if (l.rfind(pieces.front(), 0) != 0 || l.size() < pieces.front().size() + pieces.back().size() ||
        l.compare(l.size() - pieces.back().size(), pieces.back().size(), pieces.back()) != 0) {
        return std::nullopt;
    }
    std::vector<std::string> fills;
    std::size_t at = pieces.front().size();
    const std::size_t end = l.size() - pieces.back().size();
    for (std::size_t i = 1; i + 1 < pieces.size(); i++) {
        const std::size_t found = l.find(pieces[i], at);
        if (found == std::string::npos || found + pieces[i].size() > end) {
            return std::nullopt;
        }
        fills.push_back(l.substr(at, found - at));
        at = found + pieces[i].size();
    }
    fills.push_back(l.substr(at, end - at));
    return fills;
}

bool quoted_as(const std::string &quote, const std::string &line)
{
    return filled_in(quote, line).has_value();
}

namespace {

// "10s", "1s", "0ms" as milliseconds.
long milliseconds(const std::string &length)
{
    const long number = std::stol(length);
    return length.find("ms") != std::string::npos ? number : number * 1000;
}

std::string trimmed(const std::string &text)
{
    const std::size_t from = text.find_first_not_of(' ');
    return from == std::string::npos ? "" : text.substr(from, text.find_last_not_of(' ') - from + 1);
}

} // namespace

std::vector<Bar> gantt_bars(const std::string &path, const std::string &title)
{
    std::vector<std::vector<Bar>> charts;
    for (const Block &block : fenced_blocks(path)) {
        if (block.lang != "mermaid" || block.text.find("title " + title + "\n") == std::string::npos) {
            continue;
        }
        std::vector<Bar> bars;
        std::string section;
        for (const std::string &raw : lines_of(block.text)) {
            const std::string line = trimmed(raw);
            const std::size_t colon = line.find(" :");
            if (line.rfind("section ", 0) == 0) {
                section = line.substr(8);
            } else if (!section.empty() && colon != std::string::npos) {
                // "label :tag, tag, start, length", the tags optional
                std::vector<std::string> fields;
                std::istringstream after_colon(line.substr(colon + 2));
                for (std::string field; std::getline(after_colon, field, ',');) {
                    fields.push_back(trimmed(field));
                }
                if (fields.size() < 2) {
                    ADD_FAILURE() << path << ": a bar without a start and a length: " << line;
                    continue;
                }
                const bool milestone = std::find(fields.begin(), fields.end(), "milestone") != fields.end();
                bars.push_back({section, trimmed(line.substr(0, colon)), milestone,
                                std::stol(fields[fields.size() - 2]), milliseconds(fields.back())});
            }
        }
        charts.push_back(bars);
    }
    EXPECT_EQ(charts.size(), 1U) << path << ": gantt charts titled " << title;
    return charts.empty() ? std::vector<Bar>{} : charts.front();
}
