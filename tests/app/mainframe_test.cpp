// The main frame on the offscreen platform: Run to the end and Cancel, view switching
// and the enabling rules, the unsaved-changes question on each way out, the save-plot
// and colour dialogs, and the window's settings.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QLineEdit>
#include <QTimer>
#include <QTreeWidget>
#include <QRegularExpression>
#include <QTextBlock>

#include <cerrno>
#include <cstring>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "analysis/driver.h"
#include "app/dialogs.h"
#include "app/document.h"
#include "app/editview.h"
#include "app/mainframe.h"
#include "exec/interpreter.h"
#include "plot/colours.h"
#include "plot/export.h"
#include "plot/plotmodel.h"
#include "plot/settings.h"
#include "frame_fixture.h"
#include "testutil.h"

namespace {

const char FIT_PROGRAM[] =
    "VARIABLES x, y;\nPARAMETERS a = 1, b = 0.1;\nFUNCTION y = a * exp(b * x);\nPLOT;\nRPLOT;\n"
    "DATA;\n0 1.1\n1 2.6\n2 7.5\n3 19.8\n4 55.1\n";

// A sweep of 400 grid points over a slow model: long enough to be cancelled.
const char LONG_PROGRAM[] =
    "VARIABLES x, y;\nPARAMETERS a = 1, b = 0.1;\nDOUBLE i, s;\n"
    "FUNCTION y = a * exp(b * x) + 0 * s;\n"
    "s = 0; FOR (i = 0; i < 2000; i++) s += i;\n"
    "SWEEP a = 1, 20, 1;\nSWEEP b = 0.05, 1, 0.05;\n"
    "DATA;\n0 1.1\n1 2.6\n2 7.5\n3 19.8\n4 55.1\n";

// Answers the next message box with the button, and records its text.
struct Answer {
    QMessageBox::StandardButton button;
    QString text;
    bool asked = false;
};

void answerNextBox(Answer* answer, int attempts = 200)
{
    QTimer::singleShot(10, [answer, attempts] {
        QMessageBox* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || !box->button(answer->button)) {
            if (attempts > 0)
                answerNextBox(answer, attempts - 1);   // not open yet
            return;
        }
        answer->asked = true;
        answer->text = box->text();
        box->button(answer->button)->click();
    });
}

TEST_F(FrameTest, RunShowsTheListingAndTheTables)
{
    openProgram(FIT_PROGRAM);
    runToEnd();
    EXPECT_EQ(frame->activeView(), VIEW_ANALYSIS);
    EXPECT_EQ(frame->statusCaption(), "Results of analysis");
    const QString listing = frame->analysisView()->toPlainText();
    EXPECT_TRUE(listing.startsWith("   1: VARIABLES x, y;"));
    // The caret stands on the Final Results heading.
    const CAnalysisView* view = frame->analysisView();
    EXPECT_EQ(view->lineText(view->caretLine()), "   ----  Final Results  ----");
    EXPECT_EQ(view->firstVisibleLine(), view->caretLine());
    EXPECT_EQ(readTextFile(folder + "/fit.lst").size(), size_t(listing.toUtf8().size()));

    frame->showView(VIEW_PARAMETERS);
    QTreeWidget* parameters = frame->parameterView();
    ASSERT_EQ(parameters->topLevelItemCount(), 2);
    EXPECT_EQ(parameters->columnCount(), 6);
    EXPECT_EQ(parameters->headerItem()->text(4), "t     ");
    EXPECT_EQ(parameters->topLevelItem(0)->text(0), "a");
    EXPECT_EQ(parameters->topLevelItem(0)->text(1), "1");
    frame->showView(VIEW_VARIABLES);
    EXPECT_EQ(parameters->topLevelItemCount(), 0) << "emptied when it stops being active";
    QTreeWidget* variables = frame->variableView();
    ASSERT_EQ(variables->topLevelItemCount(), 2);
    EXPECT_EQ(variables->topLevelItem(0)->text(1), "0");
    EXPECT_EQ(variables->topLevelItem(0)->text(2), "4");
    EXPECT_EQ(variables->topLevelItem(0)->text(3), "2");
    EXPECT_EQ(frame->statusCaption(), "Variables specified in program");
}

