// The main frame: views, menus, the Run command with its progress dialog, the end of a
// run, printing and the window's settings (its file commands are in document.cpp).
#include "app/mainframe.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCloseEvent>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QInputDialog>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QPageSetupDialog>
#include <QPrintDialog>
#include <QPrintPreviewDialog>
#include <QPrinter>
#include <QProgressDialog>
#include <QPushButton>
#include <QRegularExpression>
#include <QSaveFile>
#include <QScreen>
#include <QSessionManager>
#include <QSplitter>
#include <QStackedWidget>
#include <QStatusBar>
#include <QStyle>
#include <QTextBlock>
#include <QThread>
#include <QTimer>
#include <QToolBar>
#include <QWizard>

#include <climits>
#include <unistd.h>

#include "analysis/bands.h"
#include "analysis/driver.h"
#include "analysis/jsonresults.h"
#include "analysis/output.h"
#include "analysis/preview.h"
#include "analysis/results.h"
#include "analysis/report.h"
#include "analysis/runcommand.h"
#include "app/dialogs.h"
#include "app/document.h"
#include "app/editview.h"
#include "app/groupbatch.h"
#include "app/printing.h"
#include "exec/interpreter.h"
#include "lang/data.h"
#include "lang/lexer.h"
#include "lang/options.h"
#include "lang/symbols.h"
#include "plot/colours.h"
#include "plot/export.h"
#include "plot/plotmodel.h"
#include "plot/settings.h"
#include "support/listing.h"
#include "support/version.h"

namespace {

const char APP_TITLE[] = "MOXEL -- Nonlinear Regression Analysis";
const char MSG_RUNNING[] = "Running the analysis...";
const char MSG_NO_MANUAL[] = "The manual (Manual.txt) was not found beside the program.";
const char MSG_NOT_STARTED[] = "The analysis could not be started.";
const char MSG_DOUBTFUL[] = "The result is doubtful: the data do not determine every parameter (see Diagnosis).";
const char COPY_FOLDER[] = "MOXEL/examples";    // under the home folder
const char MANUAL_NAME[] = "Manual.txt";
const char SHARED_FOLDER[] = "/../share/moxel";
constexpr int SPLIT_PERCENT = 60;   // share of the frame the source pane takes by default

// ORDER VIEW: captions of the views in the status bar.
struct ViewCaption {
    int view;
    const char* text;
};

const ViewCaption viewCaptions[] = {
    {VIEW_PROGRAM, "Edit program source"},
    {VIEW_ANALYSIS, "Results of analysis"},
    {VIEW_VARIABLES, "Variables specified in program"},
    {VIEW_PARAMETERS, "Parameter values calculated by the analysis"},
};

// The frame that receives the end of a run and the message pane that shows the screen
// listing; both are told from the worker thread.
struct FrameState {
    CMainFrame* frame;          // the one main window, or null
    StatusView* messages;       // its message pane, or null
};

FrameState frameState = {nullptr, nullptr};

void onWorkerEnd(int)
{
    if (frameState.frame)
        QMetaObject::invokeMethod(frameState.frame, &CMainFrame::analysisFinished, Qt::QueuedConnection);
}

void onListingLine(const char*)
{
    if (frameState.messages)
        frameState.messages->noteNewLines();
}

// The allocator's error box: a message box titled "Error" on the interface thread.
void onErrorBox(const char* text)
{
    const QString message = QString::fromLatin1(text).trimmed();
    QWidget* owner = frameState.frame;
    if (QThread::currentThread() == qApp->thread())
        QMessageBox::critical(owner, QStringLiteral("Error"), message);
    else
        QMetaObject::invokeMethod(qApp, [message] { QMessageBox::critical(nullptr, QStringLiteral("Error"), message); },
                                  Qt::QueuedConnection);
}

QString existingFile(const QStringList& candidates)
{
    for (const QString& path : candidates)
        if (!path.isEmpty() && QFileInfo::exists(path))
            return QFileInfo(path).absoluteFilePath();
    return QString();
}

// Data reading in the window: a progress window with the count of records and Cancel
// once more than DATA_PROGRESS_RECORDS have been read, refreshed and answered every
// DATA_PROGRESS_REFRESH_MS while the compile reads on the interface thread.
constexpr int DATA_PROGRESS_RECORDS = 4999;
constexpr int DATA_PROGRESS_REFRESH_MS = 100;

struct DataReading {
    QWidget* owner;             // the main window
    QProgressDialog* dialog;    // shown once enough records were read, else null
    QElapsedTimer clock;        // since the last refresh
};

DataReading dataReading = {nullptr, nullptr, {}};

bool showDataProgress(int records, bool finished)
{
    if (finished) {
        delete dataReading.dialog;
        dataReading.dialog = nullptr;
        return true;
    }
    if (records <= DATA_PROGRESS_RECORDS ||
        (dataReading.clock.isValid() && dataReading.clock.elapsed() < DATA_PROGRESS_REFRESH_MS))
        return true;
    dataReading.clock.start();
    if (!dataReading.dialog) {
        dataReading.dialog = new QProgressDialog(QString(), QStringLiteral("Cancel"), 0, 0, dataReading.owner);
        dataReading.dialog->setWindowTitle(QStringLiteral("Reading data..."));
        dataReading.dialog->setWindowModality(Qt::WindowModal);
        dataReading.dialog->setMinimumDuration(0);
        dataReading.dialog->show();
    }
    dataReading.dialog->setLabelText(QStringLiteral("Records read: %1").arg(records));
    QCoreApplication::processEvents();
    return !dataReading.dialog->wasCanceled();
}

// Where unsaved text goes when the program's own folder cannot take it:
// $XDG_STATE_HOME/MOXEL/recovery (~/.local/state/MOXEL/recovery by default).
QString recoveryFolder()
{
    QString state = qEnvironmentVariable("XDG_STATE_HOME");
    if (state.isEmpty() || !QDir::isAbsolutePath(state))
        state = QDir::homePath() + QStringLiteral("/.local/state");
    return state + QStringLiteral("/MOXEL/recovery");
}

bool writeWhole(const QString& path, const QByteArray& bytes)
{
    QSaveFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit();
}

QAction* makeAction(QObject* parent, const char* name, const QString& text, const QList<QKeySequence>& keys = {})
{
    QAction* action = new QAction(text, parent);
    action->setObjectName(QLatin1String(name));
    action->setShortcuts(keys);
    return action;
}

QIcon themeIcon(const char* name, QStyle::StandardPixmap fallback)
{
    return QIcon::fromTheme(QLatin1String(name), QApplication::style()->standardIcon(fallback));
}

}  // namespace

int frameSplitHeight(int stored, int frameHeight)
{
    if (stored <= 0)
        return frameHeight * SPLIT_PERCENT / 100;
    if (stored < SPLIT_MIN)
        return SPLIT_MIN;
    if (frameHeight - stored < SPLIT_ROOM_BELOW)
        return frameHeight - SPLIT_ROOM_BELOW;
    return stored;
}

int frameRestoredSplitHeight(int stored, int normalHeight)
{
    const int height = stored < SPLIT_MIN ? normalHeight * SPLIT_PERCENT / 100 : stored;
    return std::max(height, SPLIT_MIN);
}

QString frameManualPath()
{
    const std::string folder = settingsReadString("Path");
    const QString programFolder = QCoreApplication::applicationDirPath();
    return existingFile({folder.empty() ? QString() : QString::fromStdString(settingsJoinProgramFolder(MANUAL_NAME)),
                         programFolder + QLatin1Char('/') + QLatin1String(MANUAL_NAME),
                         programFolder + QLatin1String(SHARED_FOLDER) + QLatin1Char('/') + QLatin1String(MANUAL_NAME)});
}

