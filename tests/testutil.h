// Helpers shared by the test programs: temporary folders, files, and end-to-end runs of
// build/moxel in batch mode.
#pragma once

#include <map>
#include <string>
#include <vector>

std::string testTempDir();                                       // fresh folder per call, removed at exit
std::string readTextFile(const std::string& path);               // empty when missing
void writeTextFile(const std::string& path, const std::string& text);
std::string sourceDir();                                         // top of the source tree

struct MoxelRun {
    int status;             // exit status of build/moxel
    std::string out;        // standard output
    std::string err;        // standard error
    std::string listing;    // PROGRAM.lst, empty when not written
    std::string folder;     // folder holding the program and its outputs
};

// Writes text as folder/name.mxl (a new temporary folder unless folder is given), runs
// build/moxel -run on it with the settings folder inside the temporary folder.
MoxelRun runMoxel(const std::string& programText, const std::string& name = "prog",
                  const std::string& folder = "", const std::vector<std::string>& extraArgs = {});

// A table of reference figures: "case item value..." lines ('#' starts a comment),
// keyed "case item".
std::map<std::string, std::vector<double>> loadReferenceTable(const std::string& path);

// Lines of a text, without their line ends.
std::vector<std::string> splitLines(const std::string& text);

// The words of a line, split at white space.
std::vector<std::string> splitWords(const std::string& line);
