// Batch mode's -plots option: the plots of a run saved as image files.
#pragma once

#include <string>
#include <utility>
#include <vector>

// After a run that produced results, saves every plot of the program next to it (see
// exportAllPlots). Qt is started on its offscreen platform for this only, unless
// QT_QPA_PLATFORM names another. True when every plot was written, or there was none.
bool batchSavePlots(const char* programPath);

// The type and size -plot-format and -plot-size ask for (-1 and 0 keep the settings').
void batchSetPlotFormat(int fileType, int width, int height);
// The files batchSavePlots will write, for the compile's refusal of two outputs of one
// name (see runCommandSetOutputNames).
void batchPlotOutputNames(const std::string& programPath, std::vector<std::pair<std::string, std::string>>* uses);

// After a preview: the plots at the starting values, as PROGRAM_previewK.jpg (or .bmp), so
// that the fitted plots of an earlier run stay as they are.
bool batchSavePreviewPlots(const char* programPath);