QString frameExamplesFolder()
{
    const QString programFolder = QCoreApplication::applicationDirPath();
    const QString found = existingFile({programFolder + QLatin1String("/examples"),
                                        programFolder + QLatin1String(SHARED_FOLDER) + QLatin1String("/examples"),
                                        programFolder + QLatin1String("/../examples")});
    return found.isEmpty() ? programFolder + QLatin1String(SHARED_FOLDER) + QLatin1String("/examples") : found;
}

QRect frameDefaultGeometry(const QRect& available)
{
    const auto side = [](int room, int share, int least) { return std::min(room, std::max(least, room * share / 100)); };
    const int width = side(available.width(), FRAME_WIDTH_PERCENT, FRAME_WIDTH);
    const int height = side(available.height(), FRAME_HEIGHT_PERCENT, FRAME_HEIGHT);
    return QRect(available.x() + (available.width() - width) / 2, available.y() + (available.height() - height) / 2,
                 width, height);
}

long frameSweepSteps()
{
    return driverSweepPoints();
}

bool frameFolderWritable(const QString& folder)
{
    return access(QFile::encodeName(folder).constData(), W_OK | X_OK) == 0;
}

QString frameCopyFolder()
{
    return QDir::homePath() + QLatin1Char('/') + QLatin1String(COPY_FOLDER);
}

bool frameCopyProgram(const QString& programPath, const QString& text, const QString& folder, QString* message)
{
    const QFileInfo program(programPath);
    const QDir source = program.absoluteDir();
    const QDir target(folder);
    if (!QDir().mkpath(folder)) {
        *message = QStringLiteral("Unable to create the folder %1").arg(folder);
        return false;
    }
    QSaveFile copy(target.filePath(program.fileName()));
    if (!copy.open(QIODevice::WriteOnly) || copy.write(text.toUtf8()) < 0 || !copy.commit()) {
        *message = QStringLiteral("Unable to write %1 (%2)").arg(copy.fileName(), copy.errorString());
        return false;
    }
    // The data files the program names travel with it; a copy the user already has
    // (and may have changed) is kept.
    const QRegularExpression quoted(QStringLiteral("\"([^\"\\n]+)\""));
    for (const QRegularExpressionMatch& match : quoted.globalMatch(text)) {
        QString name = match.captured(1).trimmed();
        if (name.isEmpty() || QDir::isAbsolutePath(name) || name.contains(QLatin1String("..")))
            continue;
        if (QFileInfo(name).suffix().isEmpty() && !QFileInfo(source.filePath(name)).isFile())
            name += QLatin1String(".dat");
        const QFileInfo original(source.filePath(name));
        if (!original.isFile() || QFileInfo::exists(target.filePath(name)))
            continue;
        QDir().mkpath(QFileInfo(target.filePath(name)).absolutePath());
        QFile::copy(original.absoluteFilePath(), target.filePath(name));
        QFile(target.filePath(name)).setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                    QFileDevice::ReadGroup | QFileDevice::ReadOther);
    }
    return true;
}

CMainFrame::CMainFrame() : printer(new QPrinter(QPrinter::HighResolution))
{
    const QScreen* screen = QGuiApplication::primaryScreen();
    setGeometry(frameDefaultGeometry(screen ? screen->availableGeometry() : QRect(0, 0, FRAME_WIDTH, FRAME_HEIGHT)));
    createViews();
    createActions();
    createMenus();
    createToolBar();
    createStatusBar();
    readSettings();
    frameState = {this, messages};
    listingSetSink(onListingLine);
    errorBoxSetHandler(onErrorBox);
    driverSetEndHandler(onWorkerEnd);
    progressTimer = new QTimer(this);
    progressTimer->setInterval(PROGRESS_PERIOD_MS);
    connect(progressTimer, &QTimer::timeout, this, &CMainFrame::progressTick);
    progressTimer->start();
    setAcceptDrops(true);
    doc->newDocument();
    refreshMenus();
}

CMainFrame::~CMainFrame()
{
    if (runPending) {
        abortRequested.store(true);
        driverWait();
        analysisRunning.store(false);
    }
    listingSetSink(nullptr);
    errorBoxSetHandler(nullptr);
    driverSetEndHandler(nullptr);
    frameState = {nullptr, nullptr};
    messages->clear();
    runCommandRelease();
    delete printer;
}

void CMainFrame::createViews()
{
    editor = new EditView;
    messages = new StatusView;
    doc = new CMOXELDoc(editor, this);
    splitter = new QSplitter(Qt::Vertical);
    splitter->addWidget(editor);
    splitter->addWidget(messages);
    splitter->setChildrenCollapsible(false);
    editor->setMinimumHeight(SPLIT_MIN);
    listing = new CAnalysisView;
    parameterTable = new CParameterView;
    variableTable = new CVariableView;
    plot = new CPlotView;
    connect(plot, &CPlotView::pointerText, this, [this](const QString& text) {
        if (text.isEmpty())
            statusBar()->clearMessage();
        else
            statusBar()->showMessage(text);
    });
    connect(plot, &CPlotView::observationChosen, this, [this](int observation) {
        showNotice(CPlotView::observationText(observation).replace(QLatin1Char('\n'), QStringLiteral(", ")));
    });
    stack = new QStackedWidget;
    stack->addWidget(splitter);
    stack->addWidget(plot);
    stack->addWidget(listing);
    stack->addWidget(variableTable);
    stack->addWidget(parameterTable);
    setCentralWidget(stack);
    connect(editor, &EditView::fileDropped, this, [this](const QString& path) {
        if (!running() && maybeSave())
            openDocument(path);
    });
    connect(messages, &StatusView::sourceLineChosen, editor, &EditView::goToLine);
    connect(listing, &CAnalysisView::sourceLineChosen, this, [this](int lineNumber) {
        showView(VIEW_PROGRAM);
        editor->goToLine(lineNumber);
    });
    connect(editor->document(), &QTextDocument::modificationChanged, this, [this] {
        updateTitle();
        refreshMenus();
    });
    connect(editor, &QPlainTextEdit::blockCountChanged, this, &CMainFrame::updateRunAction);
    connect(doc, &CMOXELDoc::pathChanged, this, &CMainFrame::updateTitle);
}

