// Start-up of the window: the display check, the application object, the program icon,
// the main frame with its document, and the first-start offer of the tutorial.
#include "app/window.h"

#include <QApplication>
#include <QFileInfo>
#include <QPainter>
#include <QPainterPath>
#include <QSocketNotifier>
#include <QTimer>

#include <atomic>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

#include "app/commandline.h"
#include "app/dialogs.h"
#include "app/mainframe.h"
#include "plot/settings.h"
#include "support/safefile.h"

const char MSG_NO_DISPLAY[] =
    "moxel: no display is available for the window.\n"
    "To run a program without a window, use: moxel -run PROGRAM.mxl\n";

namespace {

// SIGTERM and SIGHUP (the terminal closed) reach the interface thread through a pipe:
// the handler only writes the signal's number.
struct WindowSignals {
    int pipe[2] = {-1, -1};                // read end watched by the event loop, write end for the handler
    std::atomic<bool> pending{false};      // such a signal is being answered
};

WindowSignals windowSignals;

// A second SIGTERM while the first is answered ends the process at once, without the
// temporary files it was writing.
void onTerminate(int signalNumber)
{
    if (windowSignals.pending.exchange(true)) {
        safeFileRemoveTemporaries();
        safeFileEndBySignal(signalNumber);
    }
    const char byte = static_cast<char>(signalNumber);
    if (write(windowSignals.pipe[1], &byte, 1) != 1) {
        // A full pipe already holds the request.
    }
}

// Answers SIGTERM on the interface thread as the end of a session does, without asking.
void watchTermination(QApplication* application, CMainFrame* frame)
{
    if (pipe2(windowSignals.pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    auto* notifier = new QSocketNotifier(windowSignals.pipe[0], QSocketNotifier::Read, application);
    QObject::connect(notifier, &QSocketNotifier::activated, frame, [frame, notifier] {
        notifier->setEnabled(false);
        char signalNumber = SIGTERM;
        if (read(windowSignals.pipe[0], &signalNumber, 1) != 1)
            signalNumber = SIGTERM;
        frame->endWithoutAsking();
        // Ends every event loop running now (a message box's too); a signal answered
        // inside a box shown before the main loop started ends that loop once it runs.
        const int status = 128 + signalNumber;
        QCoreApplication::exit(status);
        QMetaObject::invokeMethod(qApp, [status] { QCoreApplication::exit(status); }, Qt::QueuedConnection);
    });
    struct sigaction terminate = {};
    terminate.sa_handler = onTerminate;
    sigemptyset(&terminate.sa_mask);
    sigaction(SIGTERM, &terminate, nullptr);
    sigaction(SIGHUP, &terminate, nullptr);
}

// Qt ends the process when its platform cannot start (a display that does not answer):
// the user gets the same advice as without a display instead of Qt's abort.
void windowQtMessage(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (type == QtFatalMsg) {
        fputs(MSG_NO_DISPLAY, stderr);
        fflush(stderr);
        _exit(1);
    }
    if (type == QtCriticalMsg)
        fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
}

// The program's icon: a fitted curve through measured points on a light page.
QIcon programIcon()
{
    QIcon icon;
    for (const int size : {16, 24, 32, 48, 64, 128, 256}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.scale(size / 64.0, size / 64.0);
        painter.setPen(QPen(QColor(40, 60, 110), 2));
        painter.setBrush(QColor(245, 247, 252));
        painter.drawRoundedRect(QRectF(3, 3, 58, 58), 8, 8);
        painter.setPen(QPen(QColor(40, 60, 110), 2.5));
        painter.drawLine(QPointF(12, 52), QPointF(56, 52));
        painter.drawLine(QPointF(12, 52), QPointF(12, 9));
        QPainterPath curve(QPointF(12, 50));
        curve.cubicTo(QPointF(26, 48), QPointF(30, 14), QPointF(56, 12));
        painter.setPen(QPen(QColor(200, 40, 40), 3.5));
        painter.setBrush(Qt::NoBrush);
        painter.drawPath(curve);
        painter.setPen(QPen(QColor(20, 90, 200), 3));
        for (const QPointF& point : {QPointF(18, 45), QPointF(25, 37), QPointF(31, 24), QPointF(40, 18), QPointF(50, 13)}) {
            painter.drawLine(point + QPointF(-3, -3), point + QPointF(3, 3));
            painter.drawLine(point + QPointF(-3, 3), point + QPointF(3, -3));
        }
        icon.addPixmap(pixmap);
    }
    return icon;
}

}  // namespace

void windowUseCNumbers()
{
    // setlocale is process-wide: every thread started later (the analysis worker, Qt's
    // own) formats and reads numbers the same way. No thread of ours runs yet.
    setlocale(LC_NUMERIC, "C");
}

bool windowDisplayAvailable()
{
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        const char* value = getenv(name);
        if (value && *value)
            return true;
    }
    return false;
}

int windowRun(int argc, char** argv, const CommandLine& commandLine)
{
    if (!windowDisplayAvailable()) {
        fputs(MSG_NO_DISPLAY, stderr);
        return 1;
    }
    qInstallMessageHandler(windowQtMessage);
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("MOXEL"));
    QApplication::setOrganizationName(QStringLiteral("MOXEL"));
    QApplication::setDesktopFileName(QStringLiteral("moxel"));
    windowUseCNumbers();
    application.setWindowIcon(programIcon());
    qInstallMessageHandler(nullptr);

    CMainFrame frame;
    QObject::connect(&application, &QGuiApplication::commitDataRequest, &frame, &CMainFrame::commitData,
                     Qt::DirectConnection);
    watchTermination(&application, &frame);
    if (!commandLine.documentPath.empty())
        frame.openDocument(QFileInfo(QString::fromLocal8Bit(commandLine.documentPath.c_str())).absoluteFilePath());
    frame.show();
    QTimer::singleShot(0, &frame, [&frame] {
        frame.offerRecoveredText();
        if (settingsReadInt("FirstTime") == 1)
            return;
        settingsWriteInt("FirstTime", 1);
        if (dialogsOfferTutorial(&frame))
            frame.runTutorial();
    });
    return application.exec();
}
