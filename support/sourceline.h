// One line of the program as the reader kept it. The listing's error reporters print
// it; the lexer keeps every line read on one list.
#pragma once

struct SourceLine {
    SourceLine* next;    // next line read, or null
    int lineNumber;      // 1-based line number in the program
    char* text;          // the line without its terminator
};
