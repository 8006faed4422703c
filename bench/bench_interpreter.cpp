// Interpreter speed: the model a*exp(-b*x) + c*sin(d*x) evaluated over 1,000,000
// observations through runObservation, beside the same model as a plain C++ loop.
// The goal is an interpreter time per observation at most 3 times the loop's. Then what
// one iteration of a fit evaluates: a new point and its four forward-difference columns,
// on both cores, with and without the block form's kept values.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <deque>
#include <vector>

#include "analysis/driver.h"
#include "exec/block.h"
#include "exec/builtins.h"
#include "exec/interpreter.h"
#include "lang/compiler.h"
#include "lang/data.h"
#include "lang/lexer.h"
#include "lang/options.h"
#include "lang/parser.h"
#include "lang/symbols.h"

namespace {

constexpr int OBSERVATIONS = 1000000;
constexpr double A = 2.5, B = 0.3, C = 0.7, D = 1.9;

// The program FUNCTION y = a*exp(-b*x) + c*sin(d*x); built as the compiler builds it.
struct ModelProgram {
    std::deque<ExprNode> nodes;
    std::vector<double> data;
    Instruction code[3];
    SourceLine line;
    char text[64] = "FUNCTION y = a*exp(-b*x) + c*sin(d*x);";

    Symbol* symbol(const char* name, int kind, double value)
    {
        Symbol* s = defineSymbol(name, kind, nullptr);
        s->value = s->initialValue = value;
        return s;
    }
    ExprNode* node(int kind, ExprNode* left = nullptr, ExprNode* right = nullptr)
    {
        ExprNode& n = nodes.emplace_back();
        memset(&n, 0, sizeof n);
        n.kind = kind;
        n.left = left;
        n.right = right;
        return &n;
    }
    ExprNode* var(Symbol* s)
    {
        ExprNode* n = node(NODE_VAR);
        n->symbol = s;
        return n;
    }
    ExprNode* call(int code, ExprNode* arg)
    {
        ExprNode* n = node(NODE_CALL);
        n->function = code;
        n->firstArg = arg;
        return n;
    }

