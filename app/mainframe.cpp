// The main frame: views, menus, the Run command with its progress dialog, the end of a
// run, printing and the window's settings (its file commands are in document.cpp).
#include "app/mainframe.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QClipboard>
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
#include <QTabBar>
#include <QVBoxLayout>
#include <QPainter>
#include <QPainterPath>
#include <QTextBlock>
#include <QThread>
#include <QTimer>
#include <QToolBar>
#include <QWizard>

#include <climits>
#include <unistd.h>

#include "analysis/bands.h"
#include "analysis/diagnosis.h"
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
constexpr int SIDE_BY_SIDE_SCREEN = 1400;   // pixels across from which the plot stands beside at first
constexpr int SIDE_PLOT_MIN = 200;          // pixels: the least height of the plot beside

// ORDER VIEW: captions of the views in the status bar.
struct ViewCaption {
    int view;
    const char* text;
};

const ViewCaption viewCaptions[] = {
    {VIEW_PROGRAM, "Edit program source"},
    {VIEW_ANALYSIS, "Results of analysis"},
    {VIEW_VARIABLES, "Variables specified in program"},
    {VIEW_OBSERVATIONS, "Observed and predicted values of each observation"},
    {VIEW_CORRELATIONS, "Correlations of the parameter estimates"},
    {VIEW_DATA, "The observations as read"},
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

constexpr int ICON_SIZE = 32;       // pixels of a drawn toolbar icon

// The program's own drawing of the toolbar icons a desktop theme may lack, so that no
// two buttons look alike whatever the theme.
QIcon drawnIcon(const char* themeName)
{
    QPixmap pixmap(ICON_SIZE, ICON_SIZE);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    const QLatin1String name(themeName);
    if (name == QLatin1String("media-playback-start")) {
        QPainterPath triangle;
        triangle.moveTo(8, 5);
        triangle.lineTo(27, 16);
        triangle.lineTo(8, 27);
        triangle.closeSubpath();
        painter.fillPath(triangle, QColor(40, 150, 60));
    } else if (name == QLatin1String("view-preview")) {
        painter.setPen(QPen(QColor(40, 90, 170), 2.5));
        painter.drawEllipse(QPointF(16, 16), 12, 7);
        painter.setBrush(QColor(40, 90, 170));
        painter.drawEllipse(QPointF(16, 16), 4, 4);
    } else if (name == QLatin1String("document-print")) {
        painter.setPen(QPen(QColor(60, 60, 60), 2));
        painter.setBrush(Qt::white);
        painter.drawRect(9, 3, 14, 10);
        painter.setBrush(QColor(150, 150, 150));
        painter.drawRoundedRect(3, 12, 26, 11, 2, 2);
        painter.setBrush(Qt::white);
        painter.drawRect(9, 19, 14, 10);
    } else if (name == QLatin1String("edit-cut")) {
        painter.setPen(QPen(QColor(60, 60, 60), 2));
        painter.drawLine(10, 4, 20, 21);
        painter.drawLine(22, 4, 12, 21);
        painter.drawEllipse(QPointF(9, 24), 4, 4);
        painter.drawEllipse(QPointF(23, 24), 4, 4);
    } else if (name == QLatin1String("edit-copy")) {
        painter.setPen(QPen(QColor(60, 60, 60), 2));
        painter.setBrush(Qt::white);
        painter.drawRect(4, 4, 15, 18);
        painter.drawRect(13, 10, 15, 18);
    } else if (name == QLatin1String("edit-paste")) {
        painter.setPen(QPen(QColor(60, 60, 60), 2));
        painter.setBrush(QColor(190, 150, 90));
        painter.drawRoundedRect(5, 5, 22, 24, 2, 2);
        painter.setBrush(Qt::white);
        painter.drawRect(10, 10, 12, 15);
        painter.setBrush(QColor(120, 120, 120));
        painter.drawRect(11, 3, 10, 5);
    } else if (name == QLatin1String("x-office-drawing")) {   // save the plot
        painter.setPen(QPen(QColor(60, 60, 60), 2));
        painter.drawLine(5, 4, 5, 27);
        painter.drawLine(5, 27, 28, 27);
        painter.setPen(QPen(QColor(200, 60, 40), 2.5));
        painter.drawPolyline(QPolygonF({QPointF(7, 23), QPointF(13, 15), QPointF(19, 18), QPointF(27, 6)}));
    }
    return QIcon(pixmap);
}

// The first sentence of a finding, on one line.
QString firstSentence(const std::string& text)
{
    QString flat = QString::fromStdString(text).simplified();
    const qsizetype end = flat.indexOf(QLatin1String(". "));
    return end < 0 ? flat : flat.left(end + 1);
}

}  // namespace

