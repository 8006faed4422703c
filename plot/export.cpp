// Plot export: settings, the off-screen image, the vector files and the writers.
#include "plot/export.h"

#include <QBuffer>
#include <QImage>
#include <QImageWriter>
#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>
#include <QSvgGenerator>

#include <strings.h>

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
const char MSG_FILE_OPEN[] = "Cannot open %s output file";
const char MSG_FILE_WRITE[] = "Error writing %s file";
const char MSG_FILE_DRAW[] = "The %s drawing of the plot could not be made";

// ORDER TYPE: the PlotFileType values, their extensions and their names in messages.
struct FileTypeName {
    const char* extension;      // with its dot
    const char* alias;          // a second extension, or ""
    const char* name;           // in messages
};
constexpr FileTypeName FILE_TYPES[PLOT_FILE_TYPE_COUNT] = {
    {".jpg", ".jpeg", "JPG"}, {".bmp", "", "BMP"}, {".png", "", "PNG"}, {".svg", "", "SVG"}, {".pdf", "", "PDF"},
};
constexpr double MILLIMETRES_PER_INCH = 25.4;

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
    // Colour at full resolution: halved chroma smears the colour of a thin line over its
    // neighbours.
    for (int c = 0; c < compressor.num_components; c++) {
        compressor.comp_info[c].h_samp_factor = 1;
        compressor.comp_info[c].v_samp_factor = 1;
    }
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

QColor savedBackground()
{
    const unsigned background = plotColours.entry[COLOURS_SAVED][SLOT_BACKGROUND];
    return QColor(colourRed(background), colourGreen(background), colourBlue(background));
}

// One pass of a private copy of spec (drawing never changes the plot the view shows) on
// a painter whose device is width x height pixels, filled with the background first.
void drawOn(QPainter* painter, const PlotSpec* spec, SurfaceDevice device)
{
    painter->fillRect(QRect(0, 0, device.pixelWidth, device.pixelHeight), savedBackground());
    const PlotSpec copy = *spec;
    std::unique_ptr<PlotSurface> surface = painterMakeSurface(painter, device);
    plotDraw(surface.get(), COLOURS_SAVED, &copy);
}

// Writes bytes through the safe writer; false after the message.
bool writeBytes(const char* path, const std::string& bytes, int fileType)
{
    const char* name = FILE_TYPES[fileType].name;
    char message[64];
    SafeFile file;
    if (!safeFileOpen(&file, path)) {
        snprintf(message, sizeof message, MSG_FILE_OPEN, name);
        reportFileError(message, path, safeFileReason(&file));
        return false;
    }
    if (fwrite(bytes.data(), 1, bytes.size(), file.stream) != bytes.size() && !file.error)
        file.error = errno ? errno : EIO;
    if (file.error) {
        safeFileDiscard(&file);
    } else if (safeFileCommit(&file)) {
        return true;
    }
    snprintf(message, sizeof message, MSG_FILE_WRITE, name);
    reportFileError(message, path, safeFileReason(&file));
    return false;
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
    fileSettings.fileType = settingsReadInt("PlotFileType");
    fileSettings.typeStored = fileSettings.fileType >= 0 && fileSettings.fileType < PLOT_FILE_TYPE_COUNT;
    if (!fileSettings.typeStored)
        fileSettings.fileType = PLOT_FILE_JPEG;
    fileSettings.width = settingsReadInt("BMPwidth");
    if (fileSettings.width <= 0)
        fileSettings.width = PLOT_IMAGE_DEFAULT_WIDTH;
    fileSettings.height = settingsReadInt("BMPheight");
    if (fileSettings.height <= 0)
        fileSettings.height = PLOT_IMAGE_DEFAULT_HEIGHT;
    fileSettings.fileName = settingsReadString("BMPfilename");
    if (fileSettings.fileName.empty())
        fileSettings.fileName = settingsJoinProgramFolder(std::string("Plot") + exportExtension(fileSettings.fileType));
    fileSettings.dotsPerInch = settingsReadInt("PlotResolution");
    if (fileSettings.dotsPerInch <= 0 || fileSettings.dotsPerInch > PLOT_RESOLUTION_MAX)
        fileSettings.dotsPerInch = PLOT_RESOLUTION_DEFAULT;
    return fileSettings;
}

void exportStoreSettings(const PlotFileSettings& fileSettings)
{
    settingsWriteInt("BMPwidth", fileSettings.width);
    settingsWriteInt("BMPheight", fileSettings.height);
    settingsWriteString("BMPfilename", fileSettings.fileName);
    settingsWriteInt("PlotFileType", fileSettings.fileType);
    settingsWriteInt("PlotResolution", fileSettings.dotsPerInch);
}

const char* exportExtension(int fileType)
{
    return fileType >= 0 && fileType < PLOT_FILE_TYPE_COUNT ? FILE_TYPES[fileType].extension : "";
}

int exportTypeOfName(const std::string& name)
{
    const size_t dot = name.find_last_of('.');
    const size_t slash = name.find_last_of('/');
    const std::string word = dot == std::string::npos || (slash != std::string::npos && dot < slash)
                                 ? "." + name
                                 : name.substr(dot);
    for (int type = 0; type < PLOT_FILE_TYPE_COUNT; type++)
        if (strcasecmp(word.c_str(), FILE_TYPES[type].extension) == 0 ||
            (FILE_TYPES[type].alias[0] && strcasecmp(word.c_str(), FILE_TYPES[type].alias) == 0))
            return type;
    return -1;
}

