#include "nist_models.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace {

const double PI = 3.141592653589793238462643383279;

double misra1a(const double* b, double x, double) { return b[0] * (1.0 - std::exp(-b[1] * x)); }
double chwirut(const double* b, double x, double) { return std::exp(-b[0] * x) / (b[1] + b[2] * x); }
double lanczos(const double* b, double x, double)
{
    return b[0] * std::exp(-b[1] * x) + b[2] * std::exp(-b[3] * x) + b[4] * std::exp(-b[5] * x);
}
double gauss(const double* b, double x, double)
{
    double u = (x - b[3]) / b[4], w = (x - b[6]) / b[7];
    return b[0] * std::exp(-b[1] * x) + b[2] * std::exp(-u * u) + b[5] * std::exp(-w * w);
}
double danwood(const double* b, double x, double) { return b[0] * std::pow(x, b[1]); }
double misra1b(const double* b, double x, double) { return b[0] * (1.0 - std::pow(1.0 + b[1] * x / 2.0, -2.0)); }
double rational22(const double* b, double x, double)
{
    return (b[0] + b[1] * x + b[2] * x * x) / (1.0 + b[3] * x + b[4] * x * x);
}
double rational33(const double* b, double x, double)
{
    return (b[0] + b[1] * x + b[2] * x * x + b[3] * x * x * x) / (1.0 + b[4] * x + b[5] * x * x + b[6] * x * x * x);
}
double nelson(const double* b, double x1, double x2) { return b[0] - b[1] * x1 * std::exp(-b[2] * x2); }
double mgh17(const double* b, double x, double)
{
    return b[0] + b[1] * std::exp(-x * b[3]) + b[2] * std::exp(-x * b[4]);
}
double misra1c(const double* b, double x, double) { return b[0] * (1.0 - std::pow(1.0 + 2.0 * b[1] * x, -0.5)); }
double misra1d(const double* b, double x, double) { return b[0] * b[1] * x / (1.0 + b[1] * x); }
double roszman1(const double* b, double x, double) { return b[0] - b[1] * x - std::atan(b[2] / (x - b[3])) / PI; }
double enso(const double* b, double x, double)
{
    double w = 2.0 * PI * x;
    return b[0] + b[1] * std::cos(w / 12.0) + b[2] * std::sin(w / 12.0) + b[4] * std::cos(w / b[3]) +
           b[5] * std::sin(w / b[3]) + b[7] * std::cos(w / b[6]) + b[8] * std::sin(w / b[6]);
}
double mgh09(const double* b, double x, double) { return b[0] * (x * x + x * b[1]) / (x * x + x * b[2] + b[3]); }
double boxbod(const double* b, double x, double) { return b[0] * (1.0 - std::exp(-b[1] * x)); }
double rat42(const double* b, double x, double) { return b[0] / (1.0 + std::exp(b[1] - b[2] * x)); }
double mgh10(const double* b, double x, double) { return b[0] * std::exp(b[1] / (x + b[2])); }
double eckerle4(const double* b, double x, double)
{
    double u = (x - b[2]) / b[1];
    return (b[0] / b[1]) * std::exp(-0.5 * u * u);
}
double rat43(const double* b, double x, double) { return b[0] / std::pow(1.0 + std::exp(b[1] - b[2] * x), 1.0 / b[3]); }
double bennett5(const double* b, double x, double) { return b[0] * std::pow(b[1] + x, -1.0 / b[2]); }

struct ModelEntry {
    const char* name;
    double (*model)(const double*, double, double);
};

