// Batch mode's -plots option. Drawing text needs a QGuiApplication; batch runs without
// plots never start one, so they stay as quick as before.
#include "app/batchplots.h"

#include <QGuiApplication>

#include <cstdio>
#include <cstdlib>
#include <memory>

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

// Qt's remarks about the environment (a missing runtime folder, say) are not the
// user's business in batch mode; its errors still reach standard error.
void quietQtMessage(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (type == QtCriticalMsg || type == QtFatalMsg)
        fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
}


bool savePlots(const char* programPath, const char* suffix)
{
    std::unique_ptr<QGuiApplication> application;
    if (!QGuiApplication::instance()) {
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
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
