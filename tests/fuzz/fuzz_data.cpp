// Data reader: arbitrary bytes as the data file of a fixed program with two input
// variables, DATASKIP and DATACOUNT set.
#include "fuzz_common.h"

#include "lang/data.h"

namespace {

const char PROGRAM[] =
    "VARIABLES y, x;\n"
    "PARAMETERS a = 1, b = 1;\n"
    "DATASKIP 1;\n"
    "DATACOUNT 3;\n"
    "FUNCTION y = a + b * x;\n"
    "DATA \"fuzz.dat\"\n";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string path = fuzzFolder() + "/fuzz.dat";
    FILE* file = fopen(path.c_str(), "wb");
    if (!file) return 0;
    fwrite(data, 1, size, file);
    fclose(file);
    fuzzResetRun();
    FuzzText program(reinterpret_cast<const uint8_t*>(PROGRAM), sizeof PROGRAM - 1);
    compileProgram(&program.source);
    memcheck_all();
    compilerReleaseAll();
    lexerReset(nullptr);
    return 0;
}
