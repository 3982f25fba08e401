// The transcript form of the console units' tests and the whole sessions: cases of screen lines
// (printed, typed) among lines each test reads itself (what drives the program, what it did).
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "escapes.h"
#include "process.h"

namespace transcript {

// The blocks `define NAME` ... `end` by name: the screen lines that a line `@NAME` stands for.
using Defines = std::map<std::string, std::vector<std::string>>;

struct Screen {
    std::string typed, printed, errors;  // errors: what the `!` lines print (in printed too)
    bool errors_shown = false;           // a `!` line was there
};

// Adds a screen line to `s`: "| TEXT" (or "! TEXT", printed as an error) is TEXT printed, each
// {ANSWER} in it typed with its Enter; the line's end is printed unless TEXT ends with an
// answer or a lone `\`. "@NAME" adds the lines of `define NAME`. False for any other line.
inline bool add(Screen& s, std::string_view line, const Defines& defines) {
    if (line.starts_with('@')) {
        const auto block = defines.find(std::string(line.substr(1)));
        EXPECT_TRUE(block != defines.end()) << "no define " << line;
        if (block != defines.end())
            for (const std::string& l : block->second) add(s, l, defines);
        return true;
    }
    if (!line.starts_with('|') && !line.starts_with('!')) return false;
    std::string_view text = line.substr(line.size() > 1 && line[1] == ' ' ? 2 : 1);
    const bool joined = escapes::take_joiner(text);
    bool answered = false;  // the last thing on the line is an answer
    std::string printed;
    for (size_t at = 0; at < text.size();) {
        printed += escapes::unescaped(text, &at, "{");
        if (at == text.size()) break;
        s.typed += escapes::unescaped(text, &++at, "}") + "\n";
        EXPECT_LT(at, text.size()) << "an answer without its }: " << line;
        answered = ++at >= text.size();
    }
    if (!joined && !answered) printed += '\n';
    s.printed += printed;
    if (line[0] == '!') s.errors += printed, s.errors_shown = true;
    return true;
}

struct Line {  // a line of a data file
    int number = 0;
    std::string text, key, rest;  // key: its first word; rest: what follows the blank after it
};

// The lines of the data file at `path`, but comments, blank lines and `define` blocks (kept).
inline std::vector<Line> lines_of(const std::string& path, Defines& defines) {
    std::vector<Line> out;
    std::vector<std::string>* define = nullptr;
    for (const auto& [n, text] : proc::data_lines(path)) {
        const size_t blank = text.find(' ');
        if (text.starts_with("define ") || text == "end")
            define = text == "end" ? nullptr : &defines[text.substr(7)];
        else if (define)
            define->push_back(text);
        else
            out.push_back(
                {n, text, text.substr(0, blank), blank == text.npos ? "" : text.substr(blank + 1)});
    }
    EXPECT_FALSE(out.empty() && defines.empty()) << "nothing in " << path;
    return out;
}

struct Case {  // `case NAME` on line `number` of `file`, and what its screen lines add up to
    std::string file, name;
    int number = 0;
    Screen screen;
};

// The cases of `lines` (of `file`): a screen line adds to the case under way, any other goes in
// order to `other` with it; those before the first case (the file's own) with one then dropped.
template <class C>
std::vector<C> cases_of(const std::string& file, const std::vector<Line>& lines,
                        const Defines& defines, const std::function<void(C&, const Line&)>& other) {
    std::vector<C> cases(1);
    for (const Line& l : lines)
        if (l.key == "case")
            static_cast<Case&>(cases.emplace_back()) = {file, l.rest, l.number, {}};
        else if (!add(cases.back().screen, l.text, defines))
            other(cases.back(), l);
    cases.erase(cases.begin());
    return cases;
}

}  // namespace transcript
