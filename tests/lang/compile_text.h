// Compiling a program held in a string as the Run command does, for the front end's
// whole-program tests.
#pragma once

#include "lang/compiler.h"
#include "lang/data.h"
#include "lang/lexer.h"
#include "lang/options.h"
#include "support/allocator.h"
#include "support/listing.h"
#include "testutil.h"

#include <cstdio>
#include <string>
#include <vector>

// The lines of a program, served to the compiler one at a time.
struct TextSource {
    std::vector<std::string> lines;   // program lines without their terminators
    static void copy(void* context, int index, char* buffer, int size)
    {
        const auto* self = static_cast<const TextSource*>(context);
        snprintf(buffer, size, "%s", self->lines[index].c_str());
    }
};

// Compiles text after the resets of a new Run, with the program file in folder; false
// after compile errors.
inline bool compileTextIn(const std::string& text, const std::string& folder)
{
    compilerReleaseAll();
    settingsReset();
    listingClear();
    compileErrorReset();
    memResetFailure();
    programPath = folder + "/prog.mxl";
    TextSource text_source{splitLines(text)};
    LineSource source{static_cast<int>(text_source.lines.size()), TextSource::copy, &text_source};
    return compileProgram(&source) != nullptr;
}