TEST_F(FrameTest, EnablingRulesFollowTheRun)
{
    QAction* run = frame->action("run");
    frame->editView()->setPlainText("PARAMETERS a;\nFUNCTION a*a;");
    EXPECT_FALSE(run->isEnabled()) << "two lines";
    frame->editView()->setPlainText("PARAMETERS a;\nFUNCTION a*a;\n");
    EXPECT_TRUE(run->isEnabled());
    EXPECT_FALSE(frame->menu("viewMenu")->menuAction()->isEnabled()) << "no results yet";

    openProgram(LONG_PROGRAM);
    frame->runAnalysis();
    ASSERT_TRUE(frame->running());
    for (const char* name : {"fileMenu", "editMenu", "viewMenu"})
        EXPECT_FALSE(frame->menu(name)->menuAction()->isEnabled()) << name;
    EXPECT_FALSE(run->isEnabled());
    EXPECT_FALSE(frame->action("fileNew")->isEnabled()) << "nor from the toolbar";
    EXPECT_EQ(frame->statusCaption(), "Running the analysis...");
    ASSERT_NE(frame->progressDialog(), nullptr);
    EXPECT_EQ(frame->progressDialog()->windowTitle(), "Performing analysis...");

    // Cancel ends the run as aborted, with its listing.
    frame->progressDialog()->cancelButton()->click();
    ASSERT_TRUE(waitFor([this] { return !frame->running(); }));
    EXPECT_TRUE(frame->analysisView()->toPlainText().contains("Stopped due to: Analysis was aborted"));
    EXPECT_EQ(frame->progressDialog(), nullptr);
    EXPECT_TRUE(frame->menu("viewMenu")->menuAction()->isEnabled());
    EXPECT_FALSE(frame->action("viewParameters")->isEnabled()) << "an aborted run has no tables";
    EXPECT_TRUE(run->isEnabled());
}

TEST_F(FrameTest, ViewSwitchingAndThePlotMenu)
{
    openProgram(FIT_PROGRAM);
    runToEnd();
    EXPECT_TRUE(frame->action("viewAnalysis")->isChecked());
    EXPECT_FALSE(frame->action("savePlot")->isEnabled()) << "only while a plot is shown";
    // Two plots: the View menu offers the "&Plot" submenu with one item of each kind.
    emit frame->menu("viewMenu")->aboutToShow();
    QMenu* plots = frame->menu("plotMenu");
    ASSERT_TRUE(plots->menuAction()->isVisible());
    QStringList names;
    for (QAction* item : plots->actions())
        names << (item->isSeparator() ? "-" : item->text());
    EXPECT_EQ(names, QStringList({"Function plot", "-", "Residual plot"}));
    plots->actions().last()->trigger();
    EXPECT_EQ(frame->activeView(), VIEW_PLOT);
    EXPECT_EQ(frame->statusCaption(), "Plot of residual values");
    EXPECT_TRUE(frame->action("savePlot")->isEnabled());
    frame->action("viewProgram")->trigger();
    EXPECT_EQ(frame->activeView(), VIEW_PROGRAM);
    EXPECT_EQ(frame->statusCaption(), "Edit program source");
    EXPECT_FALSE(frame->action("savePlot")->isEnabled());
}

TEST_F(FrameTest, BrokenProgramAndMissingDataStayInTheMessagePane)
{
    openProgram("VARIABLES x, y;\nPARAMETERS a;\nFUNCTION y = a * ;\nDATA \"nowhere.dat\";\n");
    frame->runAnalysis();
    EXPECT_FALSE(frame->running());
    EXPECT_EQ(frame->activeView(), VIEW_PROGRAM);
    EXPECT_GT(frame->statusView()->lineCount(), 0);
    EXPECT_FALSE(frame->resultsAvailable());
    // A double-click on the echoed line puts the cursor on line 3.
    int named = 0;
    QStringList shown;
    for (int i = 0; i < frame->statusView()->lineCount(); ++i) {
        shown << frame->statusView()->lineText(i);
        if (!named)
            named = StatusView::sourceLineOf(shown.last());
    }
    EXPECT_EQ(named, 3) << shown.join("|").toStdString();
}

