// The declaration statements, which fill the symbol table, and the removal of the
// parameters a program never uses.
#pragma once

// Declaration statements, called after their keyword has been read.
void compileVariables();
void compileParameters();
void compileDouble();
void compileConstant();

// Drops the parameters no expression references (and their SWEEP entries), moves every
// start value into its bounds, and reports a program left without parameters.
void eliminateUnusedParameters();
