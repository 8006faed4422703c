// A whole batch run of a program and its data file, taken from the input (see
// fuzz_batchrun.h). The screen listing on standard output is silenced.
#include "fuzz_batchrun.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzzSilenceStdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzzBatchRun(std::string(reinterpret_cast<const char*>(data), size), false);
    return 0;
}
