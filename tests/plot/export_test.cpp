// Export: the BMP layout byte for byte, JPEG files read back by an independent decoder,
// failed writes that leave the old file alone, size limits, and the saved colour set.
#include <gtest/gtest.h>

#include <QColor>
#include <QImage>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "plot/colours.h"
#include "plot/export.h"
#include "plot/settings.h"
#include "plot_fixture.h"

namespace {

std::vector<std::string> boxes;

void recordBox(const char* text)
{
    boxes.push_back(text);
}

class Export : public ::testing::Test {
protected:
    void SetUp() override
    {
        boxes.clear();
        errorBoxSetHandler(recordBox);
        folder = testTempDir();
    }
    void TearDown() override { errorBoxSetHandler(nullptr); }
    std::string folder;
};

std::vector<unsigned char> bytesOf(const std::string& path)
{
    const std::string text = readTextFile(path);
    return std::vector<unsigned char>(text.begin(), text.end());
}

unsigned long little32(const std::vector<unsigned char>& bytes, size_t at)
{
    return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | static_cast<unsigned long>(bytes[at + 3]) << 24;
}

TEST_F(Export, BmpOfATwoByTwoImageByteForByte)
{
    // Top row red, green; bottom row blue, white.
    const unsigned char rgb[] = {255, 0, 0, 0, 255, 0, 0, 0, 255, 255, 255, 255};
    const PixelRows rows = {rgb, 2, 2, 6, PIXELS_RGB24};
    const std::string path = folder + "/two.bmp";
    ASSERT_TRUE(exportWriteBmp(path.c_str(), rows));
    const std::vector<unsigned char> expected = {
        'B', 'M', 70, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0,     // file header: size 8 * 2 + 54
        40, 0, 0, 0, 2, 0, 0, 0, 2, 0, 0, 0, 1, 0, 24, 0,    // info header: 2 x 2, 24 bits
        0, 0, 0, 0, 16, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        255, 0, 0, 255, 255, 255, 0, 0,                      // bottom row first, BGR, padded to 8
        0, 0, 255, 0, 255, 0, 0, 0,
    };
    EXPECT_EQ(bytesOf(path), expected);
    EXPECT_TRUE(boxes.empty());
}

TEST_F(Export, BmpRowsOfWidth701ArePaddedTo2104Bytes)
{
    const int width = 701;
    const int height = 3;
    std::vector<uint32_t> pixels(static_cast<size_t>(width) * height, 0xFF102030u);
    pixels[0] = 0xFFAABBCCu;                    // top left
    pixels[static_cast<size_t>(width) * 2 + 700] = 0xFF010203u;   // bottom right
    const PixelRows rows = {reinterpret_cast<const unsigned char*>(pixels.data()), width, height,
                            static_cast<long>(width) * 4, PIXELS_XRGB32};
    const std::string path = folder + "/wide.bmp";
    ASSERT_TRUE(exportWriteBmp(path.c_str(), rows));
    const std::vector<unsigned char> bytes = bytesOf(path);
    ASSERT_EQ(bytes.size(), 2104u * height + 54);
    EXPECT_EQ(little32(bytes, 2), 2104u * height + 54);
    EXPECT_EQ(little32(bytes, 18), 701u);
    EXPECT_EQ(little32(bytes, 22), 3u);
    EXPECT_EQ(little32(bytes, 34), 2104u * height);
    // The bottom row comes first; its last pixel then the one padding byte.
    const size_t bottomRight = 54 + 700 * 3;
    EXPECT_EQ(std::vector<unsigned char>(bytes.begin() + bottomRight, bytes.begin() + bottomRight + 4),
              (std::vector<unsigned char>{0x03, 0x02, 0x01, 0x00}));
    const size_t topLeft = 54 + 2104 * 2;
    EXPECT_EQ(std::vector<unsigned char>(bytes.begin() + topLeft, bytes.begin() + topLeft + 3),
              (std::vector<unsigned char>{0xCC, 0xBB, 0xAA}));
}

TEST_F(Export, JpegDecodesToTheSizeAndColours)
{
    // Four blocks of 32 x 24: red, green / blue, grey.
    const int width = 64;
    const int height = 48;
    std::vector<unsigned char> rgb(static_cast<size_t>(width) * height * 3);
    const unsigned char colours[4][3] = {{220, 20, 20}, {20, 200, 20}, {0, 0, 200}, {128, 128, 128}};
    for (int y = 0; y < height; y++)
        for (int x = 0; x < width; x++)
            for (int c = 0; c < 3; c++)
                rgb[(static_cast<size_t>(y) * width + x) * 3 + c] = colours[(y >= 24) * 2 + (x >= 32)][c];
    const PixelRows rows = {rgb.data(), width, height, width * 3L, PIXELS_RGB24};
    const std::string path = folder + "/blocks.jpg";
    ASSERT_TRUE(exportWriteJpeg(path.c_str(), rows));
    QImage decoded(QString::fromStdString(path), "JPEG");
    ASSERT_FALSE(decoded.isNull());
    EXPECT_EQ(decoded.width(), width);
    EXPECT_EQ(decoded.height(), height);
    const int probes[4][2] = {{8, 6}, {56, 6}, {8, 42}, {56, 42}};
    for (int k = 0; k < 4; k++) {
        const QColor pixel = decoded.pixelColor(probes[k][0], probes[k][1]);
        EXPECT_NEAR(pixel.red(), colours[k][0], 3) << k;
        EXPECT_NEAR(pixel.green(), colours[k][1], 3) << k;
        EXPECT_NEAR(pixel.blue(), colours[k][2], 3) << k;
    }
    // A baseline stream: start of frame marker 0xFFC0.
    const std::string bytes = readTextFile(path);
    EXPECT_NE(bytes.find("\xFF\xC0", 0, 2), std::string::npos);
    EXPECT_EQ(bytes.find("\xFF\xC2", 0, 2), std::string::npos);
}

// A writer, the file it is asked for, and the message its failure gives.
struct WriterCase {
    const char* name;
    bool (*writer)(const char*, const PixelRows&);
    const char* message;
};

TEST_F(Export, FailedWriteLeavesTheOldFileAlone)
{
    const unsigned char rgb[] = {1, 2, 3};
    const PixelRows rows = {rgb, 1, 1, 3, PIXELS_RGB24};
    const WriterCase cases[] = {{"old.bmp", exportWriteBmp, "Cannot open BMP output file"},
                          {"old.jpg", exportWriteJpeg, "Cannot open JPG output file"}};
    for (const WriterCase& c : cases) {
        // The name is taken by a folder, which stays as it is.
        const std::string path = folder + "/" + c.name;
        ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
        boxes.clear();
        EXPECT_FALSE(c.writer(path.c_str(), rows));
        EXPECT_EQ(boxes, std::vector<std::string>{std::string(c.message) + ": " + path + " (" + strerror(EISDIR) + ")"});
        struct stat info;
        EXPECT_TRUE(stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode));
    }
    // A folder that does not exist: nothing is written anywhere.
    boxes.clear();
    EXPECT_FALSE(exportWriteJpeg((folder + "/missing/plot.jpg").c_str(), rows));
    EXPECT_EQ(boxes, std::vector<std::string>{"Cannot open JPG output file: " + folder +
                                              "/missing/plot.jpg (" + strerror(ENOENT) + ")"});
}

