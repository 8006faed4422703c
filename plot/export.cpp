// Plot export: settings, the off-screen image and the BMP and JPEG writers.
#include "plot/export.h"

#include <QImage>
#include <QPainter>

#include <cerrno>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include <jpeglib.h>
#include <jerror.h>

#include "analysis/bands.h"
#include "lang/options.h"
#include "plot/colours.h"
#include "plot/painter.h"
#include "plot/plotmodel.h"
#include "plot/settings.h"
#include "support/listing.h"
#include "support/safefile.h"

const char MSG_PLOT_WRITTEN[] = "The plot was written to %s";
const char MSG_BAND_TABLE_WRITTEN[] = "The band table was written to %s";

namespace {

const char MSG_BMP_OPEN[] = "Cannot open BMP output file";
const char MSG_BMP_WRITE[] = "Error writing BMP file";
const char MSG_JPG_OPEN[] = "Cannot open JPG output file";
const char MSG_JPG_ERROR[] = "Error generating JPG file";
const char MSG_IMAGE_TOO_LARGE[] =
    "The plot image of %d x %d pixels is too large (at most %d pixels a side and %ld pixels in all)";
const char MSG_IMAGE_NO_MEMORY[] = "Not enough memory for a plot image of %d x %d pixels";

constexpr int BMP_HEADER_SIZE = 54;             // file header and information header
constexpr int BMP_INFO_SIZE = 40;
constexpr double IMAGE_DOTS_PER_INCH = 96.0;

// Bytes of one BMP row: three a pixel, padded to a multiple of 4.
long bmpRowBytes(int width)
{
    return (3L * width + 3) / 4 * 4;
}

void putLittle16(unsigned char* at, unsigned value)
{
    at[0] = static_cast<unsigned char>(value);
    at[1] = static_cast<unsigned char>(value >> 8);
}

void putLittle32(unsigned char* at, unsigned long value)
{
    for (int i = 0; i < 4; i++)
        at[i] = static_cast<unsigned char>(value >> (8 * i));
}

// One row as red, green, blue bytes.
void fetchRgbRow(const PixelRows& image, int row, unsigned char* rgb)
{
    const unsigned char* source = image.bits + row * image.stride;
    if (image.layout == PIXELS_RGB24) {
        memcpy(rgb, source, 3 * static_cast<size_t>(image.width));
        return;
    }
    const uint32_t* words = reinterpret_cast<const uint32_t*>(source);
    for (int x = 0; x < image.width; x++) {
        rgb[3 * x] = static_cast<unsigned char>(words[x] >> 16);
        rgb[3 * x + 1] = static_cast<unsigned char>(words[x] >> 8);
        rgb[3 * x + 2] = static_cast<unsigned char>(words[x]);
    }
}

// A file message: the fixed words, the file's full path and the reason.
void reportFileError(const char* message, const char* path, const char* reason)
{
    errorBox("%s: %s (%s)", message, safeFileFullPath(path).c_str(), reason);
}

// A libjpeg error manager whose fatal-error routine returns control to the writer.
struct JpegFailure {
    jpeg_error_mgr manager;     // the library's standard manager, error_exit replaced
    jmp_buf resume;             // where the writer takes over again
    int systemError;            // errno when the library gave up
    char reason[JMSG_LENGTH_MAX]; // why: the system's reason for a failed write, else the library's
};

void jpegFatal(j_common_ptr compressor)
{
    JpegFailure* failure = reinterpret_cast<JpegFailure*>(compressor->err);
    failure->systemError = errno;
    if (failure->manager.msg_code == JERR_FILE_WRITE && failure->systemError)
        snprintf(failure->reason, sizeof failure->reason, "%s", strerror(failure->systemError));
    else
        (*failure->manager.format_message)(compressor, failure->reason);
    longjmp(failure->resume, 1);
}

void jpegSilent(j_common_ptr) {}

// Compresses image into file; false with the reason. Only plain data lives in this
// frame, so that the jump back from a library error skips no destructor.
bool compressJpeg(FILE* file, const PixelRows& image, char reason[JMSG_LENGTH_MAX])
{
    jpeg_compress_struct compressor;
    JpegFailure failure;
    compressor.err = jpeg_std_error(&failure.manager);
    failure.manager.error_exit = jpegFatal;
    failure.manager.output_message = jpegSilent;
    failure.systemError = 0;
    failure.reason[0] = '\0';
    if (setjmp(failure.resume)) {
        jpeg_destroy_compress(&compressor);
        memcpy(reason, failure.reason, JMSG_LENGTH_MAX);
        return false;
    }
    jpeg_create_compress(&compressor);
    jpeg_stdio_dest(&compressor, file);
    compressor.image_width = static_cast<JDIMENSION>(image.width);
    compressor.image_height = static_cast<JDIMENSION>(image.height);
    compressor.input_components = 3;
    compressor.in_color_space = JCS_RGB;
    jpeg_set_defaults(&compressor);
    jpeg_set_quality(&compressor, JPEG_QUALITY, TRUE);
    compressor.dct_method = JDCT_FLOAT;
    jpeg_start_compress(&compressor, TRUE);
    JSAMPARRAY row = (*compressor.mem->alloc_sarray)(
        reinterpret_cast<j_common_ptr>(&compressor), JPOOL_IMAGE,
        static_cast<JDIMENSION>(3 * image.width + 3), 1);
    while (compressor.next_scanline < compressor.image_height) {
        fetchRgbRow(image, static_cast<int>(compressor.next_scanline), row[0]);
        jpeg_write_scanlines(&compressor, row, 1);
    }
    jpeg_finish_compress(&compressor);
    jpeg_destroy_compress(&compressor);
    return true;
}

// The size an image is made at: a side <= 0 takes its default. False (after the
// message) when the size is over the limits.
bool imageSize(const PlotFileSettings& fileSettings, int* width, int* height)
{
    *width = fileSettings.width > 0 ? fileSettings.width : PLOT_IMAGE_DEFAULT_WIDTH;
    *height = fileSettings.height > 0 ? fileSettings.height : PLOT_IMAGE_DEFAULT_HEIGHT;
    if (*width > PLOT_IMAGE_SIDE_MAX || *height > PLOT_IMAGE_SIDE_MAX ||
        static_cast<long>(*width) * *height > PLOT_IMAGE_PIXELS_MAX) {
        errorBox(MSG_IMAGE_TOO_LARGE, *width, *height, PLOT_IMAGE_SIDE_MAX, PLOT_IMAGE_PIXELS_MAX);
        return false;
    }
    return true;
}

std::string programStem(const std::string& programPath)
{
    const size_t slash = programPath.find_last_of('/');
    const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    const size_t dot = programPath.find_last_of('.');
    return dot != std::string::npos && dot > nameStart ? programPath.substr(0, dot) : programPath;
}

}  // namespace

