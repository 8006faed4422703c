// Helpers of the plot tests: a program compiled and analysed in this process, and the
// plots it describes.
#pragma once

#include <string>

#include "analysis/driver.h"
#include "lang/compiler.h"
#include "lang/linesource.h"
#include "lang/options.h"
#include "support/listing.h"
#include "testutil.h"

inline void discardScreenLine(const char*) {}

inline TextLines fixtureLines;          // lines of the program last analysed
inline std::string fixtureProgram;      // its text, which the lines point into

// Compiles and analyses text; true when the analysis produced results.
inline bool analyseProgram(const std::string& text)
{
    listingSetSink(discardScreenLine);
    driverRelease();
    compilerReleaseAll();
    settingsReset();
    listingClear();
    fixtureProgram = text;
    programPath = testTempDir() + "/prog.mxl";
    const LineSource source = lineSourceFromText(fixtureLines, fixtureProgram.c_str(), fixtureProgram.size());
    if (!compileProgram(&source))
        return false;
    driverStart();
    driverWait();
    analysisRunning.store(false);
    return analysis.analysisCompleted;
}

// The k-th plot description (0-based) of the last compile.
inline const PlotSpec* plotNumber(int k)
{
    const PlotSpec* spec = plotList;
    while (spec && k-- > 0)
        spec = spec->next;
    return spec;
}
