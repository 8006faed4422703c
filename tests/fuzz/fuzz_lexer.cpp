// Lexer: every token of arbitrary program text, until the end of the input or a fatal
// lexical error.
#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzzResetRun();
    FuzzText input(data, size);
    lexerReset(&input.source);
    for (int count = 0; count < 1000000; ++count) {
        Token* token = nextToken();
        if (!token || token->kind == TOK_END || lexerFatalError()) break;
    }
    freeAllTokens();
    lexerReset(nullptr);
    return 0;
}