bool exportEncode(const PlotSpec* spec, int fileType, int width, int height, int dotsPerInch, std::string* bytes)
{
    bytes->clear();
    if (!spec || width <= 0 || height <= 0)
        return false;
    const double dpi = dotsPerInch > 0 ? dotsPerInch : PLOT_RESOLUTION_DEFAULT;
    SurfaceDevice device = {SURFACE_IMAGE, width, height, dpi, dpi};
    device.antialias = true;
    device.penScale = dpi / PLOT_RESOLUTION_DEFAULT;
    QByteArray encoded;
    QBuffer buffer(&encoded);
    buffer.open(QIODevice::WriteOnly);
    bool made = false;
    if (fileType == PLOT_FILE_PNG) {
        QImage image(width, height, QImage::Format_RGB32);
        if (image.isNull())
            return false;
        const int dotsPerMetre = static_cast<int>(dpi / MILLIMETRES_PER_INCH * 1000.0 + 0.5);
        image.setDotsPerMeterX(dotsPerMetre);
        image.setDotsPerMeterY(dotsPerMetre);
        {
            QPainter painter(&image);
            drawOn(&painter, spec, device);
        }
        QImageWriter writer(&buffer, "png");
        made = writer.write(image);
    } else if (fileType == PLOT_FILE_SVG) {
        QSvgGenerator generator;
        generator.setOutputDevice(&buffer);
        generator.setSize(QSize(width, height));
        generator.setViewBox(QRect(0, 0, width, height));
        generator.setResolution(static_cast<int>(dpi));
        generator.setTitle(QString::fromUtf8(spec->title));
        device.vector = true;
        QPainter painter;
        made = painter.begin(&generator);
        if (made) {
            drawOn(&painter, spec, device);
            made = painter.end();
        }
    } else if (fileType == PLOT_FILE_PDF) {
        QPdfWriter writer(&buffer);
        writer.setResolution(static_cast<int>(dpi));
        writer.setPageSize(QPageSize(QSizeF(width / dpi * MILLIMETRES_PER_INCH, height / dpi * MILLIMETRES_PER_INCH),
                                     QPageSize::Millimeter, QString(), QPageSize::ExactMatch));
        writer.setPageMargins(QMarginsF(0, 0, 0, 0));
        writer.setTitle(QString::fromUtf8(spec->title));
        writer.setCreator(QStringLiteral("MOXEL"));
        device.vector = true;
        QPainter painter;
        made = painter.begin(&writer);
        if (made) {
            // The page holds whole pixels of the resolution; the drawing takes all of them.
            device.pixelWidth = writer.width();
            device.pixelHeight = writer.height();
            drawOn(&painter, spec, device);
            made = painter.end();
        }
    }
    buffer.close();
    if (!made || encoded.isEmpty())
        return false;
    bytes->assign(encoded.constData(), static_cast<size_t>(encoded.size()));
    return true;
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
    const char* path = fileSettings.fileName.c_str();
    const int fileType = fileSettings.fileType;
    if (fileType == PLOT_FILE_PNG || fileType == PLOT_FILE_SVG || fileType == PLOT_FILE_PDF) {
        std::string bytes;
        if (!exportEncode(spec, fileType, width, height, fileSettings.dotsPerInch, &bytes)) {
            errorBox(MSG_FILE_DRAW, FILE_TYPES[fileType].name);
            return false;
        }
        return writeBytes(path, bytes, fileType);
    }
    QImage image(width, height, QImage::Format_RGB32);
    if (image.isNull()) {
        errorBox(MSG_IMAGE_NO_MEMORY, width, height);
        return false;
    }
    {
        QPainter painter(&image);
        drawOn(&painter, spec, SurfaceDevice{SURFACE_IMAGE, width, height, IMAGE_DOTS_PER_INCH, IMAGE_DOTS_PER_INCH});
    }
    const PixelRows rows = {image.constBits(), width, height, static_cast<long>(image.bytesPerLine()),
                            PIXELS_XRGB32};
    return fileType == PLOT_FILE_BMP ? exportWriteBmp(path, rows) : exportWriteJpeg(path, rows);
}

std::string exportPlotFileName(const std::string& programPath, const char* suffix, int number, const char* extension)
{
    return programStem(programPath) + suffix + std::to_string(number) + extension;
}

void exportPlotFileNames(const std::string& programPath, std::vector<std::pair<std::string, std::string>>* uses,
                         const PlotBatchFormat& format)
{
    const int fileType = format.fileType >= 0 && format.fileType < PLOT_FILE_TYPE_COUNT ? format.fileType
                                                                                        : exportReadSettings().fileType;
    const char* extension = exportExtension(fileType);
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

bool exportAllPlots(const std::string& programPath, const char* suffix, const PlotBatchFormat& format)
{
    colourSetsLoad();
    PlotFileSettings fileSettings = exportReadSettings();
    if (format.fileType >= 0 && format.fileType < PLOT_FILE_TYPE_COUNT)
        fileSettings.fileType = format.fileType;
    if (format.width > 0 && format.height > 0) {
        fileSettings.width = format.width;
        fileSettings.height = format.height;
    }
    const char* extension = exportExtension(fileSettings.fileType);
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