PlotFileSettings exportReadSettings()
{
    PlotFileSettings fileSettings;
    fileSettings.fileType = settingsReadInt("PlotFileType") == PLOT_FILE_BMP ? PLOT_FILE_BMP : PLOT_FILE_JPEG;
    fileSettings.width = settingsReadInt("BMPwidth");
    if (fileSettings.width <= 0)
        fileSettings.width = PLOT_IMAGE_DEFAULT_WIDTH;
    fileSettings.height = settingsReadInt("BMPheight");
    if (fileSettings.height <= 0)
        fileSettings.height = PLOT_IMAGE_DEFAULT_HEIGHT;
    fileSettings.fileName = settingsReadString("BMPfilename");
    if (fileSettings.fileName.empty())
        fileSettings.fileName =
            settingsJoinProgramFolder(fileSettings.fileType == PLOT_FILE_BMP ? "Plot.bmp" : "Plot.jpg");
    return fileSettings;
}

void exportStoreSettings(const PlotFileSettings& fileSettings)
{
    settingsWriteInt("BMPwidth", fileSettings.width);
    settingsWriteInt("BMPheight", fileSettings.height);
    settingsWriteString("BMPfilename", fileSettings.fileName);
    settingsWriteInt("PlotFileType", fileSettings.fileType);
}

bool exportWriteFile(const char* path, const char* openMessage, const char* writeMessage,
                     const ExportBodyWriter& writeBody)
{
    SafeFile file;
    if (!safeFileOpen(&file, path)) {
        reportFileError(openMessage, path, safeFileReason(&file));
        return false;
    }
    std::string reason;
    if (!writeBody(file.stream, &reason)) {
        safeFileDiscard(&file);
        reportFileError(writeMessage, path, reason.empty() ? strerror(EIO) : reason.c_str());
        return false;
    }
    if (!safeFileCommit(&file)) {
        reportFileError(writeMessage, path, safeFileReason(&file));
        return false;
    }
    return true;
}

bool exportWriteBmp(const char* path, const PixelRows& image)
{
    return exportWriteFile(path, MSG_BMP_OPEN, MSG_BMP_WRITE, [&image](FILE* file, std::string* reason) {
        const long rowBytes = bmpRowBytes(image.width);
        unsigned char header[BMP_HEADER_SIZE] = {};
        header[0] = 'B';
        header[1] = 'M';
        putLittle32(header + 2, static_cast<unsigned long>(rowBytes * image.height + BMP_HEADER_SIZE));
        putLittle32(header + 10, BMP_HEADER_SIZE);
        putLittle32(header + 14, BMP_INFO_SIZE);
        putLittle32(header + 18, static_cast<unsigned long>(image.width));
        putLittle32(header + 22, static_cast<unsigned long>(image.height));
        putLittle16(header + 26, 1);
        putLittle16(header + 28, 24);
        putLittle32(header + 34, static_cast<unsigned long>(rowBytes * image.height));
        bool written = fwrite(header, 1, sizeof header, file) == sizeof header;

        // Rows bottom first, each in blue, green, red order and padded with zeros.
        std::vector<unsigned char> rgb(3 * static_cast<size_t>(image.width));
        std::vector<unsigned char> row(static_cast<size_t>(rowBytes), 0);
        for (int y = image.height - 1; y >= 0 && written; y--) {
            fetchRgbRow(image, y, rgb.data());
            for (int x = 0; x < image.width; x++) {
                row[3 * x] = rgb[3 * x + 2];
                row[3 * x + 1] = rgb[3 * x + 1];
                row[3 * x + 2] = rgb[3 * x];
            }
            written = fwrite(row.data(), 1, row.size(), file) == row.size();
        }
        if (!written)
            *reason = strerror(errno ? errno : EIO);
        return written;
    });
}