QIcon frameIcon(const char* themeName)
{
    const QIcon theme = QIcon::fromTheme(QLatin1String(themeName));
    return theme.isNull() ? drawnIcon(themeName) : theme;
}

QString frameBannerText()
{
    if (!results.computed || results.stopCode == STOP_ABORTED)
        return QString();
    const bool usable = driverStopCodeUsable(results.stopCode);
    if (usable && !results.diagnosis.doubtful)
        return QString();
    QString text = usable ? QStringLiteral("The result is doubtful (%1)").arg(QLatin1String(reportStopReasonText(results.stopCode)))
                          : QStringLiteral("Stopped due to: %1").arg(QLatin1String(reportStopReasonText(results.stopCode)));
    if (results.diagnosis.count > 0)
        text += QStringLiteral("  %1").arg(firstSentence(results.diagnosis.findings[0].text));
    return text;
}

QStringList frameFlaggedParameters()
{
    QStringList names;
    if (!results.computed)
        return names;
    for (int f = 0; f < results.diagnosis.count; ++f) {
        const DiagnosisFinding& finding = results.diagnosis.findings[f];
        if (finding.kind < FINDING_NO_EFFECT || finding.kind > FINDING_ON_BOUND)
            continue;
        // The finding opens with the names: "Parameter k1 is ...", "k1 and k2 are ...",
        // "k1 grew ...", "k1 stopped ...".
        QString subject = QString::fromStdString(finding.text).simplified();
        if (subject.startsWith(QLatin1String("Parameter ")))
            subject = subject.mid(10);
        for (const char* verb : {" is ", " are ", " does ", " grew ", " stopped "}) {
            const qsizetype at = subject.indexOf(QLatin1String(verb));
            if (at >= 0)
                subject = subject.left(at);
        }
        subject.replace(QLatin1String(" and "), QLatin1String(","));
        for (const QString& word : subject.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
            const QString name = word.trimmed();
            for (int i = 0; i < results.parameterCount; ++i)
                if (name == QLatin1String(results.parameters[i].name) && !names.contains(name))
                    names << name;
        }
    }
    return names;
}

