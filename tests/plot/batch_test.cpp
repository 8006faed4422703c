// -plots in batch mode, end to end through build/moxel: one image per plot statement,
// compared with a reference image per plot kind; the settings that choose the file type
// and size; and the settings store itself.
#include <gtest/gtest.h>

#include <QFontDatabase>
#include <QImage>

#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "plot/render.h"
#include "plot/settings.h"
#include "testutil.h"

namespace {

const char ALL_KINDS[] =
    "TITLE \"Decay of a sample\";\n"
    "VARIABLES t, rate;\nPARAMETERS a = 100, k = 0.1, b = 0;\n"
    "FUNCTION rate = a * exp(-k * t) + b;\n"
    "PLOT RESIDUAL;\nSPLOT CONNECT;\nRPLOT;\nNPLOT;\n"
    "DATA;\n0 133\n2 92\n4 79\n6 52\n8 47\n10 31\n12 33\n14 19\n16 24\n18 13\n20 18\n22 10\n";

const char* const KIND_NAMES[] = {"function", "scatter", "residual", "normal"};

std::string referencePath(const char* kind)
{
    return sourceDir() + "/tests/plot/reference/" + kind + ".png";
}

void writeSettings(const std::string& folder, const std::string& text)
{
    mkdir((folder + "/config").c_str(), 0700);
    mkdir((folder + "/config/MOXEL").c_str(), 0700);
    writeTextFile(folder + "/config/MOXEL/MOXEL.conf", "[General]\n" + text);
}

bool exists(const std::string& path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

// Pixels whose colour differs by more than 48 in some channel.
long differingPixels(const QImage& a, const QImage& b)
{
    long differing = 0;
    for (int y = 0; y < a.height(); y++)
        for (int x = 0; x < a.width(); x++) {
            const QRgb p = a.pixel(x, y);
            const QRgb q = b.pixel(x, y);
            differing += std::abs(qRed(p) - qRed(q)) > 48 || std::abs(qGreen(p) - qGreen(q)) > 48 ||
                         std::abs(qBlue(p) - qBlue(q)) > 48;
        }
    return differing;
}

// Under the tests' own font configuration an image is drawn the same, pixel for pixel,
// on every machine. The few pixels allowed are for a library update that moves a glyph's
// edge; an axis moved by one pixel changes about 500, the fitted curve about 500, and a
// one-letter axis label about 30.
constexpr long DIFFERING_PIXELS_MAX = 12;

TEST(BatchPlots, EachKindMatchesItsReferenceImage)
{
    // The references were drawn with DejaVu Sans as tests/fonts.conf renders it; ctest
    // gives that configuration to the test programs and the runs they start.
    std::vector<std::string> families;
    for (const QString& family : QFontDatabase::families())
        families.push_back(family.toStdString());
    ASSERT_EQ(renderChooseFace(families), "DejaVu Sans") << "run under ctest, with the fonts of tests/fonts.conf";
    const std::string folder = testTempDir();
    writeSettings(folder, "PlotFileType=1\n");
    const MoxelRun run = runMoxel(ALL_KINDS, "decay", folder, {"-plots"});
    ASSERT_EQ(run.status, 0) << run.err;
    const bool update = getenv("MOXEL_UPDATE_PLOT_REFERENCES") != nullptr;
    for (int k = 0; k < 4; k++) {
        const std::string image = folder + "/decay_plot" + std::to_string(k + 1) + ".bmp";
        EXPECT_NE(run.out.find("The plot was written to " + image), std::string::npos) << run.out;
        const QImage fresh(QString::fromStdString(image));
        ASSERT_FALSE(fresh.isNull()) << image;
        ASSERT_EQ(fresh.size(), QSize(700, 550));
        if (update) {
            fresh.save(QString::fromStdString(referencePath(KIND_NAMES[k])), "PNG");
            continue;
        }
        const QImage reference(QString::fromStdString(referencePath(KIND_NAMES[k])));
        ASSERT_FALSE(reference.isNull()) << KIND_NAMES[k];
        EXPECT_LE(differingPixels(fresh, reference), DIFFERING_PIXELS_MAX) << KIND_NAMES[k];
    }
    EXPECT_TRUE(run.err.empty()) << run.err;
}

TEST(BatchPlots, JpegBySettingsAtTheStoredSize)
{
    struct Case {
        const char* settings;
        int width, height;
    };
    const Case cases[] = {
        {"", 700, 550},
        {"PlotFileType=0\nBMPwidth=320\nBMPheight=-4\n", 320, 550},
        {"PlotFileType=7\nBMPwidth=abc\nBMPheight=240\n", 700, 240},
    };
    for (const Case& c : cases) {
        const std::string folder = testTempDir();
        writeSettings(folder, c.settings);
        const MoxelRun run = runMoxel(ALL_KINDS, "decay", folder, {"-plots"});
        EXPECT_EQ(run.status, 0) << run.err;
        for (int k = 1; k <= 4; k++) {
            const QImage image(QString::fromStdString(folder + "/decay_plot" + std::to_string(k) + ".jpg"),
                               "JPEG");
            ASSERT_FALSE(image.isNull()) << c.settings << k;
            EXPECT_EQ(image.size(), QSize(c.width, c.height)) << c.settings;
        }
        EXPECT_FALSE(exists(folder + "/decay_plot1.bmp"));
    }
}

TEST(BatchPlots, OversizedImageIsRefusedAndTheRunFails)
{
    const std::string folder = testTempDir();
    writeSettings(folder, "PlotFileType=1\nBMPwidth=50000\n");
    const MoxelRun run = runMoxel(ALL_KINDS, "decay", folder, {"-plots"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("Error: The plot image of 50000 x 550 pixels is too large"), std::string::npos)
        << run.err;
    EXPECT_FALSE(exists(folder + "/decay_plot1.bmp"));
    EXPECT_EQ(run.out.find("The plot was written"), std::string::npos);
}

TEST(BatchPlots, NoImageWithoutPlotsOrResultsOrOption)
{
    const std::string noPlots =
        "VARIABLES x, y;\nPARAMETERS a, b;\nFUNCTION y = a + b * x;\nDATA;\n1 2\n2 4.1\n3 5.9\n";
    const std::string folder = testTempDir();
    MoxelRun run = runMoxel(noPlots, "plain", folder, {"-plots"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out.find("The plot was written"), std::string::npos);
    EXPECT_FALSE(exists(folder + "/plain_plot1.jpg"));
    // A program that does not compile has no results to plot.
    run = runMoxel("VARIABLES x, y;\nPARAMETERS a;\nFUNCTION y = a * ;\nPLOT;\nDATA;\n1 2\n", "broken", folder,
                   {"-plots"});
    EXPECT_EQ(run.status, 1);
    EXPECT_FALSE(exists(folder + "/broken_plot1.jpg"));
    // Without -plots a run with plot statements writes no image.
    run = runMoxel(ALL_KINDS, "decay", folder);
    EXPECT_EQ(run.status, 0);
    EXPECT_FALSE(exists(folder + "/decay_plot1.jpg"));
}

TEST(Settings, ValuesRoundTripAndMissingOnesReadAsDefaults)
{
    writeTextFile(settingsFilePath(), "");
    EXPECT_EQ(settingsReadInt("BMPwidth"), -1);
    EXPECT_EQ(settingsReadString("BMPfilename"), "");
    settingsWriteInt("BMPwidth", 640);
    settingsWriteInt("Color_4_2", static_cast<int>(0x01FF0000u));
    settingsWriteString("BMPfilename", "/tmp/some plot.jpg");
    EXPECT_EQ(settingsReadInt("BMPwidth"), 640);
    EXPECT_EQ(settingsReadInt("Color_4_2"), 0x01FF0000);
    EXPECT_EQ(settingsReadString("BMPfilename"), "/tmp/some plot.jpg");
    EXPECT_EQ(settingsReadInt("BMPfilename"), -1);      // not a number
    // Strings keep at most 199 bytes.
    settingsWriteString("Path", std::string(300, 'p'));
    EXPECT_EQ(settingsReadString("Path").size(), 199u);
    // The program folder.
    settingsWriteString("Path", "");
    EXPECT_EQ(settingsJoinProgramFolder("Plot.jpg"), "Plot.jpg");
    settingsWriteString("Path", "/opt/moxel");
    EXPECT_EQ(settingsJoinProgramFolder("Plot.jpg"), "/opt/moxel/Plot.jpg");
    settingsWriteString("Path", "/opt/moxel/");
    EXPECT_EQ(settingsJoinProgramFolder("Plot.jpg"), "/opt/moxel/Plot.jpg");
    // The file is the one under XDG_CONFIG_HOME, values in [General].
    EXPECT_EQ(settingsFilePath(), std::string(getenv("XDG_CONFIG_HOME")) + "/MOXEL/MOXEL.conf");
    const std::string file = readTextFile(settingsFilePath());
    EXPECT_EQ(file.find("[General]\n"), 0u) << file;
    EXPECT_NE(file.find("\nBMPwidth=640\n"), std::string::npos) << file;
    writeTextFile(settingsFilePath(), "");
}

}  // namespace