TEST_F(FrameTest, UntitledListingThatCannotBeCreatedIsReported)
{
    // A folder of the listing's name makes its creation fail.
    QDir().mkpath(QString::fromStdString(folder + "/Untitled.lst"));
    frame->editView()->setPlainText("PARAMETERS a;\nFUNCTION a*a;\n\n");
    Answer answer{QMessageBox::Ok};
    answerNextBox(&answer);
    frame->runAnalysis();
    EXPECT_TRUE(answer.asked);
    // The system's reason is in the user's language.
    EXPECT_EQ(answer.text, QString::fromStdString("Unable to create listing file: " + folder + "/Untitled.lst (" +
                                                  strerror(EISDIR) + ")"));
    EXPECT_FALSE(frame->running());
    EXPECT_FALSE(frame->resultsAvailable());
}

TEST_F(FrameTest, UnsavedChangesAreAskedAboutOnEveryWayOut)
{
    const auto edited = [this] {
        frame->editView()->setPlainText("PARAMETERS a;\nFUNCTION a*a;\n");
        frame->editView()->document()->setModified(true);
    };
    // New: Cancel keeps the text, No discards it.
    edited();
    Answer cancel{QMessageBox::Cancel};
    answerNextBox(&cancel);
    frame->fileNew();
    EXPECT_TRUE(cancel.asked);
    EXPECT_EQ(cancel.text, "Save changes to Untitled?");
    EXPECT_FALSE(frame->editView()->toPlainText().isEmpty());
    Answer discard{QMessageBox::No};
    answerNextBox(&discard);
    frame->fileNew();
    EXPECT_TRUE(discard.asked);
    EXPECT_EQ(frame->editView()->toPlainText(), QLatin1String(NEW_PROGRAM_TEMPLATE)) << "New starts from the template";
    EXPECT_FALSE(frame->editView()->document()->isModified());

    // Open (the question comes before the file dialog): Cancel opens nothing.
    edited();
    Answer open{QMessageBox::Cancel};
    answerNextBox(&open);
    frame->fileOpen();
    EXPECT_TRUE(open.asked);

    // Exit and closing the window: Cancel keeps it open; Yes saves first.
    frame->show();
    Answer exit{QMessageBox::Cancel};
    answerNextBox(&exit);
    frame->action("fileExit")->trigger();
    EXPECT_TRUE(exit.asked);
    EXPECT_TRUE(frame->isVisible());
    const std::string path = folder + "/kept.mxl";
    writeTextFile(path, "old\n");
    ASSERT_TRUE(frame->openDocument(QString::fromStdString(path)));
    edited();
    Answer save{QMessageBox::Yes};
    answerNextBox(&save);
    EXPECT_TRUE(frame->close());
    EXPECT_TRUE(save.asked);
    EXPECT_EQ(readTextFile(path), "PARAMETERS a;\nFUNCTION a*a;\n");
}

TEST_F(FrameTest, ClosingDuringARunCancelsWaitsAndThenAsks)
{
    openProgram(LONG_PROGRAM);
    frame->show();
    frame->editView()->document()->setModified(true);
    frame->runAnalysis();
    ASSERT_TRUE(frame->running());
    EXPECT_FALSE(frame->close()) << "the run ends first";
    Answer answer{QMessageBox::No};
    answerNextBox(&answer);
    ASSERT_TRUE(waitFor([this] { return !frame->isVisible(); }));
    EXPECT_FALSE(frame->running());
    EXPECT_TRUE(answer.asked);
    EXPECT_TRUE(abortRequested.load());
}

TEST_F(FrameTest, InsertFileKeepsTheSelectionAndItsLimit)
{
    frame->editView()->setPlainText("ABCDEF");
    QTextCursor cursor = frame->editView()->textCursor();
    cursor.setPosition(2);
    cursor.setPosition(4, QTextCursor::KeepAnchor);
    frame->editView()->setTextCursor(cursor);
    const std::string small = folder + "/small.txt";
    writeTextFile(small, "xy");
    ASSERT_TRUE(frame->insertFile(QString::fromStdString(small)));
    EXPECT_EQ(frame->editView()->toPlainText(), "ABxyCDEF") << "inserted at the selection's start, not replacing it";
    EXPECT_EQ(frame->editView()->textCursor().selectedText(), "xy");
    EXPECT_TRUE(frame->document()->isModified());
    // 400000 bytes of source and a file of 100000 bytes exceed the limit.
    frame->editView()->setPlainText(QString(400000, QLatin1Char('a')));
    const std::string large = folder + "/large.txt";
    writeTextFile(large, std::string(100000, 'b'));
    EXPECT_FALSE(frame->insertFile(QString::fromStdString(large)));
    EXPECT_EQ(frame->editView()->toPlainText().size(), 400000);
}