int frameManualLine(const QStringList& manualLines, const QString& word)
{
    if (word.isEmpty())
        return -1;
    // The manual writes the language's words in capitals where it introduces them.
    const QString escaped = QRegularExpression::escape(word);
    const QString upper = QRegularExpression::escape(word.toUpper());
    const QRegularExpression heading(QStringLiteral("^%1(\\s|\\[|\\(|;|$)").arg(upper));
    const QRegularExpression syntax(QStringLiteral("^    %1(\\s|\\(|;|$)").arg(upper));
    const QRegularExpression mention(QStringLiteral("\\b%1\\b").arg(escaped), QRegularExpression::CaseInsensitiveOption);
    for (const QRegularExpression* pattern : {&heading, &syntax, &mention})
        for (int line = 0; line < manualLines.size(); ++line)
            if (pattern->match(manualLines[line]).hasMatch())
                return line;
    return -1;
}

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
    observationTable = new RowsView(observationRows, "X 9999999999 X");
    correlationTable = new RowsView(correlationRows, "X -0.0000 X");
    dataTable = new RowsView(dataRows, "X 9999999999 X");
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
    stack->addWidget(observationTable);
    stack->addWidget(correlationTable);
    stack->addWidget(dataTable);
    stack->addWidget(parameterTable);
    // The views as tabs over the stack; the View menu switches them as well.
    tabs = new QTabBar;
    tabs->setObjectName(QStringLiteral("viewTabs"));
    tabs->setDocumentMode(true);
    tabs->setExpanding(false);
    tabs->setFocusPolicy(Qt::NoFocus);
    connect(tabs, &QTabBar::tabBarClicked, this, [this](int index) {
        const QPoint target = tabs->tabData(index).toPoint();
        if (target.x() == VIEW_PLOT)
            selectPlot(target.y());
        else if (target.x() == VIEW_ANALYSIS)
            action("viewAnalysis")->trigger();
        else
            showView(target.x());
    });
    banner = new QLabel;
    banner->setObjectName(QStringLiteral("banner"));
    banner->setWordWrap(true);
    banner->setStyleSheet(QStringLiteral("QLabel { background: #fff1c2; color: #5a3d00; border-bottom: 1px solid #d9b24a;"
                                         " padding: 6px 10px; font-weight: bold; }"));
    banner->hide();
    QWidget* central = new QWidget;
    QVBoxLayout* layout = new QVBoxLayout(central);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(tabs);
    layout->addWidget(banner);
    sideParameters = new CParameterView;
    side = new QSplitter(Qt::Vertical);
    side->setObjectName(QStringLiteral("sidePane"));
    side->addWidget(sideParameters);
    side->setChildrenCollapsible(false);
    side->hide();
    workbench = new QSplitter(Qt::Horizontal);
    workbench->addWidget(stack);
    workbench->addWidget(side);
    workbench->setChildrenCollapsible(false);
    layout->addWidget(workbench, 1);
    setCentralWidget(central);
    // In the split, a click into the view on the left makes it the active view again.
    for (QAbstractScrollArea* area : std::initializer_list<QAbstractScrollArea*>{editor, messages, listing, parameterTable,
                                                                                 variableTable, observationTable, correlationTable,
                                                                                 dataTable})
        area->viewport()->installEventFilter(this);
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
    a->setIcon(frameIcon("document-print"));
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
    a->setIcon(frameIcon("edit-cut"));
    connect(a, &QAction::triggered, editor, &QPlainTextEdit::cut);
    a = makeAction(this, "editCopy", QStringLiteral("&Copy"),
                   {QKeySequence(Qt::CTRL | Qt::Key_C), QKeySequence(Qt::CTRL | Qt::Key_Insert)});
    a->setIcon(frameIcon("edit-copy"));
    connect(a, &QAction::triggered, this, [this] {
        if (active == VIEW_ANALYSIS)
            listing->copy();
        else if (active == VIEW_PLOT)
            plot->copyToClipboard();
        else if (active == VIEW_PARAMETERS)
            parameterTable->copySelection();
        else if (active == VIEW_VARIABLES)
            variableTable->copySelection();
        else if (active == VIEW_OBSERVATIONS)
            observationTable->copySelection();
        else if (active == VIEW_CORRELATIONS)
            correlationTable->copySelection();
        else if (active == VIEW_DATA)
            dataTable->copySelection();
        else if (active == VIEW_PROGRAM)
            editor->copy();
    });
    a = makeAction(this, "editCopyPlot", QStringLiteral("Copy p&lot"));
    a->setToolTip(QStringLiteral("Put the plot on the clipboard as an image and as SVG"));
    connect(a, &QAction::triggered, this, [this] { plot->copyToClipboard(); });
    a = makeAction(this, "editPaste", QStringLiteral("&Paste"),
                   {QKeySequence(Qt::CTRL | Qt::Key_V), QKeySequence(Qt::SHIFT | Qt::Key_Insert)});
    a->setIcon(frameIcon("edit-paste"));
    connect(a, &QAction::triggered, editor, &QPlainTextEdit::paste);
    a = makeAction(this, "editPasteData", QStringLiteral("Paste d&ata"));
    a->setToolTip(QStringLiteral("Cells copied from a spreadsheet as inline DATA records"));
    connect(a, &QAction::triggered, this, &CMainFrame::pasteData);
    a = makeAction(this, "editInsertFile", QStringLiteral("&Insert file"));
    connect(a, &QAction::triggered, this, &CMainFrame::insertFileCommand);

    a = makeAction(this, "run", QStringLiteral("&Run"));
    connect(a, &QAction::triggered, this, &CMainFrame::runAnalysis);
    a = makeAction(this, "preview", QStringLiteral("Previe&w"), {QKeySequence(Qt::Key_F8)});
    a->setToolTip(QStringLiteral("Preview: the model at the start values, without fitting (F8)"));
    connect(a, &QAction::triggered, this, &CMainFrame::previewAnalysis);
    // Their toolbar buttons: an icon on the menu bar's own items would stand in place of
    // the text.
    a = makeAction(this, "runButton", QStringLiteral("Run"));
    a->setIcon(frameIcon("media-playback-start"));
    a->setToolTip(QStringLiteral("Run: fit the model to the data"));
    connect(a, &QAction::triggered, this, &CMainFrame::runAnalysis);
    a = makeAction(this, "previewButton", QStringLiteral("Preview"));
    a->setIcon(frameIcon("view-preview"));
    a->setToolTip(QStringLiteral("Preview: the model at the start values, without fitting (F8)"));
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
        {"viewObservations", "&Observations", VIEW_OBSERVATIONS},
        {"viewCorrelations", "&Correlations", VIEW_CORRELATIONS},
        {"viewData", "&Data", VIEW_DATA},
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
    a = makeAction(this, "viewZoomOut", QStringLiteral("Zoom o&ut"), {QKeySequence(Qt::CTRL | Qt::Key_Minus)});
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
    a->setIcon(frameIcon("x-office-drawing"));
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
    connect(a, &QAction::triggered, this, &CMainFrame::helpOnWord);
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
    for (const char* name : {"editUndo", "editRedo", "", "editCut", "editCopy", "editPaste", "editPasteData", "", "editFind",
                             "editFindNext", "editFindPrevious", "editReplace", "", "editInsertFile", "",
                             "editCopyPlot"}) {
        if (*name)
            edit->addAction(action(name));
        else
            edit->addSeparator();
    }

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
    view->addAction(action("viewObservations"));
    view->addAction(action("viewCorrelations"));
    view->addAction(action("viewData"));
    view->addSeparator();
    for (const char* name : {"viewZoomIn", "viewZoomOut", "viewZoomReset", "viewAxes"})
        view->addAction(action(name));
    connect(view, &QMenu::aboutToShow, this, &CMainFrame::buildPlotMenu);
    view->addSeparator();
    QAction* sideItem = view->addAction(QStringLiteral("Plot &beside"));
    sideItem->setObjectName(QStringLiteral("viewSideBySide"));
    sideItem->setCheckable(true);
    sideItem->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_B));
    sideItem->setToolTip(QStringLiteral("The plot and the parameter table beside the program or the listing"));
    connect(sideItem, &QAction::toggled, this, &CMainFrame::setSideBySide);
    QAction* toolBarItem = view->addAction(QStringLiteral("&Toolbar"));
    toolBarItem->setObjectName(QStringLiteral("showToolbar"));
    toolBarItem->setCheckable(true);
    toolBarItem->setChecked(true);
    connect(toolBarItem, &QAction::toggled, this, [this](bool on) { toolBar->setVisible(on); });
    QAction* statusItem = view->addAction(QStringLiteral("&Status Bar"));
    statusItem->setObjectName(QStringLiteral("showStatusBar"));
    statusItem->setCheckable(true);
    statusItem->setChecked(true);
    connect(statusItem, &QAction::toggled, this, [this](bool on) { statusBar()->setVisible(on); });

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
}

