// Expression evaluator: operators, assignment, increments and array addressing.
#pragma once

struct ExprNode;

double evaluate(const ExprNode* node);
double* elementAddress(const ExprNode* node);