TEST_F(FrameTest, MemoryBlockListingAfterARun)
{
    openProgram(FIT_PROGRAM);
    runToEnd();
    MemoryBlockDialog dialog(frame.get());
    EXPECT_EQ(dialog.windowTitle(), "Memory Block Types");
    const QStringList lines = dialog.lines();
    ASSERT_FALSE(lines.isEmpty());
    EXPECT_FALSE(lines.filter(QRegularExpression("^slm   \\d+   \\d+$")).isEmpty()) << lines.join("|").toStdString();
    EXPECT_FALSE(lines.filter(QRegularExpression("^rslt   \\d+   \\d+$")).isEmpty());
}

TEST(WindowStart, DisplayThatDoesNotAnswerGetsTheAdviceNotAnAbort)
{
    const std::string folder = testTempDir();
    const std::string command = "cd '" + folder + "' && env -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM DISPLAY=:87 "
                                "XDG_CONFIG_HOME='" + folder + "/config' '" MOXEL_BINARY "' >out.txt 2>err.txt";
    const int raw = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(raw)) << "ended by a signal";
    EXPECT_EQ(WEXITSTATUS(raw), 1);
    EXPECT_NE(readTextFile(folder + "/err.txt").find("moxel: no display is available for the window.\n"
                                                     "To run a program without a window, use: moxel -run PROGRAM.mxl\n"),
              std::string::npos);
}

TEST(SavePlotDialog, NameRulesWhenTheTypeIsSwitched)
{
    const struct {
        const char* name;
        int type;
        const char* result;
    } cases[] = {
        {"/tmp/plot.jpg", PLOT_FILE_BMP, "/tmp/plot.bmp"},
        {"/tmp/plot.bmp", PLOT_FILE_JPEG, "/tmp/plot.jpg"},
        {"plot", PLOT_FILE_BMP, "plot"},                    // no dot: unchanged
        {"plot.bmp", PLOT_FILE_BMP, "plot.bmp"},
        {"plot.BMP", PLOT_FILE_BMP, "plot.BMP"},            // only the first letter counts
        {"plot.Jpeg", PLOT_FILE_JPEG, "plot.Jpeg"},
        {".jpg", PLOT_FILE_BMP, ".jpg"},                    // a dot in first place does not count
        {"plot.tar.gz", PLOT_FILE_JPEG, "plot.tar.jpg"},    // from the last dot
        {"/data.v2/plot", PLOT_FILE_BMP, "/data.v2/plot"},  // dots of folders are not the extension
    };
    for (const auto& c : cases)
        EXPECT_EQ(savePlotSwitchName(c.name, c.type), c.result) << c.name;

    settingsWriteString("BMPfilename", "/tmp/out.jpg");
    settingsWriteInt("PlotFileType", 0);
    settingsWriteInt("BMPwidth", 701);
    settingsWriteInt("BMPheight", -5);
    SavePlotDialog dialog(nullptr);
    EXPECT_EQ(dialog.heightBox->text(), "550") << "a stored height <= 0 reads as the default";
    EXPECT_TRUE(dialog.jpegButton->isChecked());
    dialog.bmpButton->click();
    EXPECT_FALSE(dialog.jpegButton->isChecked());
    EXPECT_EQ(dialog.fileName(), "/tmp/out.bmp");
    dialog.widthBox->setText("12x");
    int width = 0;
    int height = 0;
    QString message;
    EXPECT_FALSE(dialog.readBoxes(&width, &height, &message));
    dialog.widthBox->setText("640");
    dialog.accept();
    EXPECT_EQ(settingsReadInt("PlotFileType"), 1);
    EXPECT_EQ(settingsReadInt("BMPwidth"), 640);
    EXPECT_EQ(settingsReadInt("BMPheight"), 550);
    EXPECT_EQ(settingsReadString("BMPfilename"), "/tmp/out.bmp");

    // Without a stored type the dialog proposes PNG; a size in millimetres goes through
    // the resolution.
    writeTextFile(settingsFilePath(), "");
    SavePlotDialog first(nullptr, QStringLiteral("/tmp/decay_plot1"));
    EXPECT_EQ(first.fileName(), "/tmp/decay_plot1.png");
    EXPECT_TRUE(first.pngButton->isChecked());
    first.pdfButton->click();
    EXPECT_EQ(first.fileName(), "/tmp/decay_plot1.pdf");
    first.resolutionBox->setText("300");
    first.unitBox->setCurrentIndex(1);
    EXPECT_EQ(first.widthBox->text(), "59.3") << "700 pixels at 300 dpi";
    first.widthBox->setText("100");
    first.heightBox->setText("50.8");
    ASSERT_TRUE(first.readBoxes(&width, &height, &message)) << message.toStdString();
    EXPECT_EQ(width, 1181);
    EXPECT_EQ(height, 600);
    first.resolutionBox->setText("0");
    EXPECT_FALSE(first.readBoxes(&width, &height, &message));
}