    ModelProgram()
    {
        settings.anglesInDegrees = false;
        Symbol* x = symbol("x", SYM_INPUT, 0);
        Symbol* y = symbol("y", SYM_INPUT, 0);
        Symbol* a = symbol("a", SYM_PARAMETER, A);
        Symbol* b = symbol("b", SYM_PARAMETER, B);
        Symbol* c = symbol("c", SYM_PARAMETER, C);
        Symbol* d = symbol("d", SYM_PARAMETER, D);
        symbolPredicted = symbol("Predicted", SYM_WORK, 0);
        symbolResidual = symbol("Residual", SYM_WORK, 0);
        symbolObs = symbol("Obs", SYM_WORK, 0);
        dependentVariable = y;

        // a*exp(-b*x): unary minus binds to b alone.
        ExprNode* decay = node(NODE_MUL, var(a),
                               call(FN_EXP, node(NODE_MUL, node(NODE_NEG, nullptr, var(b)), var(x))));
        ExprNode* wave = node(NODE_MUL, var(c), call(FN_SIN, node(NODE_MUL, var(d), var(x))));
        line.next = nullptr;
        line.lineNumber = 5;
        line.text = text;
        code[0] = {OP_LINE, &line, nullptr};
        code[1] = {OP_FUNCTION, y, node(NODE_ADD, decay, wave)};
        code[2] = {OP_STOP, nullptr, nullptr};
        runSetProgram(code);

        data.resize(2 * (size_t)OBSERVATIONS);
        for (int i = 0; i < OBSERVATIONS; i++) {
            double xv = 10.0 * i / OBSERVATIONS;
            data[2 * i] = xv;
            data[2 * i + 1] = A * std::exp(-B * xv) + C * std::sin(D * xv) + 0.01 * ((i % 7) - 3);
        }
        observations = data.data();
        observationCount = OBSERVATIONS;
    }
};

ModelProgram& model()
{
    static ModelProgram program;
    return program;
}

// Sum of squared residuals over all observations, as a residual evaluation needs.
void BM_InterpreterModel(benchmark::State& state)
{
    model();
    symbolsLayout();
    RunFrame frame{};
    runReset(&frame);
    for (auto _ : state) {
        double ss = 0.0;
        for (int i = 0; i < OBSERVATIONS; i++) {
            double predicted, observed;
            if (!runObservation(&frame, i, nullptr, &predicted, &observed))
                state.SkipWithError("evaluation failed");
            double r = observed - predicted;
            ss += r * r;
        }
        benchmark::DoNotOptimize(ss);
    }
    runFrameRelease(&frame);
    state.SetItemsProcessed(state.iterations() * OBSERVATIONS);
}
BENCHMARK(BM_InterpreterModel)->Unit(benchmark::kMillisecond);

// The same sum by the block evaluation, BLOCK_ROWS observations at a time.
void BM_BlockModel(benchmark::State& state)
{
    model();
    symbolsLayout();
    RunFrame frame{};
    runReset(&frame);
    if (!blockPrepare(runProgram()))
        state.SkipWithError("no block form");
    std::vector<double> r(BLOCK_ROWS);
    for (auto _ : state) {
        double ss = 0.0;
        for (int first = 0; first < OBSERVATIONS; first += BLOCK_ROWS) {
            const int count = OBSERVATIONS - first < BLOCK_ROWS ? OBSERVATIONS - first : BLOCK_ROWS;
            if (blockResiduals(&frame, first, count, r.data()) != BLOCK_OK)
                state.SkipWithError("evaluation failed");
            for (int i = 0; i < count; i++)
                ss += r[i] * r[i];
        }
        benchmark::DoNotOptimize(ss);
    }
    blockRelease();
    runFrameRelease(&frame);
    state.SetItemsProcessed(state.iterations() * OBSERVATIONS);
}
BENCHMARK(BM_BlockModel)->Unit(benchmark::kMillisecond);

void BM_NativeModel(benchmark::State& state)
{
    const ModelProgram& program = model();
    const double* data = program.data.data();
    // Read through volatile so that the parameters are not folded into the loop, as
    // they cannot be in a fit.
    volatile double parameters[4] = {A, B, C, D};
    double a = parameters[0], b = parameters[1], c = parameters[2], d = parameters[3];
    for (auto _ : state) {
        double ss = 0.0;
        for (int i = 0; i < OBSERVATIONS; i++) {
            double x = data[2 * i];
            double predicted = a * std::exp(-b * x) + c * std::sin(d * x);
            double r = data[2 * i + 1] - predicted;
            ss += r * r;
        }
        benchmark::DoNotOptimize(ss);
    }
    state.SetItemsProcessed(state.iterations() * OBSERVATIONS);
}
BENCHMARK(BM_NativeModel)->Unit(benchmark::kMillisecond);

// A new point (every parameter moved) and its p forward-difference columns, each
// evaluation on both cores. Argument 1: on the analysis frame, whose evaluations keep
// the values of exp(-b*x) and sin(d*x) for the columns that do not move b or d;
// argument 0: on a frame of its own, which keeps nothing.
void BM_JacobianColumns(benchmark::State& state)
{
    model();
    symbolsLayout();
    RunFrame own{};
    RunFrame* frame = state.range(0) ? driverFrame() : &own;
    if (!blockPrepare(runProgram()))
        state.SkipWithError("no block form");
    std::vector<double> r((size_t)OBSERVATIONS);
    double point[4];
    int step = 0;
    for (auto _ : state) {
        const double base[4] = {A, B, C, D};
        for (int j = 0; j < 4; j++)
            point[j] = base[j] * (1.0 + 1e-3 * (step % 7));
        step++;
        int nf = 1;
        driverResiduals(frame, OBSERVATIONS, 4, point, &nf, r.data());
        for (int k = 0; k < 4; k++) {
            const double kept = point[k];
            point[k] = kept * (1.0 + 1e-7);
            driverResiduals(frame, OBSERVATIONS, 4, point, &nf, r.data());
            point[k] = kept;
        }
        if (nf != 1)
            state.SkipWithError("evaluation failed");
    }
    blockRelease();
    runFrameRelease(&own);
    state.SetItemsProcessed(state.iterations() * 5 * (long)OBSERVATIONS);
}
BENCHMARK(BM_JacobianColumns)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