const ModelEntry MODELS[] = {
    {"Misra1a", misra1a},   {"Chwirut2", chwirut},  {"Chwirut1", chwirut},   {"Lanczos3", lanczos},
    {"Gauss1", gauss},      {"Gauss2", gauss},      {"DanWood", danwood},    {"Misra1b", misra1b},
    {"Kirby2", rational22}, {"Hahn1", rational33},  {"Nelson", nelson},      {"MGH17", mgh17},
    {"Lanczos1", lanczos},  {"Lanczos2", lanczos},  {"Gauss3", gauss},       {"Misra1c", misra1c},
    {"Misra1d", misra1d},   {"Roszman1", roszman1}, {"ENSO", enso},          {"MGH09", mgh09},
    {"Thurber", rational33}, {"BoxBOD", boxbod},    {"Rat42", rat42},        {"MGH10", mgh10},
    {"Eckerle4", eckerle4}, {"Rat43", rat43},       {"Bennett5", bennett5},
};

bool parseNumbers(const std::string& text, std::vector<double>& out)
{
    out.clear();
    const char* s = text.c_str();
    char* end = nullptr;
    for (;;) {
        while (*s == ' ' || *s == '\t' || *s == '\r') ++s;
        if (*s == '\0') return true;
        double value = std::strtod(s, &end);
        if (end == s) return false;
        out.push_back(value);
        s = end;
    }
}

}  // namespace

const std::vector<std::string>& nistProblemNames()
{
    static const std::vector<std::string> names = [] {
        std::vector<std::string> list;
        for (const ModelEntry& entry : MODELS) list.push_back(entry.name);
        return list;
    }();
    return names;
}

bool nistLoad(const std::string& folder, const std::string& name, NistProblem& problem)
{
    std::ifstream in(folder + "/" + name + ".dat");
    if (!in) return false;
    NistProblem result;
    result.name = name;
    for (const ModelEntry& entry : MODELS)
        if (name == entry.name) result.model = entry.model;
    if (result.model == nullptr) return false;
    result.logResponse = name == "Nelson";
    std::string line;
    bool inData = false;
    std::vector<double> numbers;
    while (std::getline(in, line)) {
        if (inData) {
            if (!parseNumbers(line, numbers) || numbers.empty()) continue;
            result.y.push_back(numbers[0]);
            result.x1.push_back(numbers.size() > 1 ? numbers[1] : 0.0);
            result.x2.push_back(numbers.size() > 2 ? numbers[2] : 0.0);
            continue;
        }
        size_t eq = line.find('=');
        std::string head = line.substr(0, eq == std::string::npos ? 0 : eq);
        if (line.rfind("Data:", 0) == 0 && line.find_first_not_of(' ', 5) != std::string::npos &&
            line.compare(line.find_first_not_of(' ', 5), 2, "y ") == 0) {
            inData = true;
        } else if (line.find("Residual Sum of Squares:") != std::string::npos) {
            result.certifiedSs = std::strtod(line.c_str() + line.find(':') + 1, nullptr);
        } else if (eq != std::string::npos && head.find('b') != std::string::npos && head.size() < 8 &&
                   parseNumbers(line.substr(eq + 1), numbers) && numbers.size() == 4) {
            result.start1.push_back(numbers[0]);
            result.start2.push_back(numbers[1]);
            result.certified.push_back(numbers[2]);
            result.certifiedSe.push_back(numbers[3]);
        }
    }
    result.p = (int)result.certified.size();
    if (result.p == 0 || result.y.empty()) return false;
    problem = result;
    return true;
}

void nistResiduals(int n, int p, const double* x, int* nf, double* r, void* context)
{
    const NistProblem& problem = *static_cast<const NistProblem*>(context);
    for (int i = 0; i < n; ++i) {
        double observed = problem.logResponse ? std::log(problem.y[i]) : problem.y[i];
        r[i] = problem.model(x, problem.x1[i], problem.x2[i]) - observed;
        if (!std::isfinite(r[i])) { *nf = 0; return; }
    }
}

double nistDigits(double estimate, double certified)
{
    if (!std::isfinite(estimate)) return 0.0;
    double error = std::fabs(estimate - certified);
    if (error == 0.0) return 11.0;
    double digits = certified != 0.0 ? -std::log10(error / std::fabs(certified)) : -std::log10(error);
    return std::fmax(0.0, std::fmin(11.0, digits));
}
