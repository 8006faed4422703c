// Plot files of every type through batch mode's -plot-format and -plot-size, each read
// back by an independent reader: Qt and PIL for PNG, an XML parser for SVG, pdftoppm for
// PDF (whose rendering must look like the PNG of the same size).
#include <gtest/gtest.h>

#include <QFile>
#include <QImage>
#include <QXmlStreamReader>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "testutil.h"

namespace {

const char DECAY[] =
    "TITLE \"Decay of a sample\";\n"
    "VARIABLES t, rate;\nPARAMETERS a = 100, k = 0.1, b = 0;\n"
    "FUNCTION rate = a * exp(-k * t) + b;\n"
    "PLOT RESIDUAL TITLE = \"Decay of a sample\";\n"
    "DATA;\n0 133\n2 92\n4 79\n6 52\n8 47\n10 31\n12 33\n14 19\n16 24\n18 13\n20 18\n22 10\n";

std::string commandOutput(const std::string& command)
{
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return out;
    char buffer[256];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        out.append(buffer, got);
    pclose(pipe);
    return out;
}

bool near(QRgb p, QRgb q)
{
    return std::abs(qRed(p) - qRed(q)) <= 64 && std::abs(qGreen(p) - qGreen(q)) <= 64 &&
           std::abs(qBlue(p) - qBlue(q)) <= 64;
}

// Share of the pixels of a whose colour b has nowhere within one pixel of the same place.
double differingShare(const QImage& a, const QImage& b)
{
    long differing = 0;
    for (int y = 0; y < a.height(); y++)
        for (int x = 0; x < a.width(); x++) {
            bool matched = false;
            for (int dy = -1; dy <= 1 && !matched; dy++)
                for (int dx = -1; dx <= 1 && !matched; dx++)
                    matched = b.valid(x + dx, y + dy) && near(a.pixel(x, y), b.pixel(x + dx, y + dy));
            differing += !matched;
        }
    return static_cast<double>(differing) / (a.width() * a.height());
}

TEST(PlotFormats, EveryTypeFromTheCommandLineReadsBack)
{
    const std::string folder = testTempDir();
    const struct {
        const char* word;
        const char* extension;
        std::string magic;
    } types[] = {
        {"png", ".png", "\x89PNG"}, {"SVG", ".svg", "<?xml"}, {"pdf", ".pdf", "%PDF"},
        {"jpeg", ".jpg", "\xFF\xD8\xFF"}, {"bmp", ".bmp", "BM"},
    };
    for (const auto& type : types) {
        const MoxelRun run =
            runMoxel(DECAY, "decay", folder, {"-plots", "-plot-format", type.word, "-plot-size", "480x360"});
        ASSERT_EQ(run.status, 0) << type.word << run.err;
        const std::string path = folder + "/decay_plot1" + type.extension;
        EXPECT_NE(run.out.find("The plot was written to " + path), std::string::npos) << run.out;
        EXPECT_EQ(readTextFile(path).substr(0, type.magic.size()), type.magic) << type.word;
        if (type.extension != std::string(".svg") && type.extension != std::string(".pdf")) {
            const QImage image(QString::fromStdString(path));
            EXPECT_EQ(image.size(), QSize(480, 360)) << type.word;
        }
    }
    // PNG by an independent decoder.
    EXPECT_EQ(commandOutput("/usr/bin/python3 -c \"from PIL import Image; im = Image.open('" + folder +
                            "/decay_plot1.png'); im.load(); print(im.format, im.size[0], im.size[1])\""),
              "PNG 480 360\n");

    // SVG: well-formed, sized, the curve a path and the title text.
    QFile svg(QString::fromStdString(folder + "/decay_plot1.svg"));
    ASSERT_TRUE(svg.open(QIODevice::ReadOnly));
    QXmlStreamReader xml(&svg);
    int paths = 0;
    bool title = false;
    QString width;
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement)
            continue;
        if (xml.name() == QLatin1String("svg"))
            width = xml.attributes().value(QLatin1String("viewBox")).toString();
        else if (xml.name() == QLatin1String("path"))
            paths++;
        else if (xml.name() == QLatin1String("text"))
            title |= xml.readElementText(QXmlStreamReader::IncludeChildElements).contains(QLatin1String("Decay of a sample"));
    }
    EXPECT_FALSE(xml.hasError()) << xml.errorString().toStdString();
    EXPECT_EQ(width, QStringLiteral("0 0 480 360"));
    EXPECT_GE(paths, 3);     // at least the grid, the axes, the marks and the curve
    EXPECT_TRUE(title);

    // PDF: rendered at the plot's resolution it is the PNG's picture.
    const std::string rendered = folder + "/rendered";
    ASSERT_EQ(system(("pdftoppm -png -r 96 -singlefile '" + folder + "/decay_plot1.pdf' '" + rendered + "'").c_str()), 0);
    const QImage fromPdf(QString::fromStdString(rendered + ".png"));
    const QImage png(QString::fromStdString(folder + "/decay_plot1.png"));
    ASSERT_EQ(fromPdf.size(), png.size());
    // Antialiased edges fall a fraction of a pixel apart; a missing or moved part of the
    // drawing differs on far more pixels than these.
    QImage blank(png.size(), QImage::Format_RGB32);
    blank.fill(png.pixel(0, 0));
    const double drawing = differingShare(png, blank);
    EXPECT_GT(drawing, 0.02);
    EXPECT_LT(differingShare(png, fromPdf), drawing / 3.0);
    EXPECT_LT(differingShare(fromPdf, png), drawing / 3.0);
}

// At twice the resolution and twice the pixels, a plot is the same picture: its pens
// and marks grow with the resolution.
TEST(PlotFormats, TwiceTheResolutionLooksTheSame)
{
    const std::string folder = testTempDir();
    QImage images[2];
    for (int k = 0; k < 2; k++) {
        mkdir((folder + "/config").c_str(), 0700);
        mkdir((folder + "/config/MOXEL").c_str(), 0700);
        writeTextFile(folder + "/config/MOXEL/MOXEL.conf",
                      std::string("[General]\nPlotFileType=2\n") + (k ? "PlotResolution=192\n" : ""));
        const MoxelRun run = runMoxel(DECAY, "decay", folder, {"-plots", "-plot-size", k ? "960x720" : "480x360"});
        ASSERT_EQ(run.status, 0) << run.err;
        images[k] = QImage(QString::fromStdString(folder + "/decay_plot1.png"));
        ASSERT_FALSE(images[k].isNull());
    }
    const QImage halved = images[1].scaled(480, 360, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    QImage blank(images[0].size(), QImage::Format_RGB32);
    blank.fill(images[0].pixel(0, 0));
    const double drawing = differingShare(images[0], blank);
    EXPECT_LT(differingShare(images[0], halved), drawing / 4.0);
    EXPECT_LT(differingShare(halved, images[0]), drawing / 4.0);
}

TEST(PlotFormats, BadFormatOrSizeIsABadCommandLine)
{
    const std::string folder = testTempDir();
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"-plots", "-plot-format", "gif"}, {"-plots", "-plot-size", "0x300"}, {"-plots", "-plot-size", "640"},
             {"-plots", "-plot-size", "640x480x2"}, {"-plots", "-plot-format"}}) {
        const MoxelRun run = runMoxel(DECAY, "decay", folder, args);
        EXPECT_EQ(run.status, 2) << args.back();
        EXPECT_NE(run.out.find("Invalid command option: plot-"), std::string::npos) << run.out;
    }
}

}  // namespace