void CMainFrame::createActions()
{
    QAction* a;
    a = makeAction(this, "fileNew", QStringLiteral("&New"), {QKeySequence(Qt::CTRL | Qt::Key_N)});
    a->setIcon(themeIcon("document-new", QStyle::SP_FileIcon));
    connect(a, &QAction::triggered, this, &CMainFrame::fileNew);
    a = makeAction(this, "fileOpen", QStringLiteral("&Open..."), {QKeySequence(Qt::CTRL | Qt::Key_O)});
    a->setIcon(themeIcon("document-open", QStyle::SP_DialogOpenButton));
    connect(a, &QAction::triggered, this, &CMainFrame::fileOpen);
    a = makeAction(this, "fileSave", QStringLiteral("&Save"), {QKeySequence(Qt::CTRL | Qt::Key_S)});
    a->setIcon(themeIcon("document-save", QStyle::SP_DialogSaveButton));
    connect(a, &QAction::triggered, this, &CMainFrame::fileSave);
    a = makeAction(this, "fileSaveAs", QStringLiteral("Save &As..."));
    connect(a, &QAction::triggered, this, &CMainFrame::fileSaveAs);
    a = makeAction(this, "filePrint", QStringLiteral("&Print..."), {QKeySequence(Qt::CTRL | Qt::Key_P)});
    a->setIcon(themeIcon("document-print", QStyle::SP_ComputerIcon));
    connect(a, &QAction::triggered, this, [this] { printActiveView(false); });
    a = makeAction(this, "filePrintPreview", QStringLiteral("Print Pre&view"));
    connect(a, &QAction::triggered, this, [this] { printActiveView(true); });
    a = makeAction(this, "filePrintSetup", QStringLiteral("P&rint Setup..."));
    connect(a, &QAction::triggered, this, [this] {
        QPageSetupDialog dialog(printer, this);
        dialog.exec();
    });
    a = makeAction(this, "fileExit", QStringLiteral("E&xit"));
    connect(a, &QAction::triggered, this, &QWidget::close);

    a = makeAction(this, "editUndo", QStringLiteral("&Undo"),
                   {QKeySequence(Qt::CTRL | Qt::Key_Z), QKeySequence(Qt::ALT | Qt::Key_Backspace)});
    connect(a, &QAction::triggered, editor, &QPlainTextEdit::undo);
    a = makeAction(this, "editRedo", QStringLiteral("&Redo"),
                   {QKeySequence(Qt::CTRL | Qt::Key_Y), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Z)});
    connect(a, &QAction::triggered, editor, &QPlainTextEdit::redo);
    a = makeAction(this, "editFind", QStringLiteral("&Find..."), {QKeySequence(Qt::CTRL | Qt::Key_F)});
    connect(a, &QAction::triggered, this, [this] { showFind(false); });
    a = makeAction(this, "editFindNext", QStringLiteral("Find &next"), {QKeySequence(Qt::Key_F3)});
    connect(a, &QAction::triggered, this, [this] { findAgain(false); });
    a = makeAction(this, "editFindPrevious", QStringLiteral("Find pre&vious"), {QKeySequence(Qt::SHIFT | Qt::Key_F3)});
    connect(a, &QAction::triggered, this, [this] { findAgain(true); });
    a = makeAction(this, "editReplace", QStringLiteral("R&eplace..."), {QKeySequence(Qt::CTRL | Qt::Key_H)});
    connect(a, &QAction::triggered, this, [this] { showFind(true); });
    a = makeAction(this, "editCut", QStringLiteral("Cu&t"),
                   {QKeySequence(Qt::CTRL | Qt::Key_X), QKeySequence(Qt::SHIFT | Qt::Key_Delete)});
    a->setIcon(QIcon::fromTheme(QStringLiteral("edit-cut")));
    connect(a, &QAction::triggered, editor, &QPlainTextEdit::cut);
    a = makeAction(this, "editCopy", QStringLiteral("&Copy"),
                   {QKeySequence(Qt::CTRL | Qt::Key_C), QKeySequence(Qt::CTRL | Qt::Key_Insert)});
    a->setIcon(QIcon::fromTheme(QStringLiteral("edit-copy")));
    connect(a, &QAction::triggered, this, [this] {
        if (active == VIEW_ANALYSIS)
            listing->copy();
        else if (active == VIEW_PLOT)
            plot->copyToClipboard();
        else
            editor->copy();
    });
    a = makeAction(this, "editCopyPlot", QStringLiteral("Copy p&lot"));
    a->setToolTip(QStringLiteral("Put the plot on the clipboard as an image and as SVG"));
    connect(a, &QAction::triggered, this, [this] { plot->copyToClipboard(); });
    a = makeAction(this, "editPaste", QStringLiteral("&Paste"),
                   {QKeySequence(Qt::CTRL | Qt::Key_V), QKeySequence(Qt::SHIFT | Qt::Key_Insert)});
    a->setIcon(QIcon::fromTheme(QStringLiteral("edit-paste")));
    connect(a, &QAction::triggered, editor, &QPlainTextEdit::paste);
    a = makeAction(this, "editInsertFile", QStringLiteral("&Insert file"));
    connect(a, &QAction::triggered, this, &CMainFrame::insertFileCommand);

    a = makeAction(this, "run", QStringLiteral("&Run"));
    connect(a, &QAction::triggered, this, &CMainFrame::runAnalysis);
    a = makeAction(this, "preview", QStringLiteral("Previe&w"), {QKeySequence(Qt::Key_F8)});
    a->setToolTip(QStringLiteral("Preview: the model at the start values, without fitting (F8)"));
    a->setIcon(QIcon::fromTheme(QStringLiteral("document-print-preview")));
    connect(a, &QAction::triggered, this, &CMainFrame::previewAnalysis);

    QActionGroup* views = new QActionGroup(this);
    const struct {
        const char* name;
        const char* text;
        int view;
    } viewItems[] = {
        {"viewProgram", "&Program", VIEW_PROGRAM},
        {"viewAnalysis", "&Analysis", VIEW_ANALYSIS},
        {"viewVariables", "&Variables", VIEW_VARIABLES},
        {"viewParameters", "Pa&rameters", VIEW_PARAMETERS},
    };
    for (const auto& item : viewItems) {
        a = makeAction(this, item.name, QLatin1String(item.text));
        a->setCheckable(true);
        views->addAction(a);
        const int view = item.view;
        connect(a, &QAction::triggered, this, [this, view] {
            if (view == VIEW_ANALYSIS && listing->listingPath().isEmpty() && !listing->loadListing(listingPath)) {
                hasListing = false;
                refreshMenus();
                return;
            }
            showView(view);
        });
    }
    views->setExclusionPolicy(QActionGroup::ExclusionPolicy::None);
    plotAction = makeAction(this, "viewPlot", QLatin1String(PLOT_MENU_ITEM));
    plotAction->setCheckable(true);
    connect(plotAction, &QAction::triggered, this, [this] {
        const std::vector<PlotMenuItem> items = plotMenuItems();
        if (!items.empty())
            selectPlot(items.front().command);
    });

    for (int set = 0; set < COLOUR_SET_COUNT; ++set) {
        const std::string name = "colours" + std::to_string(set);
        a = makeAction(this, name.c_str(), QLatin1String(colourSetNames[set]));
        connect(a, &QAction::triggered, this, [this, set] { chooseColours(set); });
    }
    a = makeAction(this, "viewZoomIn", QStringLiteral("Zoom &in"), {QKeySequence(Qt::CTRL | Qt::Key_Plus),
                                                                    QKeySequence(Qt::CTRL | Qt::Key_Equal)});
    connect(a, &QAction::triggered, this, [this] { plot->zoomIn(); });
    a = makeAction(this, "viewZoomOut", QStringLiteral("Zoom &out"), {QKeySequence(Qt::CTRL | Qt::Key_Minus)});
    connect(a, &QAction::triggered, this, [this] { plot->zoomOut(); });
    a = makeAction(this, "viewZoomReset", QStringLiteral("R&eset zoom"), {QKeySequence(Qt::CTRL | Qt::Key_0)});
    connect(a, &QAction::triggered, this, [this] { plot->resetView(); });
    a = makeAction(this, "viewAxes", QStringLiteral("A&xis ranges..."));
    connect(a, &QAction::triggered, this, [this] { plot->editAxes(); });

    a = makeAction(this, "savePlot", QStringLiteral("Save-&plot"));
    connect(a, &QAction::triggered, this, &CMainFrame::savePlot);
    // The toolbar's button for the same command carries an icon, which the menu bar
    // would show in place of the text.
    a = makeAction(this, "savePlotButton", QStringLiteral("Save plot"));
    a->setIcon(themeIcon("image-x-generic", QStyle::SP_DriveFDIcon));
    a->setToolTip(QStringLiteral("Write the plot image to a disk file"));
    connect(a, &QAction::triggered, this, &CMainFrame::savePlot);
    a = makeAction(this, "saveBandTable", QStringLiteral("Save band &table"));
    a->setToolTip(QStringLiteral("Write the plot's bands as PROGRAM_plotK.csv beside the program"));
    connect(a, &QAction::triggered, this, &CMainFrame::saveBandTable);

    a = makeAction(this, "runByGroup", QStringLiteral("Run by &group..."));
    a->setToolTip(QStringLiteral("Fit the program once per group of its data's records, with a table of the results"));
    connect(a, &QAction::triggered, this, &CMainFrame::runByGroup);
    a = makeAction(this, "saveResultsJson", QStringLiteral("Save results as &JSON..."));
    a->setToolTip(QStringLiteral("Write every figure of the Final Results as one JSON document"));
    connect(a, &QAction::triggered, this, [this] { saveResults(true); });
    a = makeAction(this, "saveParameterCsv", QStringLiteral("Save parameters as &CSV..."));
    a->setToolTip(QStringLiteral("Write the parameter table (estimates, standard errors, limits) as CSV"));
    connect(a, &QAction::triggered, this, [this] { saveResults(false); });

    a = makeAction(this, "helpAbout", QStringLiteral("&About MOXEL..."));
    a->setIcon(themeIcon("help-about", QStyle::SP_MessageBoxInformation));
    connect(a, &QAction::triggered, this, &CMainFrame::about);
    a = makeAction(this, "helpTopics", QStringLiteral("&Help topics"), {QKeySequence(Qt::Key_F1)});
    connect(a, &QAction::triggered, this, &CMainFrame::viewManual);
    a = makeAction(this, "tutorial", QStringLiteral("&Introductory tutorial"));
    connect(a, &QAction::triggered, this, &CMainFrame::runTutorial);
    a = makeAction(this, "viewManual", QStringLiteral("&View manual"));
    connect(a, &QAction::triggered, this, &CMainFrame::viewManual);
    a = makeAction(this, "printManual", QStringLiteral("&Print manual"));
    connect(a, &QAction::triggered, this, &CMainFrame::printManual);
    a = makeAction(this, "examples", QStringLiteral("&Examples"));
    connect(a, &QAction::triggered, this, &CMainFrame::showExamples);
    // The allocator's listing: a diagnostic reached by its shortcut alone.
    a = makeAction(this, "memoryBlocks", QStringLiteral("Memory Block Types"),
                   {QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_M)});
    connect(a, &QAction::triggered, this, &CMainFrame::showMemoryBlocks);
    addAction(a);

    // F6 and Shift+F6 move between the two panes of the program view.
    a = makeAction(this, "nextPane", QStringLiteral("Next pane"),
                   {QKeySequence(Qt::Key_F6), QKeySequence(Qt::SHIFT | Qt::Key_F6)});
    connect(a, &QAction::triggered, this, [this] {
        if (active == VIEW_PROGRAM)
            (editor->hasFocus() ? static_cast<QWidget*>(messages) : editor)->setFocus();
    });
    addAction(a);
}

