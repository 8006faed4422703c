// Built-in function library: the run-time definitions of every function of the table,
// and their compile-time evaluation for constant folding.
#pragma once

#include <cstdint>

struct ExprNode;

double callBuiltin(const ExprNode* call);
void builtinsReset();                  // restarts the random-number generator (each analysis)
void builtinsInstallFoldHook();        // plugs compile-time evaluation into the parser