// A write that fails part way (the file-size limit of a child process stands in for a
// full disk): the writer reports it, removes its temporary file, and the old file of
// that name is still there.
TEST_F(Export, WriteFailingPartWayLeavesNoPartialImage)
{
    std::vector<unsigned char> noise(200 * 200 * 3);
    unsigned state = 12345;
    for (unsigned char& value : noise) {
        state = state * 1103515245u + 12345u;
        value = static_cast<unsigned char>(state >> 24);
    }
    const PixelRows rows = {noise.data(), 200, 200, 600, PIXELS_RGB24};
    const WriterCase cases[] = {{"full.bmp", exportWriteBmp, "Error writing BMP file"},
                          {"full.jpg", exportWriteJpeg, "Error generating JPG file"}};
    for (const WriterCase& c : cases) {
        const std::string path = folder + "/" + c.name;
        writeTextFile(path, "a good image");
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            signal(SIGXFSZ, SIG_IGN);
            const struct rlimit limit = {4096, 4096};
            setrlimit(RLIMIT_FSIZE, &limit);
            boxes.clear();
            const bool written = c.writer(path.c_str(), rows);
            const std::string message = std::string(c.message) + ": " + path + " (" + strerror(EFBIG) + ")";
            _exit(!written && boxes == std::vector<std::string>{message} ? 0 : 1);
        }
        int status = 0;
        waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << c.name;
        EXPECT_EQ(readTextFile(path), "a good image") << c.name;
        ASSERT_EQ(std::system(("ls -a '" + folder + "' >'" + folder + "/names.txt'").c_str()), 0);
        EXPECT_EQ(readTextFile(folder + "/names.txt").find(".part"), std::string::npos) << c.name;
    }
}

const char DECAY_PROGRAM[] =
    "TITLE \"Decay\";\nVARIABLES t, rate;\nPARAMETERS a = 100, k = 0.1, b = 0;\n"
    "FUNCTION rate = a * exp(-k * t) + b;\nPLOT;\nDATA;\n"
    "0 127.69\n2 97.51\n4 73.59\n6 56.41\n8 43.03\n10 34.52\n12 29.17\n14 23.20\n16 20.13\n";