QAction* CMainFrame::action(const char* name) const
{
    return findChild<QAction*>(QLatin1String(name));
}

QMenu* CMainFrame::menu(const char* name) const
{
    return findChild<QMenu*>(QLatin1String(name));
}

void CMainFrame::createMenus()
{
    QMenuBar* bar = menuBar();
    const auto addMenu = [bar](const char* name, const QString& title) {
        QMenu* m = bar->addMenu(title);
        m->setObjectName(QLatin1String(name));
        return m;
    };
    QMenu* file = addMenu("fileMenu", QStringLiteral("&File"));
    for (const char* name : {"fileNew", "fileOpen", "fileSave", "fileSaveAs"})
        file->addAction(action(name));
    file->addSeparator();
    file->addAction(action("saveResultsJson"));
    file->addAction(action("saveParameterCsv"));
    file->addSeparator();
    for (const char* name : {"filePrint", "filePrintPreview", "filePrintSetup"})
        file->addAction(action(name));
    file->addSeparator();
    recentMenu = file->addMenu(QStringLiteral("Recent files"));
    recentMenu->setObjectName(QStringLiteral("recentMenu"));
    connect(recentMenu, &QMenu::aboutToShow, this, [this] {
        recentMenu->clear();
        int number = 1;
        for (const QString& path : doc->recentFiles()) {
            QAction* item = recentMenu->addAction(QStringLiteral("&%1 %2").arg(number++).arg(path));
            connect(item, &QAction::triggered, this, [this, path] {
                if (maybeSave())
                    openDocument(path);
            });
        }
    });
    file->addSeparator();
    file->addAction(action("fileExit"));

    QMenu* edit = addMenu("editMenu", QStringLiteral("&Edit"));
    for (const char* name : {"editUndo", "editRedo", "", "editCut", "editCopy", "editPaste", "", "editFind",
                             "editFindNext", "editFindPrevious", "editReplace", "", "editInsertFile", "",
                             "editCopyPlot"}) {
        if (*name)
            edit->addAction(action(name));
        else
            edit->addSeparator();
    }

    QMenu* show = addMenu("showMenu", QStringLiteral("&Show"));
    QAction* toolBarItem = show->addAction(QStringLiteral("&Toolbar"));
    toolBarItem->setObjectName(QStringLiteral("showToolbar"));
    toolBarItem->setCheckable(true);
    toolBarItem->setChecked(true);
    connect(toolBarItem, &QAction::toggled, this, [this](bool on) { toolBar->setVisible(on); });
    QAction* statusItem = show->addAction(QStringLiteral("&Status Bar"));
    statusItem->setObjectName(QStringLiteral("showStatusBar"));
    statusItem->setCheckable(true);
    statusItem->setChecked(true);
    connect(statusItem, &QAction::toggled, this, [this](bool on) { statusBar()->setVisible(on); });

    bar->addAction(action("run"));
    bar->addAction(action("preview"));
    bar->addAction(action("runByGroup"));

    QMenu* view = addMenu("viewMenu", QStringLiteral("&View"));
    view->addAction(action("viewProgram"));
    view->addAction(action("viewAnalysis"));
    view->addAction(plotAction);
    // The submenu takes the single item's mnemonic: P belongs to Program.
    plotMenu = view->addMenu(QLatin1String(PLOT_MENU_ITEM));
    plotMenu->setObjectName(QStringLiteral("plotMenu"));
    plotMenu->menuAction()->setVisible(false);
    view->addAction(action("viewVariables"));
    view->addAction(action("viewParameters"));
    view->addSeparator();
    for (const char* name : {"viewZoomIn", "viewZoomOut", "viewZoomReset", "viewAxes"})
        view->addAction(action(name));
    connect(view, &QMenu::aboutToShow, this, &CMainFrame::buildPlotMenu);

    QMenu* colours = addMenu("coloursMenu", QStringLiteral("&Colors"));
    for (int set = 0; set < COLOUR_SET_COUNT; ++set)
        colours->addAction(action(("colours" + std::to_string(set)).c_str()));
    bar->addAction(action("savePlot"));
    bar->addAction(action("saveBandTable"));

    QMenu* documentation = addMenu("documentationMenu", QStringLiteral("&Documentation"));
    for (const char* name : {"tutorial", "viewManual", "printManual", "examples"})
        documentation->addAction(action(name));
    QMenu* help = addMenu("helpMenu", QStringLiteral("&Help"));
    help->addAction(action("helpAbout"));
    help->addAction(action("helpTopics"));
    help->addAction(action("tutorial"));
}

