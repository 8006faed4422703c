// The files of -plots, end to end through build/moxel: runs at once never share a
// temporary, a link planted where a temporary could be is never followed, and a platform
// that cannot start never stops the drawing.
#include <gtest/gtest.h>

#include <QImage>

#include <cstring>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "testutil.h"

namespace {

const char LINE_FIT[] =
    "VARIABLES x, y;\nPARAMETERS a = 1, b = 1;\nFUNCTION y = a + b * x;\nPLOT;\n"
    "DATA;\n1 2.1\n2 3.9\n3 6.2\n4 7.8\n5 10.1\n";

void writeSettings(const std::string& configFolder, const std::string& text)
{
    mkdir(configFolder.c_str(), 0700);
    mkdir((configFolder + "/MOXEL").c_str(), 0700);
    writeTextFile(configFolder + "/MOXEL/MOXEL.conf", "[General]\n" + text);
}

int temporariesIn(const std::string& folder)
{
    int count = 0;
    DIR* dir = opendir(folder.c_str());
    while (dirent* entry = dir ? readdir(dir) : nullptr)
        count += strstr(entry->d_name, ".part") != nullptr;
    if (dir)
        closedir(dir);
    return count;
}

// Runs build/moxel -run PROGRAM -plots in folder with the environment words before it.
int runPlots(const std::string& folder, const std::string& environment, const std::string& program)
{
    const std::string command = "cd '" + folder + "' && " + environment + " '" MOXEL_BINARY "' -run '" + program +
                                "' -plots >>'" + folder + "/out.txt' 2>>'" + folder + "/err.txt' </dev/null";
    const int raw = std::system(command.c_str());
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

}  // namespace

// Ten runs of one program at once, in five rounds, half of them at another image size:
// every run succeeds, and the image in place is always one whole image of either size.
TEST(PlotFiles, ConcurrentRunsEachWriteWholeImages)
{
    const std::string folder = testTempDir();
    writeTextFile(folder + "/p.mxl", LINE_FIT);
    writeSettings(folder + "/large", "BMPwidth=700\nBMPheight=550\n");
    writeSettings(folder + "/small", "BMPwidth=320\nBMPheight=240\n");
    std::string script = "cd '" + folder + "' && for k in 0 1 2 3 4 5 6 7 8 9; do ";
    script += "( if [ $((k % 2)) = 0 ]; then c=large; else c=small; fi; XDG_CONFIG_HOME=\"$PWD/$c\" '" MOXEL_BINARY
              "' -run p.mxl -plots >/dev/null 2>>err.txt </dev/null; echo $? >>status.txt ) & done; wait";
    for (int round = 0; round < 5; round++) {
        const int raw = std::system(script.c_str());
        ASSERT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 0);
        QImage image(QString::fromStdString(folder + "/p_plot1.jpg"));
        ASSERT_FALSE(image.isNull()) << "round " << round;
        EXPECT_TRUE(image.size() == QSize(700, 550) || image.size() == QSize(320, 240))
            << image.width() << " x " << image.height();
    }
    const std::vector<std::string> statuses = splitLines(readTextFile(folder + "/status.txt"));
    EXPECT_EQ(statuses.size(), 50u);
    for (const std::string& status : statuses)
        EXPECT_EQ(status, "0") << readTextFile(folder + "/err.txt");
    EXPECT_EQ(temporariesIn(folder), 0);
}

// A link planted at the name an image was once written under leads nowhere: its target
// stays as it was and the image takes its own name.
TEST(PlotFiles, PlantedLinkIsNeverFollowed)
{
    const std::string folder = testTempDir();
    mkdir((folder + "/outside").c_str(), 0700);
    mkdir((folder + "/run").c_str(), 0700);
    writeTextFile(folder + "/outside/precious.txt", "precious\n");
    ASSERT_EQ(symlink("../outside/precious.txt", (folder + "/run/o_plot1.jpg.part").c_str()), 0);
    const MoxelRun run = runMoxel(LINE_FIT, "o", folder + "/run", {"-plots"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(readTextFile(folder + "/outside/precious.txt"), "precious\n");
    EXPECT_FALSE(QImage(QString::fromStdString(folder + "/run/o_plot1.jpg")).isNull());
}

// A platform named in the environment that cannot start (no display, none of that name,
// an empty name) does not stop batch drawing: it is always done off the screen.
TEST(PlotFiles, AnyPlatformInTheEnvironmentDrawsOffTheScreen)
{
    for (const char* platform : {"xcb", "wayland", "", "nosuchplatform"}) {
        const std::string folder = testTempDir();
        writeTextFile(folder + "/p.mxl", LINE_FIT);
        const int status = runPlots(folder, std::string("DISPLAY= WAYLAND_DISPLAY= QT_QPA_PLATFORM='") + platform + "'",
                                    "p.mxl");
        EXPECT_EQ(status, 0) << platform << ": " << readTextFile(folder + "/err.txt");
        EXPECT_FALSE(QImage(QString::fromStdString(folder + "/p_plot1.jpg")).isNull()) << platform;
    }
}
