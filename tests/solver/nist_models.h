// NIST StRD nonlinear regression problems for the solver tests: the 27 models coded in
// C++ and a reader for the .dat files (start values, certified values, data).
#pragma once

#include <string>
#include <vector>

struct NistProblem {
    std::string name;                   // file name without .dat
    int p = 0;                          // parameters
    std::vector<double> start1;         // first starting point
    std::vector<double> start2;         // second starting point
    std::vector<double> certified;      // certified parameter values
    std::vector<double> certifiedSe;    // certified standard deviations of the parameters
    double certifiedSs = 0.0;           // certified residual sum of squares
    std::vector<double> y;              // response
    std::vector<double> x1;             // first predictor
    std::vector<double> x2;             // second predictor (Nelson only)
    // model value at observation i for parameters b; Nelson models log(y)
    double (*model)(const double* b, double x1, double x2) = nullptr;
    bool logResponse = false;           // Nelson: the observed value is log(y)
};

// The names of the 27 problems in the order of the tests.
const std::vector<std::string>& nistProblemNames();

// Reads folder/name.dat; false (with the problem unchanged) on a missing or bad file.
bool nistLoad(const std::string& folder, const std::string& name, NistProblem& problem);

// Residual routine for the solver: r_i = model - observed. context is a NistProblem.
void nistResiduals(int n, int p, const double* x, int* nf, double* r, void* context);

// Log relative error of an estimate, capped at 11 digits (0 for a non-finite value).
double nistDigits(double estimate, double certified);