void CMainFrame::createToolBar()
{
    toolBar = addToolBar(QStringLiteral("Toolbar"));
    toolBar->setObjectName(QStringLiteral("toolBar"));
    toolBar->setAllowedAreas(Qt::AllToolBarAreas);
    for (const char* name : {"fileNew", "fileOpen", "fileSave", "", "savePlotButton", "", "editCut", "editCopy",
                             "editPaste", "", "preview", "", "filePrint", "helpAbout"}) {
        if (!*name)
            toolBar->addSeparator();
        else
            toolBar->addAction(action(name));
    }
}

void CMainFrame::createStatusBar()
{
    caption = new QLabel;
    caption->setObjectName(QStringLiteral("caption"));
    statusBar()->addWidget(caption, 1);
    // Confirmations stand in a label of their own: a temporary status-bar message is
    // wiped by the first menu item the pointer or the keyboard passes over.
    notice = new QLabel;
    notice->setObjectName(QStringLiteral("notice"));
    statusBar()->addWidget(notice, 2);
    noticeTimer = new QTimer(this);
    noticeTimer->setSingleShot(true);
    connect(noticeTimer, &QTimer::timeout, notice, &QLabel::clear);
    // The lock-key indicators; the platform does not tell their state, so they stand
    // as plain labels.
    for (const char* text : {"CAP", "NUM", "SCRL"}) {
        QLabel* indicator = new QLabel(QLatin1String(text));
        indicator->setEnabled(false);
        statusBar()->addPermanentWidget(indicator);
    }
}

void CMainFrame::readSettings()
{
    colourSetsLoad();
    const int split = frameSplitHeight(settingsReadInt("WinSplitY"), height());
    splitter->setSizes({split, height() - split});
}

void CMainFrame::restorePlacement()
{
    if (placementRestored)
        return;
    placementRestored = true;
    if (settingsReadInt("WinFlags") == -1)
        return;
    const int left = settingsReadInt("WinLeft");
    const int top = settingsReadInt("WinTop");
    const int right = settingsReadInt("WinRight");
    const int bottom = settingsReadInt("WinBottom");
    if (right > left && bottom > top)
        setGeometry(left, top, right - left, bottom - top);
    const int split = frameRestoredSplitHeight(settingsReadInt("WinSplitY"), std::max(0, bottom - top));
    splitter->setSizes({split, std::max(SPLIT_MIN, splitter->height() - splitter->handleWidth() - split)});
    if (settingsReadInt("WinIconic") > 0)
        setWindowState(windowState() | Qt::WindowMinimized);
    else if (settingsReadInt("WinMax") > 0)
        setWindowState(windowState() | Qt::WindowMaximized);
}

void CMainFrame::savePlacement()
{
    const Qt::WindowStates state = windowState();
    const bool minimised = state & Qt::WindowMinimized;
    const bool maximised = state & Qt::WindowMaximized;
    const QRect normal = normalGeometry().isValid() ? normalGeometry() : geometry();
    settingsWriteInt("WinFlags", 0);
    settingsWriteInt("WinIconic", minimised ? 1 : 0);
    settingsWriteInt("WinMax", maximised ? 1 : 0);
    settingsWriteInt("WinLeft", normal.left());
    settingsWriteInt("WinTop", normal.top());
    settingsWriteInt("WinRight", normal.left() + normal.width());
    settingsWriteInt("WinBottom", normal.top() + normal.height());
    const QList<int> sizes = splitter->sizes();
    if (!sizes.isEmpty() && sizes.first() > 0)
        settingsWriteInt("WinSplitY", sizes.first());
}

void CMainFrame::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    restorePlacement();
}

bool CMainFrame::running() const
{
    return runPending;
}

int CMainFrame::sourcePaneHeight() const
{
    return splitter->sizes().value(0);
}

QString CMainFrame::statusCaption() const
{
    return caption->text();
}

void CMainFrame::updateTitle()
{
    setWindowTitle(QStringLiteral("%1[*] - %2").arg(doc->displayName(), QLatin1String(APP_TITLE)));
    setWindowModified(doc->isModified());
}

void CMainFrame::updateRunAction()
{
    action("run")->setEnabled(!runPending && editor->blockCount() >= RUN_MIN_LINES);
    action("preview")->setEnabled(!runPending && editor->blockCount() >= RUN_MIN_LINES);
}

// The menu bar's refresh at the start and end of a run and for a new, opened or
// modified document: the first plot becomes current again.
void CMainFrame::refreshMenus()
{
    plotMenuRefresh();
    updateCommands();
}

void CMainFrame::updateCommands()
{
    const bool busy = runPending;
    for (const char* name : {"fileMenu", "editMenu", "showMenu"})
        menu(name)->menuAction()->setEnabled(!busy);
    for (const char* name : {"fileNew", "fileOpen", "fileSave", "fileSaveAs", "filePrint", "filePrintPreview",
                             "filePrintSetup", "editUndo", "editRedo", "editCut", "editCopy", "editPaste",
                             "editFind", "editFindNext", "editFindPrevious", "editReplace", "editInsertFile"})
        action(name)->setEnabled(!busy);
    menu("viewMenu")->menuAction()->setEnabled(!busy && (hasListing || previewShown()));
    updateRunAction();
    const bool completed = !busy && analysis.analysisCompleted;
    const bool plotsReady = !busy && (analysis.analysisCompleted || previewShown());
    action("viewProgram")->setChecked(active == VIEW_PROGRAM);
    action("viewAnalysis")->setEnabled(hasListing);
    action("viewAnalysis")->setChecked(active == VIEW_ANALYSIS);
    action("viewVariables")->setEnabled(completed && inputVariableCount > 0);
    action("viewVariables")->setChecked(active == VIEW_VARIABLES);
    action("viewParameters")->setEnabled(completed && parameterCount > 0);
    action("viewParameters")->setChecked(active == VIEW_PARAMETERS);
    plotAction->setVisible(true);
    plotAction->setEnabled(plotsReady && plotCount() > 0);
    plotAction->setChecked(active == VIEW_PLOT);
    plotMenu->menuAction()->setVisible(false);
    for (const char* name : {"savePlot", "savePlotButton", "editCopyPlot", "viewZoomIn", "viewZoomOut", "viewZoomReset",
                             "viewAxes"})
        action(name)->setEnabled(plotsReady && active == VIEW_PLOT && plotModel.currentPlot);
    for (const char* name : {"saveResultsJson", "saveParameterCsv"})
        action(name)->setEnabled(completed && results.computed && active == VIEW_ANALYSIS);
    const PlotSpec* shown = plotModel.currentPlot;
    action("saveBandTable")->setEnabled(completed && active == VIEW_PLOT && shown && shown->plotKind == PLOT_FUNCTION &&
                                        (shown->plotFlags & (PLOTF_CBAND | PLOTF_PBAND | PLOTF_SBAND)));
}