TEST(ColourDialog, ReadsItsBoxesAndStoresAChangedSet)
{
    colourSetsLoad();
    ColourDialog dialog(COLOURS_SAVED, nullptr);
    EXPECT_EQ(dialog.windowTitle(), "Saved plot color selection");
    EXPECT_FALSE(dialog.width[2]->isEnabled());
    EXPECT_TRUE(dialog.width[3]->isEnabled());
    unsigned entries[COLOUR_ROW_COUNT];
    QString message;
    dialog.red[4]->setText("256");
    EXPECT_FALSE(dialog.readBoxes(entries, &message));
    EXPECT_TRUE(message.startsWith(colourSlotNames[4]));
    dialog.red[4]->setText("1");
    dialog.green[4]->setText("2");
    dialog.blue[4]->setText("3");
    dialog.width[4]->setText("4");
    ASSERT_TRUE(dialog.readBoxes(entries, &message));
    EXPECT_EQ(entries[4], 0x04030201u);
    dialog.accept();
    EXPECT_EQ(plotColours.entry[COLOURS_SAVED][4], 0x04030201u);
    EXPECT_EQ(settingsReadInt("Color_4_2"), 0x04030201);

    // "Set standard colors" with Monochrome and White background loads that table.
    ColourDialog standard(COLOURS_SCREEN, nullptr);
    standard.monochromeButton->setChecked(true);
    standard.whiteButton->setChecked(true);
    standard.setStandardColours();
    ASSERT_TRUE(standard.readBoxes(entries, &message));
    for (int slot = 0; slot < COLOUR_ROW_COUNT; ++slot)
        EXPECT_EQ(entries[slot], colourStandard(TABLE_MONO_ON_WHITE, slot)) << slot;
}

TEST(FrameSettings, SplitHeightsAndPlacementRoundTrip)
{
    EXPECT_EQ(frameSplitHeight(5, FRAME_HEIGHT), 20);
    EXPECT_EQ(frameSplitHeight(440, FRAME_HEIGHT), 425);
    EXPECT_EQ(frameSplitHeight(-1, FRAME_HEIGHT), 270);
    EXPECT_EQ(frameSplitHeight(300, FRAME_HEIGHT), 300);
    EXPECT_EQ(frameRestoredSplitHeight(10, 500), 300);

    settingsWriteInt("WinSplitY", 0);
    {
        CMainFrame first;
        first.setGeometry(40, 50, 700, 520);
        first.savePlacement();
    }
    EXPECT_EQ(settingsReadInt("WinLeft"), 40);
    EXPECT_EQ(settingsReadInt("WinBottom"), 570);
    EXPECT_EQ(settingsReadInt("WinMax"), 0);
    settingsWriteInt("WinSplitY", 123);
    CMainFrame second;
    second.show();      // the placement is restored at the first showing
    QApplication::processEvents();
    EXPECT_EQ(second.geometry(), QRect(40, 50, 700, 520));
    EXPECT_EQ(second.sourcePaneHeight(), 123);
}

}  // namespace
