// Analysis driver: the state of one analysis, the worker thread that fits the model
// (once, or once per point of a SWEEP grid), the solver's residual routine and
// progress hook, and the final evaluation pass that collects what the writers need.
#pragma once

struct ProfileLimits;

#include <atomic>

#include "analysis/covariance.h"
#include "analysis/results.h"

// The results of the last analysis. Written by the worker; read by the listing, the
// output files, the views and the plots once the run has ended.
struct AnalysisState {
    double* predicted;          // n predicted values at the final parameters ("comp")
    double* observed;           // n observed values at the final parameters ("comp")
    double* covariance;         // p x p, row-major; all zero when not available ("comp")
    double* weights;            // n weights at the final parameters in a weighted fit, else null ("comp")
    double* initialGuess;       // p starting values of the final solve: the initial guesses, with the
                                // best grid values for swept parameters ("comp")
    int* solverInts;            // solver integer workspace, live during the solves only
    double* solverReals;        // solver real workspace, live during the solves only
    int allocatedRows;          // n the arrays above were made for
    int allocatedParameters;    // p the arrays above were made for
    int iterationCount;         // iterations of the last solve (1 before any)
    double finalSumSquares;     // sum of squared residuals at the end of the last solve
    int stopCode;               // StopCode of the analysis
    double startTime;           // local moment at the start, seconds
    CovarianceState covarianceState;    // this analysis's covariance request, from the settings, and its outcome
    CollectedColumns collected; // the OUTPUT and CORRELATE variables the program computes, by the final pass
    long residualEvaluations;   // residual vectors asked for by the solves of this analysis
    bool analysisCompleted;     // the run ended with a usable result
    bool residualsComputed;     // the final pass computed every row of predicted and observed (false
                                // after a Cancel before any point was computed, or during the pass)
    bool boundsInactive;        // the last fit had bounds, none active at its solution: its covariance is
                                // that of the fit without bounds
    ProfileLimits* profile;     // p profile limits when PROFILE was asked and found, else null ("comp")
    double profileLevel;        // the confidence level of those limits
};

extern AnalysisState analysis;

// Progress values: written by the worker, polled by the progress display.
extern std::atomic<bool> analysisRunning;       // set from driverStart to the end-of-run handling
extern std::atomic<int> progressIteration;      // iteration last reported by the solver
extern std::atomic<double> progressSumSquares;  // sum of squares last reported
extern std::atomic<int> progressSweepStep;      // 1-based sweep point
extern std::atomic<bool> progressChanged;       // new values are there

// Called on the worker thread as its last act (the GUI posts a queued call from it).
typedef void (*AnalysisEndHandler)(int stopCode);
void driverSetEndHandler(AnalysisEndHandler handler);

int driverStart();            // nonzero when the worker thread was started
void driverWait();            // joins the worker started by driverStart
int driverRun();              // the worker's body; returns the stop code
int driverSolve();               // one solve from the parameters' current values
// Residuals predicted - observed at the parameters x, evaluated in frame.
struct RunFrame;
void driverResiduals(RunFrame* frame, int n, int p, const double* x, int* nf, double* r);
// The frame of the analysis worker, in which the final pass runs the program.
RunFrame* driverFrame();
void driverProgress(int iteration, double objective);
bool driverStopCodeUsable(int code);          // proper convergence (3 to 6)
// The analysis's StopCode for a solver return code (IV(1) after a solve).
int driverStopCode(int solverReturn);

// Moves the SWEEP odometer (current[e]: grid position of entry e) to its next grid
// point, the last entry turning fastest; false when the first entry wrapped and the
// grid is exhausted.
struct SweepEntry;
bool driverSweepAdvance(int* current, const SweepEntry* sweeps, int count);
// Points of the SWEEP grid of the settings (0 without SWEEP), LONG_MAX beyond that.
long driverSweepPoints();

void driverRelease();         // frees the result arrays; the next Run calls it
