// The WEIGHT and DERIVED statements: the weight of each observation in the least-squares
// sum, and quantities computed from the parameters whose standard errors the analysis
// propagates. Neither word is reserved: each is a statement only where a statement
// begins with it and what follows can only be that statement.
#pragma once

struct ExprNode;
struct SourceLine;
struct Token;

constexpr int MAX_DERIVED = 100;    // DERIVED statements of one program

struct DerivedQuantity {
    char name[32];                  // as written, at most 30 significant characters
    ExprNode* tree;                 // expression in parameters, constants and built-ins
    const SourceLine* line;         // the statement's line, for run-time messages
};

struct UncertaintyState {
    ExprNode* weightTree;           // WEIGHT expression, or null when the fit is unweighted
    bool weightAbsolute;            // WEIGHT ABSOLUTE: weights are 1/sigma^2 of known errors
    const SourceLine* weightLine;   // line of the WEIGHT statement
    DerivedQuantity derived[MAX_DERIVED];   // in statement order
    int derivedCount;               // entries of derived
    bool profile;                   // PROFILE: profile-likelihood intervals after the fit
};

extern UncertaintyState uncertainty;

void uncertaintyReset();    // before each compile; the trees belong to the node list

// True when token, the first of a statement, begins a WEIGHT, DERIVED or PROFILE statement and
// that statement was compiled (token is then freed); false leaves token untouched.
// nested: the statement stands inside a block or a control statement, where neither
// belongs (they describe the fit, not a step of the program).
bool uncertaintyCompileStatement(Token* token, bool nested);