void CMainFrame::buildPlotMenu()
{
    const std::vector<PlotMenuItem> items = plotMenuItems();
    if (items.size() <= 1) {
        plotAction->setVisible(true);
        plotMenu->menuAction()->setVisible(false);
        return;
    }
    plotAction->setVisible(false);
    plotMenu->clear();
    for (const PlotMenuItem& item : items) {
        if (item.separatorBefore)
            plotMenu->addSeparator();
        QAction* choice = plotMenu->addAction(QLatin1String(item.name));
        choice->setCheckable(true);
        choice->setChecked(item.command == plotModel.currentPlotCommand);
        const int command = item.command;
        connect(choice, &QAction::triggered, this, [this, command] { selectPlot(command); });
    }
    plotMenu->menuAction()->setVisible(true);
    plotMenu->menuAction()->setEnabled((analysis.analysisCompleted || previewShown()) && !runPending);
    plotMenu->menuAction()->setCheckable(true);
    plotMenu->menuAction()->setChecked(active == VIEW_PLOT);
}

void CMainFrame::selectPlot(int command)
{
    if (runPending || !(analysis.analysisCompleted || previewShown()))
        return;
    const bool changed = plotSelectCommand(command);
    if (active == VIEW_PLOT && changed) {
        caption->setText(QString::fromLatin1(plotModel.plotCaption));
        plot->update();
    }
    showView(VIEW_PLOT);
}

void CMainFrame::showView(int index)
{
    if (index != active) {
        QWidget* page = index == VIEW_PROGRAM ? static_cast<QWidget*>(splitter)
                        : index == VIEW_PLOT  ? static_cast<QWidget*>(plot)
                        : index == VIEW_ANALYSIS ? static_cast<QWidget*>(listing)
                        : index == VIEW_VARIABLES ? static_cast<QWidget*>(variableTable)
                                                  : static_cast<QWidget*>(parameterTable);
        stack->setCurrentWidget(page);
        (index == VIEW_PROGRAM ? static_cast<QWidget*>(editor) : page)->setFocus();
        active = index;
    }
    QString text;
    if (runPending)
        text = QLatin1String(MSG_RUNNING);
    else if (index == VIEW_PLOT)
        text = QString::fromLatin1(plotModel.plotCaption);
    for (const ViewCaption& item : viewCaptions)
        if (!runPending && item.view == index)
            text = QLatin1String(item.text);
    caption->setText(text);
    updateCommands();
}

// Frees what the last run built, after the views that point into it have let go.
void CMainFrame::releaseResults()
{
    showView(VIEW_PROGRAM);
    messages->clear();
    listing->clearListing();
    parameterTable->clear();
    variableTable->clear();
    hasListing = false;
    runCommandRelease();
    plotModelReset();
}

void CMainFrame::runAnalysis()
{
    if (runPending || editor->blockCount() < RUN_MIN_LINES)
        return;
    if (!doc->path().isEmpty() && !frameFolderWritable(QFileInfo(doc->path()).absolutePath()) && !offerWritableCopy())
        return;
    releaseResults();
    listingPath.clear();
    LineSource source = editor->lineSource();
    QApplication::setOverrideCursor(Qt::WaitCursor);
    dataReading.owner = this;
    dataReading.clock.invalidate();
    dataSetProgressHook(showDataProgress);
    const RunStart start = runCommandStart(doc->path().toStdString(), &source, true);
    dataSetProgressHook(nullptr);
    QApplication::restoreOverrideCursor();
    if (start.status != RUN_STARTED) {
        if (start.status == RUN_NO_LISTING) {
            listingAppendLine(start.listingMessage.c_str());
            showError(QString::fromStdString(start.listingMessage));
        } else if (start.status == RUN_NOT_STARTED) {
            showError(QLatin1String(MSG_NOT_STARTED));
        }
        // The listing of a failed compile holds its messages: it is put in place.
        runCommandFinish();
        messages->takeNewLines();
        refreshMenus();
        showFirstError();
        return;
    }
    runPending = true;
    listingPath = QString::fromStdString(start.listingPath);
    progress = new ProgressDialog(settings.functionMinimization, frameSweepSteps(), this);
    progress->setAttribute(Qt::WA_DeleteOnClose);
    connect(progress->cancelButton(), &QPushButton::clicked, this, &CMainFrame::cancelAnalysis);
    connect(progress, &QDialog::rejected, this, &CMainFrame::cancelAnalysis);
    progress->show();
    messages->takeNewLines();
    showView(VIEW_PROGRAM);
}

// Compiles and reads the data as Run does, then evaluates the model once at the start
// values: the message pane tells what could be computed and the plots show the start.
// No listing file, no worker, no fit.
void CMainFrame::previewAnalysis()
{
    if (runPending || editor->blockCount() < RUN_MIN_LINES)
        return;
    releaseResults();
    listingPath.clear();
    LineSource source = editor->lineSource();
    QApplication::setOverrideCursor(Qt::WaitCursor);
    const RunPreview preview = runCommandPreview(doc->path().toStdString(), &source);
    QApplication::restoreOverrideCursor();
    messages->takeNewLines();
    refreshMenus();
    if (preview.status != RUN_STARTED) {
        showFirstError();
        return;
    }
    showNotice(preview.computable ? QStringLiteral("Preview: the model can be computed at every observation")
                                  : QStringLiteral("Preview: the model cannot be computed at some observations"));
    // The messages stand under the program; the plots at the start are a View menu item away.
    showView(VIEW_PROGRAM);
}

void CMainFrame::cancelAnalysis()
{
    if (!runPending)
        return;
    abortRequested.store(true);
    if (progress)
        progress->cancelButton()->setEnabled(false);
}

void CMainFrame::progressTick()
{
    if (progress)
        progress->refresh();
}

void CMainFrame::analysisFinished()
{
    if (!runPending)
        return;
    driverWait();
    analysisRunning.store(false);
    runPending = false;
    const RunEnd end = runCommandFinish();
    // The end of a run arrives as a queued call, never from inside the dialog.
    delete progress.data();
    messages->takeNewLines();
    hasListing = !listingPath.isEmpty() && QFileInfo::exists(listingPath);
    refreshMenus();
    if (!end.listingMessage.empty())
        showError(QString::fromStdString(end.listingMessage));
    // Errors without a usable result: what the user must see is the error, not the
    // listing's summary of a fit that never started. A Cancel is no failure: its
    // "Aborting analysis" message is the user's own doing.
    const bool failed = !abortRequested.load() && messages->firstError().index >= 0 &&
                        (!analysis.analysisCompleted || !driverStopCodeUsable(analysis.stopCode));
    if (hasListing && listing->loadListing(listingPath)) {
        // A run that failed with errors shows where they are; its listing stays a
        // View menu item away.
        if (failed)
            showFirstError();
        else
            showView(VIEW_ANALYSIS);
        if (!failed && results.diagnosis.doubtful)
            showNotice(QLatin1String(MSG_DOUBTFUL));
        else if (notice->text() == QLatin1String(MSG_DOUBTFUL))
            showNotice(QString());
    } else {
        hasListing = false;
        showView(active);
        if (failed)
            showFirstError();
    }
    if (closeAfterRun) {
        closeAfterRun = false;
        QTimer::singleShot(0, this, &QWidget::close);
    }
}

void CMainFrame::showFirstError()
{
    const StatusView::ErrorPlace place = messages->firstError();
    if (place.index < 0)
        return;
    showView(VIEW_PROGRAM);
    messages->showLine(place.index);
    if (place.sourceLine > 0)
        editor->selectLine(place.sourceLine);
}