// Pixels of an image with exactly this colour.
long countColour(const QImage& image, QRgb colour)
{
    long count = 0;
    for (int y = 0; y < image.height(); y++)
        for (int x = 0; x < image.width(); x++)
            count += (image.pixel(x, y) & 0xFFFFFF) == (colour & 0xFFFFFF);
    return count;
}

// Pixels whose channel that is strongest in colour exceeds both others by 40.
long countDominant(const QImage& image, QRgb colour)
{
    const int wanted[3] = {qRed(colour), qGreen(colour), qBlue(colour)};
    const int channel = static_cast<int>(std::max_element(wanted, wanted + 3) - wanted);
    long count = 0;
    for (int y = 0; y < image.height(); y++)
        for (int x = 0; x < image.width(); x++) {
            const QRgb pixel = image.pixel(x, y);
            const int values[3] = {qRed(pixel), qGreen(pixel), qBlue(pixel)};
            count += values[channel] - 40 > values[(channel + 1) % 3] &&
                     values[channel] - 40 > values[(channel + 2) % 3];
        }
    return count;
}

TEST_F(Export, SizeIsCheckedBeforeAnythingIsWritten)
{
    ASSERT_TRUE(analyseProgram(DECAY_PROGRAM));
    const std::string path = folder + "/size.bmp";
    struct Case {
        int width, height;
        bool written;
        int expectedWidth, expectedHeight;
    };
    const Case cases[] = {
        {0, -5, true, 700, 550},                // non-positive: the defaults
        {20001, 100, false, 0, 0},              // a side over the limit
        {15000, 15000, false, 0, 0},            // too many pixels in all
        {701, 40, true, 701, 40},               // too low for one interval: background only
    };
    for (const Case& c : cases) {
        remove(path.c_str());
        boxes.clear();
        const PlotFileSettings fileSettings = {PLOT_FILE_BMP, c.width, c.height, path};
        EXPECT_EQ(exportPlot(plotNumber(0), fileSettings), c.written) << c.width;
        const QImage image(QString::fromStdString(path));
        if (!c.written) {
            EXPECT_TRUE(image.isNull());
            ASSERT_EQ(boxes.size(), 1u);
            EXPECT_NE(boxes[0].find("is too large"), std::string::npos) << boxes[0];
            continue;
        }
        EXPECT_TRUE(boxes.empty());
        EXPECT_EQ(image.width(), c.expectedWidth);
        EXPECT_EQ(image.height(), c.expectedHeight);
    }
    // The low image holds nothing but the saved set's background.
    const QImage low(QString::fromStdString(path));
    EXPECT_EQ(countColour(low, qRgb(255, 255, 255)), 701L * 40);
}

TEST_F(Export, StoredDataPointColourReachesTheSavedImage)
{
    ASSERT_TRUE(analyseProgram(DECAY_PROGRAM));
    struct Case {
        int stored;         // "Color_4_2", or -1 for none
        QRgb expected;      // the colour of the marks
        QRgb absent;        // a colour that must not show
    };
    const Case cases[] = {
        {-1, qRgb(0, 0, 200), qRgb(255, 0, 0)},
        {static_cast<int>(colourEntry(1, 255, 0, 0)), qRgb(255, 0, 0), qRgb(0, 0, 200)},
    };
    for (const Case& c : cases) {
        writeTextFile(settingsFilePath(), "");
        if (c.stored >= 0)
            settingsWriteInt("Color_4_2", c.stored);
        colourSetsLoad();
        for (const char* extension : {".bmp", ".jpg"}) {
            const std::string path = folder + "/marks" + extension;
            const bool bmp = extension[1] == 'b';
            ASSERT_TRUE(exportPlot(plotNumber(0), {bmp ? PLOT_FILE_BMP : PLOT_FILE_JPEG, 700, 550, path}));
            const QImage image(QString::fromStdString(path));
            ASSERT_FALSE(image.isNull());
            if (bmp) {
                EXPECT_GT(countColour(image, c.expected), 50) << extension;
                EXPECT_EQ(countColour(image, c.absent), 0) << extension;
                continue;
            }
            // JPEG blurs the thin marks and halves their chroma: count the pixels whose
            // strongest channel is the mark colour's, well above the other two.
            EXPECT_GT(countDominant(image, c.expected), 20) << extension;
            EXPECT_EQ(countDominant(image, c.absent), 0) << extension;
        }
    }
    writeTextFile(settingsFilePath(), "");
    colourSetsLoad();
}

}  // namespace
