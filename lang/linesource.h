// A line source over a text held in memory (a program file read in batch mode, or a
// test's program text). Lines end at LF, CRLF or CR; a line end at the very end of the
// text does not start another line.
#pragma once

#include "lang/lexer.h"

#include <cstddef>
#include <vector>

struct TextLines {
    const char* text;             // the whole text, not owned; must outlive the source
    std::vector<size_t> starts;   // offset of each line in text
    std::vector<size_t> lengths;  // characters of each line, without its line end
};

// Splits text into lines and returns a source reading them. lines must outlive it.
LineSource lineSourceFromText(TextLines& lines, const char* text, size_t length);