// The program's folder cannot take its listing (an installed example, say): the user
// may run a copy in a folder of their own instead.
bool CMainFrame::offerWritableCopy()
{
    const QString folder = frameCopyFolder();
    const QFileInfo program(doc->path());
    const QString copyPath = QDir(folder).filePath(program.fileName());
    QString text = QStringLiteral("The folder %1 cannot be written, so the listing of %2 cannot be made there.\n\n"
                                  "Save a copy of the program and its data files in %3 and run that?")
                       .arg(QDir::toNativeSeparators(program.absolutePath()), program.fileName(),
                            QDir::toNativeSeparators(folder));
    if (QMessageBox::question(this, QStringLiteral("MOXEL"), text, QMessageBox::Yes | QMessageBox::No,
                              QMessageBox::Yes) != QMessageBox::Yes)
        return false;
    if (QFileInfo::exists(copyPath) &&
        QMessageBox::question(this, QStringLiteral("MOXEL"),
                              QStringLiteral("%1 already exists.\nDo you want to replace it?").arg(copyPath),
                              QMessageBox::Yes | QMessageBox::No, QMessageBox::No) != QMessageBox::Yes)
        return false;
    QString message;
    if (!frameCopyProgram(doc->path(), editor->toPlainText(), folder, &message)) {
        showError(message);
        return false;
    }
    if (!openDocument(copyPath))
        return false;
    showNotice(QStringLiteral("Running the copy %1").arg(copyPath));
    return true;
}

void CMainFrame::showFind(bool replacing)
{
    if (active != VIEW_PROGRAM)
        showView(VIEW_PROGRAM);
    if (!finder) {
        finder = new FindDialog(editor, this);
        finder->setAttribute(Qt::WA_DeleteOnClose);
    }
    const QString selected = editor->textCursor().selectedText();
    if (!selected.isEmpty() && !selected.contains(QChar::ParagraphSeparator))
        finder->findBox->setText(selected);
    finder->setReplacing(replacing);
    finder->show();
    finder->raise();
    finder->activateWindow();
}

void CMainFrame::findAgain(bool backward)
{
    if (!finder || finder->findBox->text().isEmpty()) {
        showFind(false);
        return;
    }
    if (active != VIEW_PROGRAM)
        showView(VIEW_PROGRAM);
    if (!finder->findNext(backward))
        showNotice(QStringLiteral("\"%1\" was not found").arg(finder->findBox->text()));
}

void CMainFrame::showNotice(const QString& text)
{
    notice->setText(text);
    noticeTimer->start(NOTICE_MS);
}

QString CMainFrame::statusNotice() const
{
    return notice->text();
}

void CMainFrame::showError(const QString& text)
{
    QMessageBox::critical(this, QStringLiteral("Error"), text);
}

void CMainFrame::printActiveView(bool preview)
{
    const auto paint = [this](QPrinter* target) {
        if (active == VIEW_PLOT) {
            printPlot(target, plot->size());
        } else if (active == VIEW_ANALYSIS) {
            printListing(target, listing->toPlainText());
        } else if (active == VIEW_PARAMETERS || active == VIEW_VARIABLES) {
            printListing(target, viewsTableText(active == VIEW_PARAMETERS ? static_cast<QTreeWidget*>(parameterTable)
                                                                          : variableTable));
        } else {
            printListing(target, editor->toPlainText());
        }
    };
    printer->setDocName(doc->displayName());
    // Printing to a file proposes one beside the program rather than in the home folder.
    if (printer->outputFileName().isEmpty() && !doc->path().isEmpty())
        printer->setOutputFileName(QFileInfo(doc->path()).absolutePath() + QLatin1Char('/') +
                                   QFileInfo(doc->path()).completeBaseName() + QStringLiteral(".pdf"));
    if (preview) {
        QPrintPreviewDialog dialog(printer, this);
        connect(&dialog, &QPrintPreviewDialog::paintRequested, this, paint);
        dialog.exec();
        return;
    }
    QPrintDialog dialog(printer, this);
    if (dialog.exec() == QDialog::Accepted)
        paint(printer);
}

void CMainFrame::printManual()
{
    QFile file(frameManualPath());
    if (!file.open(QIODevice::ReadOnly))
        return;
    const QByteArray text = file.readAll();
    QPrinter manualPrinter(QPrinter::HighResolution);
    manualPrinter.setCollateCopies(true);
    QPrintDialog dialog(&manualPrinter, this);
    if (dialog.exec() != QDialog::Accepted)
        return;
    const int copies = manualPrinter.supportsMultipleCopies() ? 1 : std::max(1, manualPrinter.copyCount());
    printManualText(&manualPrinter, text, copies);
}

void CMainFrame::savePlot()
{
    if (!(analysis.analysisCompleted || previewShown()) || !plotModel.currentPlot || active != VIEW_PLOT)
        return;
    SavePlotDialog dialog(this, plotFileProposal());
    if (dialog.exec() != QDialog::Accepted)
        return;
    const PlotFileSettings chosen = exportReadSettings();
    QApplication::setOverrideCursor(Qt::WaitCursor);
    const bool written = exportPlot(plotModel.currentPlot, chosen);
    QApplication::restoreOverrideCursor();
    plot->update();     // the view reads the layout of its own pass again
    if (written) {
        // Told in the status bar: a box to dismiss after every save is in the way.
        char text[600];
        snprintf(text, sizeof text, MSG_PLOT_WRITTEN, chosen.fileName.c_str());
        showNotice(QString::fromUtf8(text));
    }
}

// The band table of the plot shown, under the name -plots gives it.
void CMainFrame::saveBandTable()
{
    if (!analysis.analysisCompleted || !plotModel.currentPlot || active != VIEW_PLOT)
        return;
    BandTable table;
    if (!plotBandTable(plotModel.currentPlot, &table))
        return;
    const std::string path = (plotFileProposal() + QStringLiteral(".csv")).toStdString();
    std::string message;
    const bool written = bandsWriteTable(table, path, &message);
    bandsRelease(&table);
    if (!written) {
        showError(QString::fromStdString(message));
        return;
    }
    char text[600];
    snprintf(text, sizeof text, MSG_BAND_TABLE_WRITTEN, path.c_str());
    showNotice(QString::fromUtf8(text));
}

void CMainFrame::runByGroup()
{
    if (runPending)
        return;
    if (doc->path().isEmpty() || doc->isModified()) {
        showError(QStringLiteral("Save the program first: Run by group runs the program file."));
        return;
    }
    // The data file of the program's DATA statement, as the run would resolve it.
    const QRegularExpressionMatch match =
        QRegularExpression(QStringLiteral("^\\s*DATA\\s*\"([^\"]+)\""),
                           QRegularExpression::CaseInsensitiveOption | QRegularExpression::MultilineOption)
            .match(editor->toPlainText());
    if (!match.hasMatch()) {
        showError(QStringLiteral("Run by group needs a program that reads a data file (DATA \"name\")."));
        return;
    }
    std::string name = match.captured(1).toStdString();
    programPath = doc->path().toStdString();
    const QString dataPath = QString::fromStdString(resolveProgramFile(name, "dat"));
    const QStringList names = groupBatchColumnNames(dataPath);
    bool chosen = false;
    const QString column =
        names.isEmpty()
            ? QInputDialog::getText(this, QStringLiteral("Run by group"),
                                    QStringLiteral("The data have no line of names. Field number of the groups:"),
                                    QLineEdit::Normal, QStringLiteral("1"), &chosen)
            : QInputDialog::getItem(this, QStringLiteral("Run by group"), QStringLiteral("Column of the groups:"), names,
                                    0, false, &chosen);
    if (!chosen || column.trimmed().isEmpty())
        return;
    auto* window = new GroupBatchWindow(doc->path(), column.trimmed(),
                                        [this](const QString& path) {
                                            if (listing->loadListing(path)) {
                                                hasListing = true;
                                                showView(VIEW_ANALYSIS);
                                                refreshMenus();
                                            }
                                        },
                                        this);
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->show();
}

