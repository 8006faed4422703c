// Shared pieces of the fuzz targets: a line source over the fuzzer's bytes, the resets
// a Run makes before compiling, and a scratch folder for the files a target writes.
#pragma once

#include "lang/compiler.h"
#include "lang/lexer.h"
#include "lang/linesource.h"
#include "lang/options.h"
#include "support/allocator.h"
#include "support/listing.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

// The input as a NUL-terminated text (the compiler's line source reads C strings) and a
// line source over it.
struct FuzzText {
    std::string text;
    TextLines lines;
    LineSource source;
    FuzzText(const uint8_t* data, size_t size) : text(reinterpret_cast<const char*>(data), size)
    {
        source = lineSourceFromText(lines, text.c_str(), text.size());
    }
};

// Error boxes and screen lines go nowhere: the targets look for crashes, not texts.
inline void fuzzQuiet(const char*) {}

// A private scratch folder, made once per process.
inline const std::string& fuzzFolder()
{
    static std::string folder = [] {
        char pattern[] = "/tmp/moxel-fuzz-XXXXXX";
        const char* made = mkdtemp(pattern);
        if (!made) abort();
        return std::string(made);
    }();
    return folder;
}

// The state a new Run starts from.
inline void fuzzResetRun()
{
    errorBoxSetHandler(fuzzQuiet);
    listingSetSink(fuzzQuiet);
    compilerReleaseAll();
    settingsReset();
    listingClear();
    compileErrorReset();
    memResetFailure();
    programPath = fuzzFolder() + "/fuzz.mxl";
}

// True when a quoted name in the text could leave the scratch folder (a path with a
// folder separator): such inputs are skipped, so that no target writes or reads outside it.
inline bool fuzzNamesLeaveFolder(const std::string& text)
{
    bool quoted = false;
    for (char c : text) {
        if (c == '"') quoted = !quoted;
        else if (c == '\n' || c == '\r') quoted = false;
        else if (quoted && (c == '/' || c == '\\')) return true;
    }
    return false;
}
