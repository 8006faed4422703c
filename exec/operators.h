// Expression evaluator: operators, assignment, increments and array addressing.
#pragma once

struct ExprNode;
struct RunFrame;

double operatorsEvaluate(RunFrame* frame, const ExprNode* node);
double* elementAddress(RunFrame* frame, const ExprNode* node);
// L ** R with the whole-exponent rules tried before pow, as the ** operator computes it.
double operatorsPower(RunFrame* frame, double l, double r);
