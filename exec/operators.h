// Expression evaluator: operators, assignment, increments and array addressing.
#pragma once

struct ExprNode;
struct RunFrame;

double operatorsEvaluate(RunFrame* frame, const ExprNode* node);
double* elementAddress(RunFrame* frame, const ExprNode* node);