bool exportWriteJpeg(const char* path, const PixelRows& image)
{
    return exportWriteFile(path, MSG_JPG_OPEN, MSG_JPG_ERROR, [&image](FILE* file, std::string* reason) {
        char failure[JMSG_LENGTH_MAX];
        if (compressJpeg(file, image, failure))
            return true;
        *reason = failure;
        return false;
    });
}

bool exportPlot(const PlotSpec* spec, const PlotFileSettings& fileSettings)
{
    int width = 0;
    int height = 0;
    if (!spec || !imageSize(fileSettings, &width, &height))
        return false;
    QImage image(width, height, QImage::Format_RGB32);
    if (image.isNull()) {
        errorBox(MSG_IMAGE_NO_MEMORY, width, height);
        return false;
    }
    const unsigned background = plotColours.entry[COLOURS_SAVED][SLOT_BACKGROUND];
    image.fill(QColor(colourRed(background), colourGreen(background), colourBlue(background)));
    {
        // A private copy: drawing never changes the plot the view shows.
        const PlotSpec copy = *spec;
        QPainter painter(&image);
        const SurfaceDevice device = {SURFACE_IMAGE, width, height, IMAGE_DOTS_PER_INCH, IMAGE_DOTS_PER_INCH};
        std::unique_ptr<PlotSurface> surface = painterMakeSurface(&painter, device);
        plotDraw(surface.get(), COLOURS_SAVED, &copy);
    }
    const PixelRows rows = {image.constBits(), width, height, static_cast<long>(image.bytesPerLine()),
                            PIXELS_XRGB32};
    const char* path = fileSettings.fileName.c_str();
    return fileSettings.fileType == PLOT_FILE_BMP ? exportWriteBmp(path, rows) : exportWriteJpeg(path, rows);
}

std::string exportPlotFileName(const std::string& programPath, const char* suffix, int number, const char* extension)
{
    return programStem(programPath) + suffix + std::to_string(number) + extension;
}

void exportPlotFileNames(const std::string& programPath, std::vector<std::pair<std::string, std::string>>* uses)
{
    const char* extension = exportReadSettings().fileType == PLOT_FILE_BMP ? ".bmp" : ".jpg";
    int number = 0;
    for (const PlotSpec* spec = plotList; spec; spec = spec->next) {
        number++;
        const std::string plot = "the image of plot " + std::to_string(number);
        uses->push_back({plot, exportPlotFileName(programPath, "_plot", number, extension)});
        if (spec->plotKind == PLOT_FUNCTION && (spec->plotFlags & (PLOTF_CBAND | PLOTF_PBAND | PLOTF_SBAND)))
            uses->push_back({"the band table of plot " + std::to_string(number),
                             exportPlotFileName(programPath, "_plot", number, ".csv")});
    }
}

bool exportAllPlots(const std::string& programPath, const char* suffix)
{
    colourSetsLoad();
    PlotFileSettings fileSettings = exportReadSettings();
    const char* extension = fileSettings.fileType == PLOT_FILE_BMP ? ".bmp" : ".jpg";
    bool allWritten = true;
    int number = 0;
    for (const PlotSpec* spec = plotList; spec; spec = spec->next) {
        number++;
        if (!spec->completed)
            continue;
        fileSettings.fileName = exportPlotFileName(programPath, suffix, number, extension);
        if (exportPlot(spec, fileSettings)) {
            printf(MSG_PLOT_WRITTEN, fileSettings.fileName.c_str());
            printf("\n");
        } else {
            allWritten = false;
        }
        BandTable table;
        if (plotBandTable(spec, &table)) {
            const std::string tablePath = exportPlotFileName(programPath, "_plot", number, ".csv");
            std::string message;
            if (bandsWriteTable(table, tablePath, &message)) {
                printf(MSG_BAND_TABLE_WRITTEN, tablePath.c_str());
                printf("\n");
            } else {
                fprintf(stderr, "%s\n", message.c_str());
                allWritten = false;
            }
            bandsRelease(&table);
        }
    }
    fflush(stdout);
    return allWritten;
}
