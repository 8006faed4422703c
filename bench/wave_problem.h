// The benchmarks' common problem: a decaying wave of n observations with noise, written
// as a data file in a fresh temporary folder, and a program held as lines for the lexer.
#pragma once

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

struct ProgramLines {
    std::vector<std::string> lines;
};

// The lexer's line source over a ProgramLines.
inline void copyProgramLine(void* context, int index, char* buffer, int size)
{
    const ProgramLines* program = static_cast<const ProgramLines*>(context);
    snprintf(buffer, size, "%s", program->lines[index].c_str());
}

// A fresh folder in the system's temporary folder.
inline std::string makeFolder()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "moxel-bench-XXXXXX").string();
    const char* made = mkdtemp(pattern.data());
    return made ? made : std::filesystem::temp_directory_path().string();
}

// folder/wave.dat: x in [0, 10), y = 2.5 exp(-0.4 x) + 0.8 sin(1.7 x) + N(0, 0.05^2).
inline void writeWaveData(const std::string& folder, long n)
{
    const std::string data = folder + "/wave.dat";
    FILE* file = fopen(data.c_str(), "w");
    if (!file)
        return;
    std::mt19937_64 random(12345);
    std::normal_distribution<double> noise(0.0, 0.05);
    for (long i = 0; i < n; ++i) {
        const double x = 10.0 * i / n;
        const double y = 2.5 * exp(-0.4 * x) + 0.8 * sin(1.7 * x) + noise(random);
        fprintf(file, "%.6f %.6f\n", x, y);
    }
    fclose(file);
}
