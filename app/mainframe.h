// CMainFrame: the main window. The program view (EditView above StatusView) or one of
// the four result views fills it; the menus, the toolbar and the status bar are made
// here, and the Run command drives an analysis on its worker thread.
#pragma once

#include <QMainWindow>
#include <QPointer>

#include "app/views.h"

class CMOXELDoc;
class EditView;
class ManualViewer;
class ProgressDialog;
class QAction;
class QLabel;
class QMenu;
class QPrinter;
class QSessionManager;
class QSplitter;
class QStackedWidget;
class QTabBar;
class QTimer;
class QToolBar;

constexpr int FRAME_WIDTH = 635;            // pixels: the smallest first window
constexpr int FRAME_HEIGHT = 450;
// Share of the screen's free area a first window takes: two thirds across, and three
// quarters down, so that a short listing's Final Results down to its parameter table
// fit without scrolling below the menu bar and the toolbar.
constexpr int FRAME_WIDTH_PERCENT = 67;
constexpr int FRAME_HEIGHT_PERCENT = 75;
constexpr int SPLIT_MIN = 20;               // smallest height of the source pane
constexpr int SPLIT_ROOM_BELOW = 25;        // pixels the message pane keeps at creation
constexpr int PROGRESS_PERIOD_MS = 500;     // refresh of the progress dialog
constexpr int INSERT_FILE_MAX = 500000;     // bytes the source may reach by Insert file
constexpr int RUN_MIN_LINES = 3;            // lines the source needs before Run is offered
constexpr int NOTICE_MS = 15000;            // a confirmation stays this long in the status bar

// The first window without a stored placement: FRAME_WIDTH_PERCENT and
// FRAME_HEIGHT_PERCENT of the screen's free area (at least FRAME_WIDTH x FRAME_HEIGHT
// when the screen has room), centred on it.
QRect frameDefaultGeometry(const QRect& available);

// The grid points a run's SWEEP statements visit (the product of their value counts),
// 0 without SWEEP.
long frameSweepSteps();

// True when a file can be created in the folder (the listing goes beside the program).
bool frameFolderWritable(const QString& folder);
// The folder where copies of programs from read-only folders go: ~/MOXEL/examples.
QString frameCopyFolder();
// Copies the program text as folder/NAME and every data file it names (a quoted name,
// with ".dat" added when it has no extension, found beside the original) that the
// folder does not hold yet. False with *message set when the program cannot be written.
bool frameCopyProgram(const QString& programPath, const QString& text, const QString& folder, QString* message);

// Height of the source pane at the frame's creation from the stored "WinSplitY".
int frameSplitHeight(int stored, int frameHeight);
// Height of the source pane when the placement is restored.
int frameRestoredSplitHeight(int stored, int normalHeight);

// Where the manual is looked for: the "Path" setting's folder, the program's folder,
// and the shared data folder of an installation.
QString frameManualPath();
QString frameExamplesFolder();

// The banner over the views after a run that failed, did not converge or is doubtful:
// the stop reason and the Diagnosis' first finding. Empty for a sound fit and after a
// Cancel.
QString frameBannerText();
// The parameters the Diagnosis' findings name.
QStringList frameFlaggedParameters();
// The 0-based line of the manual's entry for a word of the language: its heading (the
// word at the start of a line), else its syntax line (indented, the word first), else its
// first mention; -1 when the manual does not name it.
int frameManualLine(const QStringList& manualLines, const QString& word);
// A toolbar icon from the desktop's theme, or the program's own drawing of it.
QIcon frameIcon(const char* themeName);

class CMainFrame : public QMainWindow {
    Q_OBJECT
public:
    CMainFrame();
    ~CMainFrame() override;

