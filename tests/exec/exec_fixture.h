// Hand-built symbols, expression trees and instruction code for the execution engine's
// tests, and access to what the engine wrote to the screen listing.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <initializer_list>
#include <string>
#include <vector>

#include "exec/builtins.h"
#include "exec/interpreter.h"
#include "exec/operators.h"
#include "lang/compiler.h"
#include "lang/data.h"
#include "lang/lexer.h"
#include "lang/linesource.h"
#include "lang/options.h"
#include "lang/parser.h"
#include "lang/symbols.h"
#include "support/allocator.h"
#include "support/listing.h"

// The run frame of one test and the engine's entry points on it. Slots are laid out as
// the test declares symbols, and the frame grows with them.
class FrameOwner {
protected:
    RunFrame* fitted()
    {
        symbolsLayout();
        runFrameFit(&frame);
        return &frame;
    }
    double operatorsEvaluate(const ExprNode* node) { return ::operatorsEvaluate(fitted(), node); }
    bool runObservation(int observation, const double* values, double* predicted, double* observed)
    {
        return ::runObservation(fitted(), observation, values, predicted, observed);
    }
    void runReset() { ::runReset(fitted()); }
    double& val(const Symbol* s) { return fitted()->values[s->slot]; }
    double* elem(const Symbol* s) { return fitted()->values + s->slot + 1; }   // array elements

    RunFrame frame{};
    bool& runFailed = frame.runFailed;
    bool& stopRequested = frame.stopRequested;
    bool& functionDone = frame.functionDone;
    double& predictedValue = frame.predictedValue;
    double& observedValue = frame.observedValue;
    const SourceLine*& currentLine = frame.currentLine;
};

// Owns everything one test builds; resets the engine's globals around each test.
class ExecFixture : public ::testing::Test, public FrameOwner {
protected:
    void SetUp() override
    {
        freeSymbols();
        dependentVariable = nullptr;
        observations = nullptr;
        observationCount = 0;
        settings.anglesInDegrees = false;
        runResetState();
        builtinsReset();
        listingClear();
        symbolPredicted = work("Predicted");
        symbolResidual = work("Residual");
        symbolObs = work("Obs");
    }

    void TearDown() override
    {
        runSetProgram(nullptr);
        runFrameRelease(&frame);
        freeSymbols();
        symbolPredicted = symbolResidual = symbolObs = nullptr;
        observations = nullptr;
        observationCount = 0;
        settings.anglesInDegrees = false;
        listingClear();
    }

    // ---- symbols ----
    // Symbols go into the table (and their kind's list) as declarations put them there.
    Symbol* symbol(const char* name, int kind, double value)
    {
        Symbol* s = defineSymbol(name, kind, nullptr);
        s->value = value;
        s->initialValue = value;
        return s;
    }
    Symbol* input(const char* name) { return symbol(name, SYM_INPUT, 0.0); }
    Symbol* parameter(const char* name, double value) { return symbol(name, SYM_PARAMETER, value); }
    Symbol* work(const char* name, double initial = 0.0) { return symbol(name, SYM_WORK, initial); }
    Symbol* array(const char* name, int d1, int d2 = 0, std::vector<double> initial = {})
    {
        Symbol* s = work(name);
        s->dimensions = d2 > 0 ? 2 : 1;
        s->dim1 = d1;
        s->dim2 = d2;
        s->elementCount = d2 > 0 ? d1 * d2 : d1;
        s->elements = (double*)memalloc_zero(sizeof(double) * (size_t)s->elementCount, "ary");
        if (!initial.empty()) {
            s->initialElements = memalloc_doubles(initial.size(), "aryinit");
            memcpy(s->initialElements, initial.data(), sizeof(double) * initial.size());
            s->initialCount = (int)initial.size();
        }
        return s;
    }

