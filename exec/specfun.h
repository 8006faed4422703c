// Special mathematical functions: gamma and log-gamma, Chebyshev polynomials, incomplete
// gamma and error function, incomplete beta, elliptic integrals, the t and F distribution
// probabilities, the inverse t probability and the inverse normal distribution.
//
// Failure reporting. A routine that can fail takes an optional SpecfunStatus pointer:
// - null (the run-time built-ins): the routine reports its message itself, through
//   runtimeError (ndtri: to standard output), and still finishes its arithmetic;
// - non-null (constant folding, the listing): the routine writes nothing, sets
//   status->code to SPECFUN_OK or the first failure met and status->value to the
//   number the message names, and returns the same value as in the first mode.
// specfunMessage gives the message text of a code; specfunReport sends it through
// runtimeError, so a caller can defer the report.
#pragma once

enum SpecfunCode {
    SPECFUN_OK = 0,
    SPECFUN_GAMMP_ARGUMENT,   // incompleteGammaP: x < 0 or a <= 0
    SPECFUN_GSER_LIMIT,       // incompleteGammaP: series did not converge in 400 terms
    SPECFUN_GCF_LIMIT,        // incompleteGammaP: continued fraction did not converge in 400 rounds
    SPECFUN_EI1_ARGUMENT,     // ellipticF: 1 - sin^2(alpha) < 0; value = 1 - sin^2(alpha)
    SPECFUN_EI2_ARGUMENT,     // ellipticE: 1 - sin^2(alpha) < 0; value = 1 - sin^2(alpha)
    SPECFUN_EIC1_ARGUMENT,    // ellipticK: 1 - sin^2(alpha) <= 0; value = 1 - sin^2(alpha)
    SPECFUN_EIC2_ARGUMENT,    // ellipticEc: 1 - sin^2(alpha) < 0; value = 1 - sin^2(alpha)
    SPECFUN_NDTRI_DOMAIN,     // ndtri: y <= 0 or y >= 1; value = y
};

struct SpecfunStatus {
    int code;       // SpecfunCode: SPECFUN_OK, or the first failure met
    double value;   // the number the failure message names (0 when it names none)
};

// Error words of the mathematics error writer that ndtri uses, by code.
enum MathErrorCode {
    MATHERR_UNKNOWN = 0, MATHERR_DOMAIN = 1, MATHERR_SING = 2, MATHERR_OVERFLOW = 3,
    MATHERR_UNDERFLOW = 4, MATHERR_TLOSS = 5, MATHERR_PLOSS = 6,
};

// 1/Gamma(x). Callers keep x within -4...170; larger x gives 0 (1/Gamma underflows).
double reciprocalGamma(double x);
// ln Gamma(x) for x > 0 (Lanczos, about 1e-10 relative).
double logGamma(double x);
// Chebyshev polynomial of the first kind T_n(x), n >= 0 (negative n gives 1).
double chebyshevT(long n, double x);
// Regularised lower incomplete gamma P(a, x); x >= 0, a > 0.
double incompleteGammaP(double a, double x, SpecfunStatus* status = nullptr);
// Error function: P(1/2, x^2) with the sign of x.
double errorFunction(double x, SpecfunStatus* status = nullptr);
// Standard normal cumulative probability (erf(x / sqrt 2) + 1) / 2.
double normalArea(double x, SpecfunStatus* status = nullptr);
// Regularised incomplete beta I_x(a, b); -1 when x is outside 0...1 (no message).
double incompleteBeta(double a, double b, double x);

// Elliptic integrals. alpha is the modular angle (modulus k = sin alpha), phi the
// amplitude; both in degrees when degreesAlways is set (the D variants) or ANGLETYPE
// DEGREES is in force (settings.anglesInDegrees), else in radians.
double ellipticF(double alpha, double phi, bool degreesAlways, SpecfunStatus* status = nullptr);
double ellipticE(double alpha, double phi, bool degreesAlways, SpecfunStatus* status = nullptr);
double ellipticK(double alpha, bool degreesAlways, SpecfunStatus* status = nullptr);
double ellipticEc(double alpha, bool degreesAlways, SpecfunStatus* status = nullptr);

// P(T <= |t|) for Student's t with df degrees of freedom: 1 - I_{df/(df+t^2)}(df/2, 1/2)/2.
double studentTProbability(double t, double df);
// Upper-tail probability of F with df1, df2 degrees of freedom: I_{df2/(df2+df1*F)}(df2/2, df1/2).
double fProbability(double f, double df1, double df2);
// t >= 0 with studentTProbability(t, df) = p, by bisection to 1e-4 (0 for p <= 0.5,
// +infinity for p >= 1).
double inverseStudentT(double p, double df);
// x with Phi(x) = y, the inverse standard normal distribution; y outside (0, 1) gives
// -DBL_MAX (y <= 0) or +DBL_MAX (y >= 1) and a domain error.
double ndtri(double y, SpecfunStatus* status = nullptr);

// Message format of a code (printf form; the elliptic ones take status->value); "" for OK.
const char* specfunMessage(int code);
// Reports status through runtimeError on runReportFrame, the frame of the built-in call
// being computed (nothing for SPECFUN_OK or without a frame; ndtri's goes to stdout).
void specfunReport(const SpecfunStatus& status);
// The global error word: the code of the last mathematics error written (ndtri).
int specfunMathError();
