// Compiler: the whole front end (declarations, expressions, statements, options, inline
// data) on arbitrary program text, then the release of everything it built.
#include "fuzz_common.h"

#include "exec/builtins.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzText input(data, size);
    if (fuzzNamesLeaveFolder(input.text)) return 0;
    fuzzResetRun();
    builtinsInstallFoldHook();
    compileProgram(&input.source);
    memcheck_all();
    compilerReleaseAll();
    lexerReset(nullptr);
    return 0;
}