    // ---- trees ----
    ExprNode* node(int kind)
    {
        ExprNode& n = nodes.emplace_back();
        memset(&n, 0, sizeof n);
        n.kind = kind;
        return &n;
    }
    ExprNode* num(double v)
    {
        ExprNode* n = node(NODE_CONST);
        n->value = v;
        return n;
    }
    ExprNode* var(Symbol* s)
    {
        ExprNode* n = node(NODE_VAR);
        n->symbol = s;
        return n;
    }
    ExprNode* str(const char* text)
    {
        ExprNode* n = node(NODE_STRING);
        n->text = texts.emplace_back(text).data();
        return n;
    }
    ExprNode* bin(int kind, ExprNode* l, ExprNode* r)
    {
        ExprNode* n = node(kind);
        n->left = l;
        n->right = r;
        return n;
    }
    ExprNode* unary(int kind, ExprNode* r)
    {
        ExprNode* n = node(kind);
        n->right = r;
        return n;
    }
    ExprNode* cond(ExprNode* c, ExprNode* t, ExprNode* f)
    {
        ExprNode* n = bin(NODE_COND, t, f);
        n->condition = c;
        return n;
    }
    // =, +=, ... and ++/-- (value null): the target is marked written.
    ExprNode* assign(int kind, ExprNode* target, ExprNode* value)
    {
        target->nodeFlags |= NODEF_WRITTEN;
        return bin(kind, target, value);
    }
    ExprNode* element(Symbol* s, ExprNode* i, ExprNode* j = nullptr)
    {
        ExprNode* n = node(NODE_ELEMENT);
        n->symbol = s;
        n->right = j ? bin(NODE_COMMA, i, j) : i;
        return n;
    }
    ExprNode* call(int code, std::initializer_list<ExprNode*> args)
    {
        ExprNode* n = node(NODE_CALL);
        n->function = code;
        ExprNode** link = &n->firstArg;
        for (ExprNode* a : args) {
            *link = a;
            link = &a->nextArg;
        }
        return n;
    }
    ExprNode* callValues(int code, std::initializer_list<double> values)
    {
        ExprNode* n = call(code, {});
        ExprNode** link = &n->firstArg;
        for (double v : values) {
            ExprNode* a = num(v);
            *link = a;
            link = &a->nextArg;
        }
        return n;
    }

    // ---- code ----
    const SourceLine* line(int number, const char* text)
    {
        SourceLine& l = lines.emplace_back();
        l.next = nullptr;
        l.lineNumber = number;
        l.text = texts.emplace_back(text).data();
        return &l;
    }
    // Instructions are appended to one fixed block, so pointers into it stay valid.
    Instruction* emitAt(int opcode, void* operand1, void* operand2)
    {
        EXPECT_LT(codeUsed, (int)(sizeof code / sizeof code[0]));
        Instruction* ins = &code[codeUsed++];
        ins->opcode = opcode;
        ins->operand1 = operand1;
        ins->operand2 = operand2;
        return ins;
    }
    void useProgram() { runSetProgram(&code[0]); }

    // ---- output ----
    std::vector<std::string> screen()
    {
        std::vector<std::string> out;
        for (ListingLine* l = listingHead(); l; l = l->next)
            out.push_back(l->text);
        return out;
    }
    std::string screenText()
    {
        std::string all;
        for (const std::string& s : screen())
            all += s + "\n";
        return all;
    }

    std::deque<ExprNode> nodes;
    std::deque<SourceLine> lines;
    std::deque<std::string> texts;
    std::deque<std::vector<double>> doubles;
    Instruction code[256] = {};
    int codeUsed = 0;
};

// Compiles whole programs with the real front end and runs them through runObservation.
class ProgramFixture : public ::testing::Test, public FrameOwner {
protected:
    void SetUp() override
    {
        builtinsInstallFoldHook();
        runResetState();
        builtinsReset();
    }
    void TearDown() override
    {
        runFrameRelease(&frame);
        compilerReleaseAll();
        settingsReset();
        listingClear();
        exprSetFoldHook(nullptr);
    }

    // Compiles text; returns the entry (null after compile errors). The screen listing
    // holds the compile messages afterwards.
    Instruction* compile(const std::string& program)
    {
        runFrameRelease(&frame);
        compilerReleaseAll();
        settingsReset();
        listingClear();
        text = program;
        LineSource source = lineSourceFromText(lines, text.data(), text.size());
        return compileProgram(&source);
    }
    // The value of name in the run frame.
    double& valueOf(const char* name)
    {
        Symbol* s = findSymbol(name);
        EXPECT_NE(s, nullptr) << name;
        static double missing = 0;
        return s ? val(s) : missing;
    }
    // A parameter's value, which the next runReset puts into the frame.
    void setParameter(const char* name, double value)
    {
        Symbol* s = findSymbol(name);
        ASSERT_NE(s, nullptr) << name;
        s->value = value;
    }
    std::vector<std::string> screen()
    {
        std::vector<std::string> out;
        for (ListingLine* l = listingHead(); l; l = l->next)
            out.push_back(l->text);
        return out;
    }

    TextLines lines;
    std::string text;
};
