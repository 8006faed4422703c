// Plot export: the plot-file settings, the plot drawn in the saved colour set as an
// off-screen image (BMP, JPEG, PNG) or a vector file (SVG, PDF), and the writers. A file is written under a temporary name
// and put in place only when complete, so that a failed write never destroys a good
// file of the same name nor leaves a truncated image behind.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <utility>
#include <vector>

struct PlotSpec;

constexpr int PLOT_IMAGE_DEFAULT_WIDTH = 700;      // pixels
constexpr int PLOT_IMAGE_DEFAULT_HEIGHT = 550;     // pixels
constexpr int PLOT_IMAGE_SIDE_MAX = 20000;         // pixels of either side
constexpr long PLOT_IMAGE_PIXELS_MAX = 100000000L; // pixels of a whole image
constexpr int JPEG_QUALITY = 100;

enum PlotFileType {
    PLOT_FILE_JPEG = 0,
    PLOT_FILE_BMP = 1,
    PLOT_FILE_PNG = 2,
    PLOT_FILE_SVG = 3,
    PLOT_FILE_PDF = 4
};
constexpr int PLOT_FILE_TYPE_COUNT = 5;
constexpr int PLOT_RESOLUTION_DEFAULT = 96;    // dots per inch of a size given in pixels
constexpr int PLOT_RESOLUTION_MAX = 2400;

// ".jpg", ".bmp", ".png", ".svg", ".pdf"; "" for an unknown type.
const char* exportExtension(int fileType);
// The type a file name's extension or a word ("png", "jpeg", ".svg") names, any case;
// -1 when it names none.
int exportTypeOfName(const std::string& name);

extern const char MSG_PLOT_WRITTEN[];       // "The plot was written to %s"
extern const char MSG_BAND_TABLE_WRITTEN[]; // "The band table was written to %s"

// The "PlotFileType", "BMPwidth", "BMPheight", "BMPfilename" and "PlotResolution" settings.
struct PlotFileSettings {
    int fileType;           // PlotFileType
    int width;              // pixels
    int height;             // pixels
    std::string fileName;   // output file
    int dotsPerInch = PLOT_RESOLUTION_DEFAULT;  // resolution: pens and the size of a vector page
    bool typeStored = false;    // the type was read from the settings, not defaulted
};

// Reads the settings with their defaults: JPEG unless the type is one of the others,
// 700 x 550 for a missing or non-positive size, 96 dpi for a missing or unusable
// resolution, and the program folder joined with "Plot" and the type's extension for a
// missing name.
PlotFileSettings exportReadSettings();
void exportStoreSettings(const PlotFileSettings& fileSettings);

enum PixelLayout {
    PIXELS_RGB24 = 0,       // red, green, blue bytes
    PIXELS_XRGB32 = 1       // 32-bit words 0xffRRGGBB in the machine's byte order
};

// Rows of an image, top row first.
struct PixelRows {
    const unsigned char* bits;  // first byte of the top row
    int width;                  // pixels
    int height;                 // rows
    long stride;                // bytes from one row to the next
    int layout;                 // PixelLayout
};

// Writes one file through the safe writer: writeBody puts the whole content on the
// stream of a unique temporary beside path, which takes the name only when all of it was
// written. writeBody returns false, with the reason when it knows one, after a failure.
// A failure is reported in the error box as openMessage or writeMessage, followed by ": ",
// the file's full path and the reason in parentheses; the old file then stays as it was.
// Every image and table format goes through here.
using ExportBodyWriter = std::function<bool(FILE* stream, std::string* reason)>;
bool exportWriteFile(const char* path, const char* openMessage, const char* writeMessage,
                     const ExportBodyWriter& writeBody);

// Writers. Each reports a failure in the error box ("Cannot open BMP output file",
// "Error writing BMP file", "Cannot open JPG output file", "Error generating JPG file",
// each followed by ": ", the file's full path and the reason in parentheses) and
// returns false; the file of that name is then as it was.
bool exportWriteBmp(const char* path, const PixelRows& image);
bool exportWriteJpeg(const char* path, const PixelRows& image);

// Draws a copy of spec in the saved colour set, filled with its background, and writes it
// as fileSettings say. BMP and JPEG keep the exact colours of the set; PNG is
// antialiased; SVG and PDF are vector files with their text as text. A width or height
// <= 0 takes the default; a size over the limits, or an image that cannot be made, is
// reported and nothing is written. Needs a QGuiApplication. True when the file was written.
bool exportPlot(const PlotSpec* spec, const PlotFileSettings& fileSettings);

// The bytes of a PNG, SVG or PDF file of spec, width x height pixels at dotsPerInch, in
// the saved colour set. False (bytes empty) for another type or when the drawing could
// not be made. Needs a QGuiApplication.
bool exportEncode(const PlotSpec* spec, int fileType, int width, int height, int dotsPerInch, std::string* bytes);

// What batch mode's -plot-format and -plot-size ask for; -1 and 0 keep the settings.
struct PlotBatchFormat {
    int fileType = -1;      // PlotFileType, or -1
    int width = 0;          // pixels, or 0
    int height = 0;         // pixels, or 0
};

// Saves every plot of the program after a batch run, as PROGRAM_plotK.jpg (or the
// extension of the type) next to the program, K from 1 in statement order, in the saved
// colour set at the type and size of the settings unless format names others, and the
// band table of each function plot with a band option as PROGRAM_plotK.csv; each file
// written is named on standard output. False when a plot could not be written.
bool exportAllPlots(const std::string& programPath, const char* suffix = "_plot",
                    const PlotBatchFormat& format = PlotBatchFormat{});

// PROGRAM + suffix + number + extension, PROGRAM the program path without its extension.
std::string exportPlotFileName(const std::string& programPath, const char* suffix, int number, const char* extension);

// The files exportAllPlots may write for the compiled program, each as (what writes it,
// its name): one image per plot statement and the band table of each function plot
// with a band option. Read before the run, so that no two outputs share a name.
void exportPlotFileNames(const std::string& programPath, std::vector<std::pair<std::string, std::string>>* uses,
                         const PlotBatchFormat& format = PlotBatchFormat{});
