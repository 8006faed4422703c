// Built-in function library: the run-time definitions of every function of the table,
// and their compile-time evaluation for constant folding.
#pragma once

#include <cstdint>

#include "lang/functable.h"

struct ExprNode;
struct RunFrame;

double callBuiltin(RunFrame* frame, const ExprNode* call);
// The function of call applied to argument values already computed (count of them, at
// least 4 readable, the missing ones 0), with its checks and messages.
double builtinApply(RunFrame* frame, const ExprNode* call, const double* args, int count);
void builtinsReset();                  // restarts the random-number generator (each Run)
                                       // (each analysis; a new thread starts afresh anyway)
void builtinsInstallFoldHook();        // plugs compile-time evaluation into the parser

constexpr int BUILTIN_MAX_ARGS = 30;   // argument values one call may pass
constexpr int PRINTF_VALUES = 10;      // values PRINTF formats after its format string

// Compile-time evaluation of a call whose arguments are all constants, under the angle
// mode then in force. Returns false when the call must stay a call; on an argument error
// it reports the compile error at line and sets *value to 0. (The parser reaches it
// through the hook that builtinsInstallFoldHook installs.)
struct SourceLine;
bool builtinsFold(int function, const double* args, int argCount, const SourceLine* line,
                  double* value);