void CMainFrame::createToolBar()
{
    toolBar = addToolBar(QStringLiteral("Toolbar"));
    toolBar->setObjectName(QStringLiteral("toolBar"));
    toolBar->setAllowedAreas(Qt::AllToolBarAreas);
    for (const char* name : {"fileNew", "fileOpen", "fileSave", "", "savePlotButton", "", "editCut", "editCopy",
                             "editPaste", "", "runButton", "previewButton", "", "filePrint", "helpAbout"}) {
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
    // The split: as left, or on by default where the screen is wide enough for three views.
    const int sideStored = settingsReadInt("WinSideBySide");
    const QScreen* screen = QGuiApplication::primaryScreen();
    setSideBySide(sideStored >= 0 ? sideStored > 0
                                  : screen && screen->availableGeometry().width() >= SIDE_BY_SIDE_SCREEN);
    if (const int left = settingsReadInt("WinSideSplitX"); sideBySide() && left > 0)
        workbench->setSizes({left, std::max(SPLIT_MIN, workbench->width() - left)});
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
    settingsWriteInt("WinSideBySide", sideBySide() ? 1 : 0);
    if (sideBySide() && workbench->sizes().value(0) > 0)
        settingsWriteInt("WinSideSplitX", workbench->sizes().value(0));
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
    for (const char* name : {"run", "preview", "runButton", "previewButton"})
        action(name)->setEnabled(!runPending && editor->blockCount() >= RUN_MIN_LINES);
}

// The menu bar's refresh at the start and end of a run and for a new, opened or
// modified document: the first plot becomes current again.
void CMainFrame::refreshMenus()
{
    plotMenuRefresh();
    rebuildTabs();
    updateBanner();
    updateCommands();
}

void CMainFrame::updateCommands()
{
    const bool busy = runPending;
    for (const char* name : {"fileMenu", "editMenu"})
        menu(name)->menuAction()->setEnabled(!busy);
    for (const char* name : {"fileNew", "fileOpen", "fileSave", "fileSaveAs", "filePrint", "filePrintPreview",
                             "filePrintSetup", "editFind", "editFindNext", "editFindPrevious"})
        action(name)->setEnabled(!busy);
    // Changing commands act on the program only; Copy on whatever view shows text or a plot.
    const bool program = !busy && active == VIEW_PROGRAM;
    for (const char* name : {"editUndo", "editRedo", "editCut", "editPaste", "editPasteData", "editReplace",
                             "editInsertFile"})
        action(name)->setEnabled(program);
    action("editCopy")->setEnabled(!busy && (active != VIEW_PLOT || plotModel.currentPlot));
    menu("viewMenu")->menuAction()->setEnabled(!busy && (hasListing || previewShown()));
    updateRunAction();
    const bool completed = !busy && analysis.analysisCompleted;
    const bool plotsReady = !busy && (analysis.analysisCompleted || previewShown());
    action("viewProgram")->setChecked(active == VIEW_PROGRAM);
    action("viewAnalysis")->setEnabled(hasListing);
    action("viewAnalysis")->setChecked(active == VIEW_ANALYSIS);
    action("viewVariables")->setEnabled(completed && inputVariableCount > 0);
    action("viewVariables")->setChecked(active == VIEW_VARIABLES);
    action("viewObservations")->setEnabled(completed && results.residualsComputed && !settings.functionMinimization &&
                                           observationCount > 0);
    action("viewObservations")->setChecked(active == VIEW_OBSERVATIONS);
    action("viewCorrelations")->setEnabled(completed && results.withStatistics && results.covariance && parameterCount > 1);
    action("viewCorrelations")->setChecked(active == VIEW_CORRELATIONS);
    action("viewData")->setEnabled(plotsReady && observations && observationCount > 0 && inputVariableCount > 0);
    action("viewData")->setChecked(active == VIEW_DATA);
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
    if (index == VIEW_PLOT && sideBySide()) {
        // The plot stands in the side pane; the view on the left stays, and gives up the
        // focus so that a click into it makes it active again.
        plot->update();
        if (QWidget* focused = QApplication::focusWidget(); focused && stack->isAncestorOf(focused))
            focused->clearFocus();
        active = index;
    } else if (index != active || stack->currentWidget() != pageOf(index)) {
        QWidget* page = pageOf(index);
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
    for (int t = 0; t < tabs->count(); ++t) {
        const QPoint target = tabs->tabData(t).toPoint();
        if (target.x() == index && (index != VIEW_PLOT || target.y() == plotModel.currentPlotCommand)) {
            const QSignalBlocker quiet(tabs);
            tabs->setCurrentIndex(t);
        }
    }
    updateCommands();
}

QWidget* CMainFrame::pageOf(int view) const
{
    switch (view) {
    case VIEW_PROGRAM: return splitter;
    case VIEW_ANALYSIS: return listing;
    case VIEW_VARIABLES: return variableTable;
    case VIEW_PARAMETERS: return parameterTable;
    case VIEW_OBSERVATIONS: return observationTable;
    case VIEW_CORRELATIONS: return correlationTable;
    case VIEW_DATA: return dataTable;
    default: return plot;
    }
}

// One tab per view that has something to show, each plot under its title.
void CMainFrame::rebuildTabs()
{
    const QSignalBlocker quiet(tabs);
    while (tabs->count() > 0)
        tabs->removeTab(0);
    const auto add = [this](const QString& text, int view, int command) {
        tabs->setTabData(tabs->addTab(text), QPoint(view, command));
    };
    add(QStringLiteral("Program"), VIEW_PROGRAM, 0);
    if (runPending)
        return;
    if (hasListing)
        add(QStringLiteral("Listing"), VIEW_ANALYSIS, 0);
    if (analysis.analysisCompleted && parameterCount > 0)
        add(QStringLiteral("Parameters"), VIEW_PARAMETERS, 0);
    if (analysis.analysisCompleted && inputVariableCount > 0)
        add(QStringLiteral("Variables"), VIEW_VARIABLES, 0);
    if (analysis.analysisCompleted && results.residualsComputed && !settings.functionMinimization && observationCount > 0)
        add(QStringLiteral("Observations"), VIEW_OBSERVATIONS, 0);
    if (analysis.analysisCompleted && results.withStatistics && results.covariance && parameterCount > 1)
        add(QStringLiteral("Correlations"), VIEW_CORRELATIONS, 0);
    if ((analysis.analysisCompleted || previewShown()) && observations && observationCount > 0 && inputVariableCount > 0)
        add(QStringLiteral("Data"), VIEW_DATA, 0);
    if (analysis.analysisCompleted || previewShown())
        for (const PlotMenuItem& item : plotMenuItems())
            add(item.spec && item.spec->title[0] ? QString::fromLatin1(item.spec->title) : QLatin1String(item.name),
                VIEW_PLOT, item.command);
    for (int t = 0; t < tabs->count(); ++t) {
        const QPoint target = tabs->tabData(t).toPoint();
        if (target.x() == active && (active != VIEW_PLOT || target.y() == plotModel.currentPlotCommand))
            tabs->setCurrentIndex(t);
    }
}

void CMainFrame::updateBanner()
{
    const QString text = runPending ? QString() : frameBannerText();
    banner->setText(text);
    banner->setVisible(!text.isEmpty());
    const QStringList flagged = runPending ? QStringList() : frameFlaggedParameters();
    parameterTable->setFlagged(flagged);
    sideParameters->setFlagged(flagged);
    if (!runPending && analysis.analysisCompleted && parameterCount > 0)
        sideParameters->rebuild();
    else
        sideParameters->clear();
}

bool CMainFrame::sideBySide() const
{
    return side && !side->isHidden();
}

void CMainFrame::setSideBySide(bool on)
{
    if (on == sideBySide())
        return;
    const bool plotActive = active == VIEW_PLOT;
    if (on) {
        if (plotActive)
            stack->setCurrentWidget(splitter);
        stack->removeWidget(plot);
        side->addWidget(plot);
        side->setStretchFactor(0, 1);
        side->setStretchFactor(1, 2);
        plot->setMinimumHeight(SIDE_PLOT_MIN);
        side->show();
        const int height = std::max(side->height(), SIDE_PLOT_MIN * 3 / 2);
        side->setSizes({height / 3, height - height / 3});
        const int width = workbench->width();
        workbench->setSizes({width / 2, width - width / 2});
        updateBanner();
    } else {
        side->hide();
        plot->setMinimumHeight(0);
        stack->insertWidget(1, plot);
        if (plotActive)
            stack->setCurrentWidget(plot);
    }
    plot->show();
    if (QAction* item = action("viewSideBySide"); item && item->isChecked() != on)
        item->setChecked(on);
}

QString CMainFrame::bannerText() const
{
    return banner->isHidden() ? QString() : banner->text();
}

// Frees what the last run built, after the views that point into it have let go.
void CMainFrame::releaseResults()
{
    showView(VIEW_PROGRAM);
    messages->clear();
    listing->clearListing();
    parameterTable->clear();
    sideParameters->clear();
    variableTable->clear();
    observationTable->clear();
    correlationTable->clear();
    dataTable->clear();
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
    showNotice(QString());
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
    showNotice(QString());
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
        else if (sideBySide() && plotCount() > 0)
            selectPlot(plotMenuItems().empty() ? 0 : plotMenuItems().front().command);
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
        } else if (active == VIEW_PARAMETERS || active == VIEW_VARIABLES || active == VIEW_OBSERVATIONS ||
                   active == VIEW_CORRELATIONS || active == VIEW_DATA) {
            printListing(target, viewsTableText(static_cast<QTreeWidget*>(pageOf(active))));
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

void CMainFrame::helpOnWord()
{
    QTextCursor cursor = editor->textCursor();
    cursor.select(QTextCursor::WordUnderCursor);
    const QString word = active == VIEW_PROGRAM ? cursor.selectedText().trimmed() : QString();
    viewManual();
    if (!manual || word.isEmpty())
        return;
    const int line = frameManualLine(manual->text()->toPlainText().split(QLatin1Char('\n')), word);
    if (line >= 0)
        manual->showLine(line);
}

// The records go after the program's DATA; statement, or under a new one at its end.
void CMainFrame::pasteData()
{
    if (runPending)
        return;
    int leftOut = 0;
    const QString records = docDataRecords(QGuiApplication::clipboard()->text(), &leftOut);
    if (records.isEmpty()) {
        showError(QStringLiteral("The clipboard holds no rows of numbers to paste as data."));
        return;
    }
    static const QRegularExpression inlineData(QStringLiteral("^\\s*DATA\\s*;"),
                                               QRegularExpression::CaseInsensitiveOption | QRegularExpression::MultilineOption);
    static const QRegularExpression fileData(QStringLiteral("^\\s*DATA\\s*\""),
                                             QRegularExpression::CaseInsensitiveOption | QRegularExpression::MultilineOption);
    const QString program = editor->toPlainText();
    if (fileData.match(program).hasMatch()) {
        showError(QStringLiteral("The program reads its data from a file: paste the cells into that file, or "
                                 "write DATA; in place of the file name first."));
        return;
    }
    showView(VIEW_PROGRAM);
    QTextCursor cursor(editor->document());
    cursor.movePosition(QTextCursor::End);
    cursor.beginEditBlock();
    if (!program.isEmpty() && !program.endsWith(QLatin1Char('\n')))
        cursor.insertText(QStringLiteral("\n"));
    if (!inlineData.match(program).hasMatch())
        cursor.insertText(QStringLiteral("DATA;\n"));
    cursor.insertText(records);
    cursor.endEditBlock();
    editor->setTextCursor(cursor);
    showNotice(leftOut > 0 ? QStringLiteral("Data pasted; %1 row(s) with a missing value left out as comments").arg(leftOut)
                           : QStringLiteral("Data pasted"));
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

bool CMainFrame::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::MouseButtonPress && sideBySide() && active == VIEW_PLOT) {
        QWidget* page = stack->currentWidget();
        if (QWidget* widget = qobject_cast<QWidget*>(watched); widget && page->isAncestorOf(widget))
            showView(page == listing ? VIEW_ANALYSIS : page == parameterTable ? VIEW_PARAMETERS
                     : page == variableTable ? VIEW_VARIABLES : page == observationTable ? VIEW_OBSERVATIONS
                     : page == correlationTable ? VIEW_CORRELATIONS : page == dataTable ? VIEW_DATA : VIEW_PROGRAM);
    }
    return QMainWindow::eventFilter(watched, event);
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