void CMainFrame::saveResults(bool json)
{
    if (!analysis.analysisCompleted || !results.computed)
        return;
    const QFileInfo program(doc->path().isEmpty() ? QDir::current().filePath(QStringLiteral("Untitled.mxl")) : doc->path());
    const QString proposal = program.absoluteDir().filePath(
        program.completeBaseName() + (json ? QStringLiteral(".json") : QStringLiteral("_par.csv")));
    const QString path = QFileDialog::getSaveFileName(
        this, json ? QStringLiteral("Save results as JSON") : QStringLiteral("Save parameters as CSV"), proposal,
        json ? QStringLiteral("JSON files (*.json);;All files (*)") : QStringLiteral("CSV files (*.csv);;All files (*)"));
    if (path.isEmpty())
        return;
    // The exit status batch mode would give the same run.
    const int status = driverStopCodeUsable(results.stopCode) && !results.diagnosis.doubtful ? 0 : 3;
    const std::string text = json ? jsonResultsText(results, status) : outputParameterCsv(results);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(text.data(), static_cast<qint64>(text.size())) < 0 ||
        !file.commit()) {
        showError(QStringLiteral("Unable to write %1 (%2)").arg(path, file.errorString()));
        return;
    }
    showNotice(QStringLiteral("Written to %1").arg(path));
}

QString CMainFrame::plotFileProposal() const
{
    int number = 0;
    for (const PlotSpec* spec = plotList; spec; spec = spec->next) {
        ++number;
        if (spec == plotModel.currentPlot)
            break;
    }
    const QFileInfo program(doc->path().isEmpty() ? QDir::current().filePath(QStringLiteral("Untitled.mxl")) : doc->path());
    return program.absoluteDir().filePath(QStringLiteral("%1_plot%2").arg(program.completeBaseName()).arg(std::max(1, number)));
}

void CMainFrame::chooseColours(int set)
{
    ColourDialog dialog(set, this);
    if (dialog.exec() == QDialog::Accepted)
        plot->update();
}

void CMainFrame::showMemoryBlocks()
{
    MemoryBlockDialog dialog(this);
    dialog.exec();
}

void CMainFrame::viewManual()
{
    const QString path = frameManualPath();
    if (path.isEmpty()) {
        showError(QLatin1String(MSG_NO_MANUAL));
        return;
    }
    if (!manual) {
        manual = new ManualViewer(this);
        manual->load(path);
    }
    manual->show();
    manual->raise();
    manual->activateWindow();
}

void CMainFrame::runTutorial()
{
    QWizard* wizard = dialogsMakeTutorial(this);
    wizard->show();
}

void CMainFrame::showExamples()
{
    QMessageBox::information(this, QStringLiteral("Examples"),
                             QStringLiteral("Example programs come with the installation of MOXEL. They are stored "
                                            "in the folder\n%1\nand their names end with the extension \".mxl\".\n\n"
                                            "When that folder cannot be written, Run offers to copy the program "
                                            "and its data files into\n%2\nand runs the copy.")
                                 .arg(QDir::cleanPath(frameExamplesFolder()), frameCopyFolder()));
}

void CMainFrame::about()
{
    QMessageBox box(this);
    box.setWindowTitle(QStringLiteral("About MOXEL"));
    box.setIconPixmap(windowIcon().pixmap(64, 64));
    box.setText(QStringLiteral("%1\n%2").arg(QLatin1String(APP_TITLE), QLatin1String(moxelVersion)));
    box.exec();
}

void CMainFrame::closeEvent(QCloseEvent* event)
{
    if (runPending) {
        // The run is cancelled first; the window closes once the worker has ended.
        closeAfterRun = true;
        cancelAnalysis();
        event->ignore();
        return;
    }
    if (!maybeSave()) {
        event->ignore();
        return;
    }
    savePlacement();
    if (manual)
        manual->close();
    event->accept();
}

void CMainFrame::commitData(QSessionManager& manager)
{
    if (runPending) {
        abortRequested.store(true);
        driverWait();
        analysisFinished();
    }
    savePlacement();
    if (doc->isModified()) {
        if (manager.allowsInteraction()) {
            const bool keep = maybeSave();
            manager.release();
            if (!keep)
                manager.cancel();
        } else {
            keepUnsavedText();
        }
    }
}

// Nobody can be asked: the program is kept in a file beside the document, or, when its
// folder is gone or cannot be written (an untitled program's working folder too), in the
// recovery folder, under a name of its own, for the next start to offer back.
void CMainFrame::keepUnsavedText()
{
    const QByteArray text = editor->toPlainText().toUtf8();
    const QString folder = doc->path().isEmpty() ? QDir::currentPath() : QFileInfo(doc->path()).absolutePath();
    const QString name = doc->path().isEmpty() ? QStringLiteral("Untitled.mxl") : QFileInfo(doc->path()).fileName();
    const QFileInfo place(folder);
    if (!folder.isEmpty() && place.isDir() && place.isWritable() && QDir(folder).exists() &&
        writeWhole(folder + QLatin1Char('/') + name + QStringLiteral(".unsaved"), text))
        return;
    const QString recovery = recoveryFolder();
    if (!QDir().mkpath(recovery))
        return;
    QFile::setPermissions(recovery, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    writeWhole(QStringLiteral("%1/%2.%3-%4.unsaved").arg(recovery, name, stamp).arg(getpid()), text);
}

void CMainFrame::offerRecoveredText()
{
    const QFileInfoList kept = QDir(recoveryFolder())
                                   .entryInfoList({QStringLiteral("*.unsaved")}, QDir::Files, QDir::Time);
    if (kept.isEmpty() || doc->isModified())
        return;
    const QFileInfo& newest = kept.first();
    const auto answer = QMessageBox::question(
        this, QStringLiteral("Recovered program"),
        QStringLiteral("A program that was not saved when MOXEL last ended was kept as\n%1\n\n"
                       "Open it now? (It opens as an untitled program: save it where you like.)")
            .arg(newest.absoluteFilePath()));
    if (answer != QMessageBox::Yes)
        return;
    QFile file(newest.absoluteFilePath());
    if (!file.open(QIODevice::ReadOnly))
        return;
    const QByteArray bytes = file.readAll();
    file.close();
    doc->newDocument();
    editor->setPlainText(QString::fromUtf8(bytes));
    editor->document()->setModified(true);
    QFile::remove(newest.absoluteFilePath());
}

void CMainFrame::endWithoutAsking()
{
    if (runPending) {
        abortRequested.store(true);
        driverWait();
        analysisFinished();
    }
    savePlacement();
    if (doc->isModified())
        keepUnsavedText();
}

void CMainFrame::dragEnterEvent(QDragEnterEvent* event)
{
    QString path;
    if (!runPending && editDropPath(event->mimeData(), &path))
        event->acceptProposedAction();
}

void CMainFrame::dropEvent(QDropEvent* event)
{
    QString path;
    if (runPending || !editDropPath(event->mimeData(), &path))
        return;
    event->acceptProposedAction();
    if (maybeSave())
        openDocument(path);
}
