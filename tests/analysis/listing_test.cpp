// The Final Results section end to end, through build/moxel -run: golden text for
// regression, function minimisation, constrained, swept, aborted, failed and
// iteration-limited runs, in the listing file and on standard output.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <regex>
#include <string>
#include <sys/wait.h>

#include "testutil.h"

namespace {

const std::string STAMP = "Analysis completed STAMP.  Runtime = T seconds.";

// The Final Results section of a listing, with the completion stamp's clock and
// runtime replaced so the text can be compared.
std::string finalResults(const std::string& listing)
{
    const size_t at = listing.find("\n\n   ----  Final Results  ----");
    if (at == std::string::npos)
        return "";
    const std::regex stamp("Analysis completed [ 0-9]{2}-[A-Z][a-z]{2}-[0-9]{4} [0-9]{2}:[0-9]{2}\\.  "
                           "Runtime = [0-9]+\\.[0-9]{2} seconds\\.");
    return std::regex_replace(listing.substr(at), stamp, STAMP);
}

bool stampIsWellFormed(const std::string& listing)
{
    const std::regex stamp("\nAnalysis completed [ 1-3][0-9]-(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec)-"
                           "20[0-9]{2} [0-2][0-9]:[0-5][0-9]\\.  Runtime = [0-9]+\\.[0-9]{2} seconds\\.\n");
    return std::regex_search(listing, stamp);
}

// Standard output from the heading on, with the same stamp replacement.
std::string screenResults(const std::string& out)
{
    const size_t at = out.find("   ----  Final Results  ----");
    if (at == std::string::npos)
        return "";
    return std::regex_replace(out.substr(at), std::regex("Analysis completed .*seconds\\."), STAMP);
}

// The lines of text that are not empty, each with its line break.
std::string withoutBlankLines(const std::string& text)
{
    std::string kept;
    for (const std::string& line : splitLines(text))
        if (!line.empty())
            kept += line + "\n";
    return kept;
}

// Runs build/moxel -run name in folder and sends it Ctrl+C (SIGINT) after a second; the
// exit status, or -1 when the program did not exit by itself.
int runInterrupted(const std::string& folder, const std::string& name)
{
    const std::string command = "cd '" + folder + "' && XDG_CONFIG_HOME='" + folder +
                                "/config' timeout --preserve-status -s INT 1 '" MOXEL_BINARY
                                "' -run " + name + " >out.txt 2>err.txt </dev/null";
    const int raw = std::system(command.c_str());
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

struct GoldenCase {
    const char* name;       // test row
    const char* program;    // program text
    int status;             // expected exit status
    const char* results;    // expected Final Results section of the listing file
};

// regression with CORRELATE (a work variable among them), CONFIDENCE and COVARIANCE
const char REG_PROGRAM[] =
    "TITLE \"Decay\";\n"
    "VARIABLES t, y;\n"
    "PARAMETERS a = 10, k = 0.1;\n"
    "DOUBLE r2;\n"
    "r2 = t * t;\n"
    "FUNCTION y = a * exp(-k * t);\n"
    "CONFIDENCE 95;\n"
    "COVARIANCE;\n"
    "CORRELATE t, y, r2;\n"
    "DATA;\n"
    "0 10.1\n"
    "1 8.9\n"
    "2 8.2\n"
    "3 7.4\n"
    "4 6.7\n"
    "5 6.1\n"
    "6 5.4\n"
    "7 5.0\n";

const char REG_RESULTS[] =
    "\n"
    "\n"
    "   ----  Final Results  ----\n"
    "\n"
    "MOXEL version 5.3\n"
    "\n"
    "Decay\n"
    "Number of observations = 8\n"
    "Maximum allowed number of iterations = 500\n"
    "Convergence tolerance factor = 1.000000E-10\n"
    "Stopped due to: Both parameter and relative function convergence.\n"
    "Number of iterations performed = 3\n"
    "Final sum of squared deviations =  4.1479758E-02\n"
    "Final sum of deviations =  3.3983320E-03\n"
    "Standard error of estimate = 0.0831462\n"
    "Average deviation = 0.0553352\n"
    "Maximum deviation for any observation = 0.146343\n"
    "Proportion of variance explained (R^2) = 0.9981  (99.81%)\n"
    "Adjusted coefficient of multiple determination (Ra^2) = 0.9978  (99.78%)\n"
    "Durbin-Watson test for autocorrelation = 2.856\n"
    "Log-likelihood = 9.6964568, AIC = -13.3929136, AICc = -7.3929136, BIC = -13.154589 (normal errors, k = 3)\n"
    "Analysis completed STAMP.  Runtime = T seconds.\n"
    "\n"
    "\n"
    "             ----  Descriptive Statistics for Variables  ----\n"
    "\n"
    " Variable    Minimum value   Maximum value    Mean value     Standard dev.\n"
    "----------  --------------  --------------  --------------  --------------\n"
    "         t               0               7             3.5         2.44949\n"
    "         y               5            10.1           7.225        1.767767\n"
    "\n"
    "\n"
    "           ----  Correlation Matrix  ----\n"
    "\n"
    " Variable         t           y          r2      \n"
    "----------   ----------  ----------  ----------\n"
    "         t:     1.000      -0.993       0.962  \n"
    "         y:    -0.993       1.000      -0.925  \n"
    "        r2:     0.962      -0.925       1.000  \n"
    "\n"
    "\n"
    "                   ----  Calculated Parameter Values  ----\n"
    "\n"
    " Parameter  Initial guess   Final estimate   Standard error      t      Prob(t)\n"
    "----------  -------------  ----------------  --------------  ---------  -------\n"
    "         a             10         10.002713      0.06067183     164.87  0.00001\n"
    "         k            0.1         0.1004958     0.001844216      54.49  0.00001\n"
    "\n"
    "\n"
    "                  ----  Analysis of Variance  ----\n"
    "\n"
    "  Source     DF   Sum of Squares    Mean Square    F value   Prob(F)\n"
    "----------  ----  --------------  --------------  ---------  -------\n"
    "Regression     1        21.83352        21.83352    3158.19  0.00001\n"
    "Error          6      0.04147976     0.006913293\n"
    "Total          7          21.875\n"
    "\n"
    "\n"
    "         ----  95.000% Confidence Intervals  ----\n"
    "\n"
    " Parameter     Lower limit      Best estimate      Upper limit\n"
    "----------  ----------------  ----------------  ----------------\n"
    "         a        9.85425327         10.002713        10.1511727\n"
    "         k      0.0959831321         0.1004958       0.105008468\n"
    "\n"
    "\n"
    "           ----  Variance-Covariance Matrix  ----\n"
    "\n"
    " Parameter          a              k     \n"
    "----------   -------------  -------------\n"
    "         a:      0.0036811     8.4653E-05\n"
    "         k:     8.4653E-05     3.4011E-06\n"
    "\n";

// function minimisation: |F| is minimised; no regression statistics
const char MIN_PROGRAM[] =
    "PARAMETERS x1 = -1.2, x2 = 1;\n"
    "FUNCTION 100 * (x2 - x1 * x1) ^ 2 + (1 - x1) ^ 2 - 3;\n";

const char MIN_RESULTS[] =
    "\n"
    "\n"
    "   ----  Final Results  ----\n"
    "\n"
    "MOXEL version 5.3\n"
    "\n"
    "Maximum allowed number of iterations = 500\n"
    "Convergence tolerance factor = 1.000000E-10\n"
    "Stopped due to: Parameter convergence.\n"
    "Number of iterations performed = 14\n"
    "Final function value = -1.9939606E-12\n"
    "Analysis completed STAMP.  Runtime = T seconds.\n"
    "\n"
    "\n"
    "  ----  Calculated Parameter Values  ----\n"
    "\n"
    " Parameter  Initial guess   Final estimate \n"
    "----------  -------------  ----------------\n"
    "        x1           -1.2       -0.72909756\n"
    "        x2              1       0.521473046\n"
    "\n";

// a bound active at the solution: no covariance, the -3 warning and its advice
const char CON_PROGRAM[] =
    "VARIABLES x, y;\n"
    "PARAMETERS a = 1, b = 0.5;\n"
    "CONSTRAIN b = 0, 0.2;\n"
    "FUNCTION y = a * exp(b * x);\n"
    "COVARIANCE;\n"
    "CONFIDENCE;\n"
    "DATA;\n"
    "0 1.0\n"
    "1 1.4\n"
    "2 1.9\n"
    "3 2.8\n"
    "4 3.9\n";

const char CON_RESULTS[] =
    "\n"
    "\n"
    "   ----  Final Results  ----\n"
    "\n"
    "MOXEL version 5.3\n"
    "\n"
    "Number of observations = 5\n"
    "Maximum allowed number of iterations = 500\n"
    "Convergence tolerance factor = 1.000000E-10\n"
    "Stopped due to: Both parameter and relative function convergence.\n"
    "Number of iterations performed = 3\n"
    "Final sum of squared deviations =  8.6877381E-01\n"
    "Final sum of deviations = -5.4586226E-01\n"
    "Standard error of estimate = 0.538137\n"
    "Average deviation = 0.380493\n"
    "Maximum deviation for any observation = 0.589066\n"
    "Proportion of variance explained (R^2) = 0.8397  (83.97%)\n"
    "Adjusted coefficient of multiple determination (Ra^2) = 0.7863  (78.63%)\n"
    "Durbin-Watson test for autocorrelation = 0.496\n"
    "This Durbin-Watson value indicates autocorrelation or inappropriate function.\n"
    "Log-likelihood = -2.7194167, AIC = 11.4388334, AICc = 35.4388334, BIC = 10.2671471 (normal errors, k = 3)\n"
    "\n"
    "Warning: Covariance matrix could not be computed because\n"
    "constraints were specified for parameters.\n"
    "Try removing constraints on parameters.\n"
    "Analysis completed STAMP.  Runtime = T seconds.\n"
    "\n"
    "\n"
    "             ----  Descriptive Statistics for Variables  ----\n"
    "\n"
    " Variable    Minimum value   Maximum value    Mean value     Standard dev.\n"
    "----------  --------------  --------------  --------------  --------------\n"
    "         x               0               4               2        1.581139\n"
    "         y               1             3.9             2.2        1.164045\n"
    "\n"
    "\n"
    "  ----  Calculated Parameter Values  ----\n"
    "\n"
    " Parameter  Initial guess   Final estimate \n"
    "----------  -------------  ----------------\n"
    "         a              1        1.48769876\n"
    "         b            0.2               0.2\n"
    "\n"
    "\n"
    "                  ----  Analysis of Variance  ----\n"
    "\n"
    "  Source     DF   Sum of Squares    Mean Square    F value   Prob(F)\n"
    "----------  ----  --------------  --------------  ---------  -------\n"
    "Regression     1        4.551226        4.551226      15.72  0.02867\n"
    "Error          3       0.8687738       0.2895913\n"
    "Total          4            5.42\n"
    "\n"
    "\n"
    "                        ----  Diagnosis  ----\n"
    "\n"
    "b stopped at its upper bound 0.2: the data pull it further. Check the bound and the\n"
    "model; standard errors are not available for bounded fits.\n"
    "\n";

// SWEEP: the best converged grid start is shown as the initial guess
const char SWP_PROGRAM[] =
    "VARIABLES t, y;\n"
    "PARAMETERS A = 1, w = 1;\n"
    "FUNCTION y = A * sin(w * t);\n"
    "SWEEP w = 1, 3, 0.5;\n"
    "DATA;\n"
    "0.0 0.02\n"
    "0.5 1.62\n"
    "1.0 1.82\n"
    "1.5 0.28\n"
    "2.0 -1.53\n"
    "2.5 -1.87\n"
    "3.0 -0.55\n"
    "3.5 1.31\n"
    "4.0 1.97\n"
    "4.5 0.83\n";

const char SWP_RESULTS[] =
    "\n"
    "\n"
    "   ----  Final Results  ----\n"
    "\n"
    "MOXEL version 5.3\n"
    "\n"
    "Number of observations = 10\n"
    "Maximum allowed number of iterations = 500\n"
    "Convergence tolerance factor = 1.000000E-10\n"
    "Stopped due to: Both parameter and relative function convergence.\n"
    "Number of iterations performed = 8\n"
    "Final sum of squared deviations =  5.1362337E-03\n"
    "Final sum of deviations =  3.0003043E-02\n"
    "Standard error of estimate = 0.0253383\n"
    "Average deviation = 0.0184702\n"
    "Maximum deviation for any observation = 0.0457566\n"
    "Proportion of variance explained (R^2) = 0.9997  (99.97%)\n"
    "Adjusted coefficient of multiple determination (Ra^2) = 0.9997  (99.97%)\n"
    "Durbin-Watson test for autocorrelation = 2.797\n"
    "Log-likelihood = 23.6807162, AIC = -41.3614323, AICc = -37.3614323, BIC = -40.4536771 (normal errors, k = 3)\n"
    "Analysis completed STAMP.  Runtime = T seconds.\n"
    "\n"
    "\n"
    "             ----  Descriptive Statistics for Variables  ----\n"
    "\n"
    " Variable    Minimum value   Maximum value    Mean value     Standard dev.\n"
    "----------  --------------  --------------  --------------  --------------\n"
    "         t               0             4.5            2.25        1.513825\n"
    "         y           -1.87            1.97            0.39        1.371163\n"
    "\n"
    "\n"
    "                   ----  Calculated Parameter Values  ----\n"
    "\n"
    " Parameter  Initial guess   Final estimate   Standard error      t      Prob(t)\n"
    "----------  -------------  ----------------  --------------  ---------  -------\n"
    "         A              1        1.97949908      0.01174632     168.52  0.00001\n"
    "         w            1.5        2.00012269     0.002113793     946.22  0.00001\n"
    "\n"
    "\n"
    "                  ----  Analysis of Variance  ----\n"
    "\n"
    "  Source     DF   Sum of Squares    Mean Square    F value   Prob(F)\n"
    "----------  ----  --------------  --------------  ---------  -------\n"
    "Regression     1        16.91566        16.91566   26347.19  0.00001\n"
    "Error          8     0.005136234    0.0006420292\n"
    "Total          9         16.9208\n"
    "\n";

// the model cannot be computed at the start; the section is still written
const char FAIL_PROGRAM[] =
    "VARIABLES x, y;\n"
    "PARAMETERS a = 1, b = 10;\n"
    "FUNCTION y = a * log(x - b);\n"
    "DATA;\n"
    "1 2\n"
    "2 3\n"
    "3 4\n";

const char FAIL_RESULTS[] =
    "\n"
    "\n"
    "   ----  Final Results  ----\n"
    "\n"
    "MOXEL version 5.3\n"
    "\n"
    "Number of observations = 3\n"
    "Maximum allowed number of iterations = 500\n"
    "Convergence tolerance factor = 1.000000E-10\n"
    "Stopped due to: Function cannot be computed at starting parameter values.\n"
    "Number of iterations performed = 0\n"
    "Final sum of squared deviations = not computed (the model could not be computed at the start values)\n"
    "Final sum of deviations = not computed (the model could not be computed at the start values)\n"
    "Standard error of estimate = not computed (the model could not be computed at the start values)\n"
    "Average deviation = not computed (the model could not be computed at the start values)\n"
    "Maximum deviation for any observation = not computed (the model could not be computed at the start values)\n"
    "Proportion of variance explained (R^2) = not computed (the model could not be computed at the start values)\n"
    "Durbin-Watson test for autocorrelation = not computed (the model could not be computed at the start values)\n"
    "Analysis completed STAMP.  Runtime = T seconds.\n"
    "\n"
    "\n"
    "             ----  Descriptive Statistics for Variables  ----\n"
    "\n"
    " Variable    Minimum value   Maximum value    Mean value     Standard dev.\n"
    "----------  --------------  --------------  --------------  --------------\n"
    "         x               1               3               2               1\n"
    "         y               2               4               3               1\n"
    "\n"
    "\n"
    "  ----  Calculated Parameter Values  ----\n"
    "\n"
    " Parameter  Initial guess   Final estimate \n"
    "----------  -------------  ----------------\n"
    "         a              1                 1\n"
    "         b             10                10\n"
    "\n"
    "\n"
    "                  ----  Analysis of Variance  ----\n"
    "\n"
    "not computed (the model could not be computed at the start values)\n"
    "\n"
    "\n"
    "                        ----  Diagnosis  ----\n"
    "\n"
    "The model cannot be computed at the starting values at 3 of 3 observations. The first\n"
    "ones:\n"
    "  observation 1, line 3: Attempt to take log of zero or negative: -9\n"
    "  observation 2, line 3: Attempt to take log of zero or negative: -8\n"
    "  observation 3, line 3: Attempt to take log of zero or negative: -7\n"
    "Choose start values at which the model can be computed for every observation, or check\n"
    "these observations in the data.\n"
    "\n";

// iteration limit: results complete, no statistics, exit status 3
const char ITER_PROGRAM[] =
    "VARIABLES x, y;\n"
    "PARAMETERS a = 1, b = 1;\n"
    "ITERATIONS 2;\n"
    "FUNCTION y = a * exp(b * x);\n"
    "DATA;\n"
    "0 1.1\n"
    "1 2.6\n"
    "2 7.5\n"
    "3 19.8\n"
    "4 55.1\n";

const char ITER_RESULTS[] =
    "\n"
    "\n"
    "   ----  Final Results  ----\n"
    "\n"
    "MOXEL version 5.3\n"
    "\n"
    "Number of observations = 5\n"
    "Maximum allowed number of iterations = 2\n"
    "Convergence tolerance factor = 1.000000E-10\n"
    "Stopped due to: Function did not converge before iteration limit reached.\n"
    "Number of iterations performed = 2\n"
    "Final sum of squared deviations =  1.2473034E-01\n"
    "Final sum of deviations =  1.0958348E-01\n"
    "Standard error of estimate = 0.203904\n"
    "Average deviation = 0.141441\n"
    "Maximum deviation for any observation = 0.240465\n"
    "Proportion of variance explained (R^2) = 0.9999  (99.99%)\n"
    "Adjusted coefficient of multiple determination (Ra^2) = 0.9999  (99.99%)\n"
    "Durbin-Watson test for autocorrelation = 3.193\n"
    "Analysis completed STAMP.  Runtime = T seconds.\n"
    "\n"
    "\n"
    "             ----  Descriptive Statistics for Variables  ----\n"
    "\n"
    " Variable    Minimum value   Maximum value    Mean value     Standard dev.\n"
    "----------  --------------  --------------  --------------  --------------\n"
    "         x               0               4               2        1.581139\n"
    "         y             1.1            55.1           17.22        22.41444\n"
    "\n"
    "\n"
    "  ----  Calculated Parameter Values  ----\n"
    "\n"
    " Parameter  Initial guess   Final estimate \n"
    "----------  -------------  ----------------\n"
    "         a              1        0.96819666\n"
    "         b              1        1.01002451\n"
    "\n"
    "\n"
    "                  ----  Analysis of Variance  ----\n"
    "\n"
    "  Source     DF   Sum of Squares    Mean Square    F value   Prob(F)\n"
    "----------  ----  --------------  --------------  ---------  -------\n"
    "Regression     1        2009.503        2009.503   48332.34  0.00001\n"
    "Error          3       0.1247303      0.04157678\n"
    "Total          4        2009.628\n"
    "\n"
    "\n"
    "                        ----  Diagnosis  ----\n"
    "\n"
    "The fit stopped at the iteration limit (2 iterations) while the sum of squares was still\n"
    "falling by 42 % per iteration: raise ITERATIONS.\n"
    "\n";

const char REG_SCREEN[] =
    "   ----  Final Results  ----\n"
    "MOXEL version 5.3\n"
    "\n"
    "Decay\n"
    "Number of observations = 8\n"
    "Maximum allowed number of iterations = 500\n"
    "Convergence tolerance factor = 1.000000E-10\n"
    "Stopped due to: Both parameter and relative function convergence.\n"
    "Number of iterations performed = 3\n"
    "Final sum of squared deviations =  4.1479758E-02\n"
    "Final sum of deviations =  3.3983320E-03\n"
    "Standard error of estimate = 0.0831462\n"
    "Average deviation = 0.0553352\n"
    "Maximum deviation for any observation = 0.146343\n"
    "Proportion of variance explained (R^2) = 0.9981  (99.81%)\n"
    "Adjusted coefficient of multiple determination (Ra^2) = 0.9978  (99.78%)\n"
    "Durbin-Watson test for autocorrelation = 2.856\n"
    "Log-likelihood = 9.6964568, AIC = -13.3929136, AICc = -7.3929136, BIC = -13.154589 (normal errors, k = 3)\n"
    "Analysis completed STAMP.  Runtime = T seconds.\n"
    "             ----  Descriptive Statistics for Variables  ----\n"
    " Variable    Minimum value   Maximum value    Mean value     Standard dev.\n"
    "----------  --------------  --------------  --------------  --------------\n"
    "         t               0               7             3.5         2.44949\n"
    "         y               5            10.1           7.225        1.767767\n"
    "           ----  Correlation Matrix  ----\n"
    " Variable         t           y          r2      \n"
    "----------   ----------  ----------  ----------\n"
    "         t:     1.000      -0.993       0.962  \n"
    "         y:    -0.993       1.000      -0.925  \n"
    "        r2:     0.962      -0.925       1.000  \n"
    "                   ----  Calculated Parameter Values  ----\n"
    " Parameter  Initial guess   Final estimate   Standard error      t      Prob(t)\n"
    "----------  -------------  ----------------  --------------  ---------  -------\n"
    "         a             10         10.002713      0.06067183     164.87  0.00001\n"
    "         k            0.1         0.1004958     0.001844216      54.49  0.00001\n"
    "                  ----  Analysis of Variance  ----\n"
    "  Source     DF   Sum of Squares    Mean Square    F value   Prob(F)\n"
    "----------  ----  --------------  --------------  ---------  -------\n"
    "Regression     1        21.83352        21.83352    3158.19  0.00001\n"
    "Error          6      0.04147976     0.006913293\n"
    "Total          7          21.875\n"
    "         ----  95.000% Confidence Intervals  ----\n"
    " Parameter     Lower limit      Best estimate      Upper limit\n"
    "----------  ----------------  ----------------  ----------------\n"
    "         a        9.85425327         10.002713        10.1511727\n"
    "         k      0.0959831321         0.1004958       0.105008468\n"
    "           ----  Variance-Covariance Matrix  ----\n"
    " Parameter          a              k     \n"
    "----------   -------------  -------------\n"
    "         a:      0.0036811     8.4653E-05\n"
    "         k:     8.4653E-05     3.4011E-06\n"
    "\n";

const GoldenCase goldenCases[] = {
    {"Regression", REG_PROGRAM, 0, REG_RESULTS},
    {"FunctionMinimisation", MIN_PROGRAM, 0, MIN_RESULTS},
    {"Constrained", CON_PROGRAM, 0, CON_RESULTS},
    {"Swept", SWP_PROGRAM, 0, SWP_RESULTS},
    {"Failed", FAIL_PROGRAM, 3, FAIL_RESULTS},
    {"IterationLimited", ITER_PROGRAM, 3, ITER_RESULTS},
};

class FinalResults : public ::testing::TestWithParam<GoldenCase> {};

TEST_P(FinalResults, ListingMatchesGoldenText)
{
    const GoldenCase& c = GetParam();
    const MoxelRun run = runMoxel(c.program);
    EXPECT_EQ(run.status, c.status) << run.out << run.err;
    EXPECT_TRUE(stampIsWellFormed(run.listing));
    EXPECT_EQ(finalResults(run.listing), c.results);
    // Standard output carries the same lines, without the listing file's blank lines.
    EXPECT_EQ(withoutBlankLines(screenResults(run.out)), withoutBlankLines(c.results));
}

INSTANTIATE_TEST_SUITE_P(Runs, FinalResults, ::testing::ValuesIn(goldenCases),
                         [](const ::testing::TestParamInfo<GoldenCase>& info) { return std::string(info.param.name); });

TEST(FinalResultsScreen, RegressionScreenLines)
{
    const MoxelRun run = runMoxel(REG_PROGRAM);
    ASSERT_EQ(run.status, 0);
    EXPECT_EQ(screenResults(run.out), REG_SCREEN);
    // The stop reason is announced once on the screen before the section, and appears
    // once in the listing file before it.
    EXPECT_NE(run.out.find("Completed analysis\nStopped due to: Both parameter and relative function convergence.\n"
                           "   ----  Final Results  ----\n"),
              std::string::npos);
    EXPECT_EQ(run.listing.find("Completed analysis"), std::string::npos);
}

// A start the model fails at: every failing observation is named once, on the screen
// and in the file, and the stop reason once before the section and once inside it.
TEST(FinalResultsScreen, FailedStartNamesEachErrorOnce)
{
    const MoxelRun run = runMoxel(FAIL_PROGRAM);
    ASSERT_EQ(run.status, 3);
    const auto count = [](const std::string& text, const std::string& what) {
        int found = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
            ++found;
        return found;
    };
    for (const std::string& text : {run.out, run.listing}) {
        for (const char* value : {"-9\n", "-8\n", "-7\n"})
            EXPECT_EQ(count(text, std::string("Error: Attempt to take log of zero or negative: ") + value), 1) << text;
        EXPECT_EQ(count(text, "Error executing line 3"), 3) << text;
        EXPECT_EQ(count(text, "Stopped due to: Function cannot be computed"), 2) << text;
    }
}

// A program slow enough to be interrupted: Ctrl+C (SIGINT) ends the run as aborted,
// with the whole section written.
const char SLOW_PROGRAM[] =
    "VARIABLES x, y;\n"
    "PARAMETERS a = 1, b = 1;\n"
    "DOUBLE i;\n"
    "i = 0;\n"
    "WHILE (i < 3000000) i = i + 1;\n"
    "FUNCTION y = a * exp(b * x);\n"
    "DATA;\n"
    "0 1.1\n"
    "1 2.6\n"
    "2 7.5\n"
    "3 19.8\n"
    "4 55.1\n";

TEST(FinalResults, InterruptedRunIsReportedAsAborted)
{
    const std::string folder = testTempDir();
    writeTextFile(folder + "/slow.mxl", SLOW_PROGRAM);
    const int status = runInterrupted(folder, "slow.mxl");
    ASSERT_NE(status, -1);
    EXPECT_EQ(status, 3);
    const std::string listing = readTextFile(folder + "/slow.lst");
    const std::string out = readTextFile(folder + "/out.txt");
    EXPECT_NE(out.find("Error: Aborting analysis...\nStopped due to: Analysis was aborted\n"
                       "   ----  Final Results  ----\n"),
              std::string::npos) << out;
    EXPECT_EQ(out.find("Completed analysis"), std::string::npos);
    const std::string results = finalResults(listing);
    const std::regex shape(
        "\n\n   ----  Final Results  ----\n\nMOXEL version 5.3\n\n"
        "Number of observations = 5\nMaximum allowed number of iterations = 500\n"
        "Convergence tolerance factor = 1.000000E-10\nStopped due to: Analysis was aborted\n"
        "Number of iterations performed = [0-9]+\n"
        // Under a heavy load the first point may not have been computed yet.
        "Final sum of squared deviations = ([ 0-9.E+-]{14}|not computed \\(the analysis was cancelled first\\))\n"
        "Final sum of deviations = ([ 0-9.E+-]{14}|not computed \\(the analysis was cancelled first\\))\n"
        "(.|\n)*" + std::string("Analysis completed STAMP\\.  Runtime = T seconds\\.\n") +
        "\n\n             ----  Descriptive Statistics for Variables  ----\n(.|\n)*"
        "\n\n  ----  Calculated Parameter Values  ----\n\n"
        " Parameter  Initial guess   Final estimate \n----------  -------------  ----------------\n"
        "         a              1  [ 0-9.E+-]{16}\n         b              1  [ 0-9.E+-]{16}\n"
        // The analysis of variance of the best point reached, when one was computed.
        "(\n\n                  ----  Analysis of Variance  ----\n(.|\n)*)?\n");
    EXPECT_TRUE(std::regex_match(results, shape)) << results;
}

TEST(FinalResults, InterruptedSweepHasNoFinalSolve)
{
    const std::string folder = testTempDir();
    std::string program = SLOW_PROGRAM;
    program.insert(program.find("FUNCTION"), "SWEEP b = 0.5, 3, 0.5;\n");
    writeTextFile(folder + "/sweep.mxl", program);
    const int status = runInterrupted(folder, "sweep.mxl");
    ASSERT_NE(status, -1);
    EXPECT_EQ(status, 3);
    const std::string listing = readTextFile(folder + "/sweep.lst");
    EXPECT_NE(listing.find("\nStopped due to: Analysis was aborted\n"), std::string::npos) << listing;
    // The sweep's quiet solves report no runtime errors but the abort itself, and no
    // best start was installed.
    const size_t error = listing.find("\nError: ");
    ASSERT_NE(error, std::string::npos);
    EXPECT_EQ(listing.compare(error, 29, "\nError: Aborting analysis...\n"), 0) << listing;
    EXPECT_EQ(listing.find("\nError: ", error + 1), std::string::npos) << listing;
    EXPECT_NE(listing.find("\n         b              1  "), std::string::npos) << listing;
}

// The figure after "label = " in the listing, or NaN when the line is missing.
double listedFigure(const std::string& listing, const std::string& label)
{
    const size_t at = listing.find("\n" + label + " = ");
    return at == std::string::npos ? std::nan("") : std::strtod(listing.c_str() + at + label.size() + 4, nullptr);
}

// Cancelled in the middle of a long sweep, after many computed points: every figure of
// the listing belongs to the best point reached (a deviation of 0 beside a sum of
// squares that is not would mean the estimates and the residuals came apart).
TEST(FinalResults, InterruptedSweepShowsOneConsistentPoint)
{
    const std::string folder = testTempDir();
    std::string program = SLOW_PROGRAM;
    program.replace(program.find("3000000"), 7, "20000");
    program.insert(program.find("FUNCTION"), "SWEEP b = 0.5, 3, 0.001;\n");
    writeTextFile(folder + "/long.mxl", program);
    ASSERT_EQ(runInterrupted(folder, "long.mxl"), 3);
    const std::string listing = readTextFile(folder + "/long.lst");
    ASSERT_NE(listing.find("\nStopped due to: Analysis was aborted\n"), std::string::npos) << listing;
    const double sumSquares = listedFigure(listing, "Final sum of squared deviations");
    const double standardError = listedFigure(listing, "Standard error of estimate");
    const double maximum = listedFigure(listing, "Maximum deviation for any observation");
    EXPECT_GT(sumSquares, 0.0) << listing;
    EXPECT_GT(maximum, 0.0) << listing;
    EXPECT_LE(maximum * maximum, sumSquares * (1 + 1e-5)) << listing;
    // n - p = 3 degrees of freedom.
    EXPECT_NEAR(standardError * standardError * 3, sumSquares, 1e-5 * sumSquares) << listing;
}

}  // namespace

namespace {

// A quick fit followed by a slow correlation matrix (420 work variables over 1000
// observations, some seconds of sums): Ctrl+C after a second lands while the results of
// the listing are being computed, and such a run is not a usable result.
std::string slowListingProgram()
{
    const int variables = 420;
    std::string text = "VARIABLES x, y;\nPARAMETERS a = 1;\n";
    for (int k = 0; k < variables; ++k)
        text += "DOUBLE w" + std::to_string(k) + ";\nw" + std::to_string(k) + " = " + std::to_string(k + 1) +
                " * x + x * x;\n";
    text += "FUNCTION y = a * x;\nCORRELATE\n";
    for (int k = 0; k < variables; ++k)
        text += "w" + std::to_string(k) + "\n";
    text += ";\nDATA;\n";
    for (int i = 1; i <= 1000; ++i)
        text += std::to_string(i) + " " + std::to_string(2 * i + (i % 7) * 0.1) + "\n";
    return text;
}

TEST(FinalResults, InterruptedListingIsNotAUsableResult)
{
    const std::string folder = testTempDir();
    writeTextFile(folder + "/late.mxl", slowListingProgram());
    const int status = runInterrupted(folder, "late.mxl");
    ASSERT_NE(status, -1);
    EXPECT_EQ(status, 3) << readTextFile(folder + "/out.txt");
}

}  // namespace

namespace {

// A fit with an exactly zero residual has standard errors of 0: t and Prob(t) are then
// undefined and show the not-available mark in their columns' widths, never a stand-in
// number; the other columns keep their formats.
TEST(FinalResults, ZeroStandardErrorShowsNotAvailable)
{
    const MoxelRun run = runMoxel("VARIABLES x, y;\nPARAMETERS a = 2, b = 0;\nFUNCTION y = a * x + b;\n"
                                  "DATA;\n1 2\n2 4\n4 8\n");
    EXPECT_EQ(run.status, 0) << run.out;
    const std::string results = finalResults(run.listing);
    EXPECT_NE(results.find("Final sum of squared deviations =  0.0000000E+00\n"), std::string::npos) << results;
    EXPECT_NE(results.find(" Parameter  Initial guess   Final estimate   Standard error      t      Prob(t)\n"
                           "----------  -------------  ----------------  --------------  ---------  -------\n"
                           "         a              2                 2               0        n/a      n/a\n"
                           "         b              0                 0               0        n/a      n/a\n"),
              std::string::npos)
        << results;
    EXPECT_EQ(results.find("E+30"), std::string::npos);
}

}  // namespace
