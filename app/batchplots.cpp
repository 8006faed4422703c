// Batch mode's -plots option. Drawing text needs a QGuiApplication; batch runs without
// plots never start one, so they stay as quick as before.
#include "app/batchplots.h"

#include <QGuiApplication>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <unistd.h>

#include "analysis/driver.h"
#include "app/window.h"
#include "lang/options.h"
#include "plot/export.h"

namespace {

struct BatchPlotsState {
    int argc;                   // QGuiApplication keeps a reference to it
    char name[8];               // the program name it is shown
    char* argv[2];              // name and the terminating null
    PlotBatchFormat format;     // -plot-format and -plot-size
};

BatchPlotsState batchPlots = {1, "moxel", {nullptr, nullptr}, {}};

const char MSG_NO_DRAWING[] = "Error: the plots could not be drawn (%s)\n";

// Qt's remarks about the environment (a missing runtime folder, say) are not the
// user's business in batch mode; its errors still reach standard error. A drawing that
// cannot start ends the run with status 1 and a message, never with Qt's abort.
void quietQtMessage(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (type == QtFatalMsg) {
        fprintf(stderr, MSG_NO_DRAWING, message.toLocal8Bit().constData());
        fflush(stdout);
        fflush(stderr);
        _exit(1);
    }
    if (type == QtCriticalMsg)
        fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
}


bool savePlots(const char* programPath, const char* suffix)
{
    std::unique_ptr<QGuiApplication> application;
    if (!QGuiApplication::instance()) {
        // The images are drawn off the screen whatever platform the environment names:
        // a display that is missing or refuses must not stop a batch run.
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        qInstallMessageHandler(quietQtMessage);
        batchPlots.argc = 1;
        batchPlots.argv[0] = batchPlots.name;
        application = std::make_unique<QGuiApplication>(batchPlots.argc, batchPlots.argv);
        windowUseCNumbers();   // the plots' labels keep decimal points
    }
    return exportAllPlots(programPath, suffix, batchPlots.format);
}

}  // namespace

void batchSetPlotFormat(int fileType, int width, int height)
{
    batchPlots.format.fileType = fileType;
    batchPlots.format.width = width;
    batchPlots.format.height = height;
}

void batchPlotOutputNames(const std::string& programPath, std::vector<std::pair<std::string, std::string>>* uses)
{
    exportPlotFileNames(programPath, uses, batchPlots.format);
}

bool batchSavePlots(const char* programPath)
{
    if (!analysis.analysisCompleted || !plotList)
        return true;
    return savePlots(programPath, "_plot");
}

bool batchSavePreviewPlots(const char* programPath)
{
    if (!plotList || !analysis.predicted)
        return true;
    return savePlots(programPath, "_preview");
}