    // What the tests and the start-up reach.
    EditView* editView() const { return editor; }
    class StatusView* statusView() const { return messages; }
    CAnalysisView* analysisView() const { return listing; }
    CParameterView* parameterView() const { return parameterTable; }
    CVariableView* variableView() const { return variableTable; }
    RowsView* observationView() const { return observationTable; }
    RowsView* correlationView() const { return correlationTable; }
    RowsView* dataView() const { return dataTable; }
    CPlotView* plotView() const { return plot; }
    CMOXELDoc* document() const { return doc; }
    QAction* action(const char* name) const;   // by object name, e.g. "run"
    QMenu* menu(const char* name) const;       // by object name, e.g. "viewMenu"
    int activeView() const { return active; }
    int sourcePaneHeight() const;
    bool resultsAvailable() const { return hasListing; }
    bool running() const;
    QString statusCaption() const;
    QString statusNotice() const;              // the confirmation shown beside the caption
    ProgressDialog* progressDialog() const { return progress; }
    class FindDialog* findDialog() const { return finder; }
    QString plotFileProposal() const;          // PROGRAM_plotK.jpg (or .bmp) beside the program
    QTabBar* viewTabs() const { return tabs; }
    // The plot and a second parameter table in a pane beside the view shown.
    bool sideBySide() const;
    void setSideBySide(bool on);
    CParameterView* sideParameterView() const { return sideParameters; }
    QString bannerText() const;                // empty while no banner shows

    bool openDocument(const QString& path);    // asks about unsaved changes first
    // Asks about unsaved changes: true when the user saved or discarded them (or
    // there were none), false when the user cancelled.
    bool maybeSave();
    void showView(int index);
    void refreshMenus();
    void updateCommands();                     // enabling and check marks only
    bool insertFile(const QString& path);      // false when the source would grow too large

    // Restores the placement stored by an earlier session (at the first showing).
    void restorePlacement();
    void savePlacement();

public slots:
    void runAnalysis();
    void previewAnalysis();         // the model at the start values, with its plots
    void cancelAnalysis();
    void analysisFinished();        // the queued end-of-run call
    void fileNew();
    void fileOpen();
    bool fileSave();
    bool fileSaveAs();
    void showMemoryBlocks();
    void viewManual();
    void helpOnWord();              // F1: the manual at the word under the editor's cursor
    void pasteData();               // the clipboard's cells as inline DATA records
    void runTutorial();
    void selectPlot(int command);
    void savePlot();
    void saveBandTable();                       // PROGRAM_plotK.csv of the plot shown
    void saveResults(bool json);                // the JSON results or the parameter CSV of the last run
    void runByGroup();                          // the program once per group of its data's records
    void showFind(bool replacing);
    void findAgain(bool backward);
    void commitData(QSessionManager& manager);
    // SIGTERM: asks nothing. A run is cancelled and waited for, the placement saved and
    // unsaved text kept beside the document as at the end of a session; the caller then
    // leaves the event loop.
    void endWithoutAsking();
    // At start: offers back the newest program kept in the recovery folder.
    void offerRecoveredText();

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void keepUnsavedText();
    void createViews();
    void createActions();
    void createMenus();
    void createToolBar();
    void createStatusBar();
    void readSettings();
    void releaseResults();
    void updateTitle();
    void updateRunAction();
    void buildPlotMenu();
    void progressTick();
    void printActiveView(bool preview);
    void printManual();
    void saveListingAs();
    bool offerWritableCopy();
    void showFirstError();
    void showNotice(const QString& text);
    void chooseColours(int set);
    void insertFileCommand();
    void showExamples();
    void about();
    void finishRun();
    void showError(const QString& text);
    void rebuildTabs();
    void updateBanner();

    CMOXELDoc* doc;
    QTabBar* tabs;
    QLabel* banner;
    QSplitter* workbench;           // the stack, and the side pane beside it
    QSplitter* side = nullptr;      // the side pane: parameter table over the plot
    CParameterView* sideParameters;
    QStackedWidget* stack;
    QSplitter* splitter;
    EditView* editor;
    class StatusView* messages;
    CAnalysisView* listing;
    CParameterView* parameterTable;
    CVariableView* variableTable;
    RowsView* observationTable;
    RowsView* correlationTable;
    RowsView* dataTable;
    QWidget* pageOf(int view) const;    // the stack's page of a view
    CPlotView* plot;
    QToolBar* toolBar;
    QLabel* caption;
    QLabel* notice;
    QTimer* noticeTimer;
    QTimer* progressTimer;
    QPointer<ProgressDialog> progress;
    QPointer<ManualViewer> manual;
    QPointer<class FindDialog> finder;
    QPrinter* printer;
    QMenu* recentMenu;
    QMenu* plotMenu;
    QAction* plotAction;
    int active = VIEW_PROGRAM;
    bool hasListing = false;        // resultsAvailable: the last run produced a listing
    bool runPending = false;        // a worker runs and its end has not been handled
    bool closeAfterRun = false;     // the window was closed during a run
    bool placementRestored = false; // the stored placement was applied
    QString listingPath;            // the listing of the current run
};
