// What a newcomer meets in the window: the first window's size, the screen colours,
// unique mnemonics, Find and Replace, errors shown where they are, tables sized to
// their contents, progress, Save-plot, the colour swatches, the manual's contents and
// the copy of a program from a folder that cannot be written.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QMimeData>
#include <QMouseEvent>
#include <QColorDialog>
#include <QDir>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QHeaderView>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QProgressDialog>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QStatusBar>
#include <QTimer>
#include <QTreeWidget>

#include <cmath>
#include <functional>
#include <memory>
#include <string>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "analysis/driver.h"
#include "app/dialogs.h"
#include "app/document.h"
#include "app/editview.h"
#include "app/mainframe.h"
#include "app/printing.h"
#include "lang/options.h"
#include "plot/colours.h"
#include "plot/export.h"
#include "plot/plotmodel.h"
#include "plot/settings.h"
#include "frame_fixture.h"
#include "testutil.h"

namespace {

const char PLOT_PROGRAM[] =
    "VARIABLES x, y;\nPARAMETERS a = 1, b = 0.1;\nFUNCTION y = a * exp(b * x);\nPLOT;\nRPLOT;\n"
    "DATA;\n0 1.1\n1 2.6\n2 7.5\n3 19.8\n4 55.1\n";

// Runs act on the next modal dialog of type T once it is open; *seen tells that it was.
template <typename T>
void whenModal(std::function<void(T*)> act, bool* seen, int attempts = 300)
{
    QTimer::singleShot(10, [act, seen, attempts] {
        T* dialog = qobject_cast<T*>(QApplication::activeModalWidget());
        if (!dialog) {
            if (attempts > 0)
                whenModal<T>(act, seen, attempts - 1);
            return;
        }
        *seen = true;
        act(dialog);
    });
}

// Relative luminance and contrast ratio of two colours (WCAG 2 formulas).
double luminance(unsigned entry)
{
    const auto channel = [](int value) {
        const double c = value / 255.0;
        return c <= 0.03928 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * channel(colourRed(entry)) + 0.7152 * channel(colourGreen(entry)) +
           0.0722 * channel(colourBlue(entry));
}

double contrast(unsigned a, unsigned b)
{
    const double la = luminance(a);
    const double lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

using WindowTest = FrameTest;

TEST(ScreenColours, EveryElementStandsOutFromTheBackgroundAndStoredColoursWin)
{
    for (int set = 0; set < COLOUR_SET_COUNT; ++set)
        for (int slot = 0; slot < COLOUR_SLOT_COUNT; ++slot)
            settingsWriteInt(("Color_" + std::to_string(slot) + "_" + std::to_string(set)).c_str(), -1);
    colourSetsLoad();
    const unsigned* screen = plotColours.entry[COLOURS_SCREEN];
    // Marks, curve, residual and ideal lines, axes and texts need 3:1 (large-text
    // legibility); the grid, drawn behind everything, at least 2:1.
    const struct {
        int slot;
        double least;
    } rules[] = {
        {SLOT_TITLE, 3}, {SLOT_TEXT, 3}, {SLOT_AXES, 3}, {SLOT_DATA, 3}, {SLOT_FUNCTION, 3},
        {SLOT_RESIDUAL, 3}, {SLOT_IDEAL, 3}, {SLOT_GRID, 2}, {SLOT_SECOND, 3}, {SLOT_BAND, 3},
    };
    for (const auto& rule : rules) {
        EXPECT_GE(contrast(screen[rule.slot], screen[SLOT_BACKGROUND]), rule.least) << colourSlotNames[rule.slot];
        EXPECT_GE(colourWidth(screen[rule.slot]), 1) << colourSlotNames[rule.slot];
    }
    // The saved images keep their colours: the reference images depend on them.
    EXPECT_EQ(colourRgb(plotColours.entry[COLOURS_SAVED][SLOT_DATA]), 200u << 16);
    EXPECT_EQ(colourRgb(plotColours.entry[COLOURS_SAVED][SLOT_BACKGROUND]), 0xFFFFFFu);

    settingsWriteInt("Color_4_0", int(colourEntry(1, 0, 0, 255)));
    colourSetsLoad();
    EXPECT_EQ(plotColours.entry[COLOURS_SCREEN][SLOT_DATA], colourEntry(1, 0, 0, 255)) << "a stored colour wins";
    settingsWriteInt("Color_4_0", -1);
    colourSetsLoad();
}

TEST(FirstWindow, TwoThirdsAcrossThreeQuartersDownCentredUnlessAPlacementIsStored)
{
    const struct {
        QRect available;
        QRect expected;
    } cases[] = {
        {QRect(0, 0, 1600, 1000), QRect(264, 125, 1072, 750)},
        {QRect(0, 30, 1920, 1050), QRect(317, 161, 1286, 787)},      // below a top panel
        {QRect(1920, 0, 1280, 1024), QRect(2131, 128, 857, 768)},    // a second screen
        {QRect(0, 0, 800, 600), QRect(82, 75, 635, 450)},            // never below 635 x 450
        {QRect(0, 0, 600, 400), QRect(0, 0, 600, 400)},              // nor beyond the screen
    };
    for (const auto& c : cases)
        EXPECT_EQ(frameDefaultGeometry(c.available), c.expected) << c.available.width();

    settingsWriteInt("WinFlags", -1);
    settingsWriteInt("WinSplitY", 0);
    {
        CMainFrame first;
        first.show();
        QApplication::processEvents();
        EXPECT_EQ(first.geometry(), frameDefaultGeometry(first.screen()->availableGeometry()));
        // The source pane keeps 60 % of the program view.
        const double share = double(first.sourcePaneHeight()) /
                             (first.sourcePaneHeight() + first.statusView()->height());
        EXPECT_NEAR(share, 0.6, 0.02);
        first.setGeometry(40, 50, 700, 520);
        first.savePlacement();
    }
    CMainFrame second;
    second.show();
    QApplication::processEvents();
    EXPECT_EQ(second.geometry(), QRect(40, 50, 700, 520)) << "the stored placement wins";
    settingsWriteInt("WinFlags", -1);
}

TEST_F(WindowTest, EveryMenuHasUniqueMnemonics)
{
    openProgram(PLOT_PROGRAM);
    runToEnd();
    emit frame->menu("viewMenu")->aboutToShow();   // the plot submenu takes its place
    std::function<void(const QList<QAction*>&, const QString&)> check = [&](const QList<QAction*>& actions,
                                                                            const QString& where) {
        QMap<QChar, QString> taken;
        for (QAction* item : actions) {
            if (item->isSeparator() || !item->isVisible())
                continue;
            const QString text = item->text();
            const qsizetype amp = text.indexOf(QLatin1Char('&'));
            if (amp >= 0 && amp + 1 < text.size()) {
                const QChar key = text[amp + 1].toLower();
                EXPECT_FALSE(taken.contains(key)) << where.toStdString() << ": '" << text.toStdString() << "' and '"
                                                  << taken.value(key).toStdString() << "'";
                taken[key] = text;
            }
            if (item->menu())
                check(item->menu()->actions(), text);
        }
    };
    check(frame->menuBar()->actions(), QStringLiteral("menu bar"));
    EXPECT_EQ(frame->action("viewParameters")->text(), "Pa&rameters");
    EXPECT_EQ(frame->menu("plotMenu")->title(), "P&lot");
}

TEST_F(WindowTest, FindReplaceAndRedoInTheEditor)
{
    EditView* editor = frame->editView();
    editor->setPlainText("alpha beta\nAlpha gamma\nbeta alpha\n");
    const struct {
        const char* text;
        QTextDocument::FindFlags flags;
        int start;          // cursor position before
        bool found;
        int line;           // 0-based block of the selected match
        int column;
    } finds[] = {
        {"alpha", {}, 0, true, 0, 0},
        {"alpha", {}, 1, true, 1, 0},                              // case ignored by default
        {"alpha", QTextDocument::FindCaseSensitively, 1, true, 2, 5},
        {"alpha", QTextDocument::FindCaseSensitively, 30, true, 0, 0},   // wraps round
        {"alpha", QTextDocument::FindBackward, 0, true, 2, 5},     // backward, wrapping
        {"delta", {}, 3, false, 0, 3},                             // not found: the cursor stays
    };
    for (const auto& f : finds) {
        QTextCursor cursor = editor->textCursor();
        cursor.setPosition(f.start);
        editor->setTextCursor(cursor);
        EXPECT_EQ(editor->findText(f.text, f.flags), f.found) << f.text << " from " << f.start;
        const QTextCursor after = editor->textCursor();
        EXPECT_EQ(after.block().blockNumber(), f.line) << f.text << " from " << f.start;
        EXPECT_EQ(after.selectionStart() - after.block().position(), f.column) << f.text << " from " << f.start;
    }

    EXPECT_EQ(editor->replaceAll("beta", "B", {}), 2);
    EXPECT_EQ(editor->toPlainText(), "alpha B\nAlpha gamma\nB alpha\n");
    frame->action("editUndo")->trigger();
    EXPECT_EQ(editor->toPlainText(), "alpha beta\nAlpha gamma\nbeta alpha\n") << "one undo step";
    frame->action("editRedo")->trigger();
    EXPECT_EQ(editor->toPlainText(), "alpha B\nAlpha gamma\nB alpha\n");

    // Replace: the first press finds, each further press replaces and finds the next.
    editor->moveCursor(QTextCursor::Start);
    EXPECT_TRUE(editor->replaceNext("alpha", "x", {}));
    EXPECT_TRUE(editor->replaceNext("alpha", "x", {}));
    EXPECT_EQ(editor->toPlainText(), "x B\nAlpha gamma\nB alpha\n");

    // The menu items and their keys.
    const struct {
        const char* name;
        QKeySequence key;
    } keys[] = {
        {"editFind", QKeySequence(Qt::CTRL | Qt::Key_F)}, {"editFindNext", QKeySequence(Qt::Key_F3)},
        {"editReplace", QKeySequence(Qt::CTRL | Qt::Key_H)}, {"editRedo", QKeySequence(Qt::CTRL | Qt::Key_Y)},
    };
    for (const auto& k : keys)
        EXPECT_TRUE(frame->action(k.name)->shortcuts().contains(k.key)) << k.name;
    frame->action("editFind")->trigger();
    ASSERT_NE(frame->findDialog(), nullptr);
    frame->findDialog()->findBox->setText("gamma");
    frame->action("editFindNext")->trigger();
    EXPECT_EQ(editor->textCursor().selectedText(), "gamma");
    frame->findDialog()->close();
}

TEST_F(WindowTest, FailedRunShowsTheFirstErrorLineAndScrollsTheMessagesToIt)
{
    // Forty more errors follow the first: a pane scrolled to its end would hide it.
    std::string text = "VARIABLES x, y;\nPARAMETERS a;\nFUNCTION y = a * ;\n";
    for (int i = 0; i < 40; ++i)
        text += "q = ;\n";
    text += "DATA;\n1 2\n3 4\n";
    frame->resize(900, 500);
    openProgram(text);
    runToEnd();
    EXPECT_EQ(frame->activeView(), VIEW_PROGRAM);
    const StatusView::ErrorPlace place = frame->statusView()->firstError();
    ASSERT_GE(place.index, 0);
    EXPECT_EQ(place.sourceLine, 3);
    EXPECT_EQ(frame->editView()->textCursor().selectedText(), "FUNCTION y = a * ;");
    EXPECT_GT(frame->statusView()->verticalScrollBar()->maximum(), place.index + 10);
    EXPECT_EQ(frame->statusView()->firstVisibleLine(), place.index);

    // A run-time error: the program again, at the line that failed.
    openProgram("VARIABLES x, y;\nPARAMETERS a = 1;\nDOUBLE z[3];\nz[x] = 1;\nFUNCTION y = a * x;\n"
                "DATA;\n1 2\n5 4\n7 9\n",
                "runtime");
    runToEnd();
    EXPECT_EQ(frame->activeView(), VIEW_PROGRAM);
    EXPECT_EQ(frame->statusView()->firstError().sourceLine, 4);
    EXPECT_EQ(frame->editView()->textCursor().selectedText(), "z[x] = 1;");
    EXPECT_TRUE(frame->action("viewAnalysis")->isEnabled()) << "the listing stays a menu item away";

    // A fit that ends well shows its listing as before.
    openProgram(PLOT_PROGRAM, "good");
    runToEnd();
    EXPECT_EQ(frame->activeView(), VIEW_ANALYSIS);
}

TEST_F(WindowTest, TablesFitTheirContentsAndFillTheView)
{
    frame->resize(1400, 700);
    openProgram(PLOT_PROGRAM);
    runToEnd();
    for (const int view : {VIEW_PARAMETERS, VIEW_VARIABLES}) {
        frame->showView(view);
        QApplication::processEvents();
        QTreeWidget* table = view == VIEW_PARAMETERS ? static_cast<QTreeWidget*>(frame->parameterView())
                                                     : frame->variableView();
        const int last = table->columnCount() - 1;
        int total = 0;
        ASSERT_GT(table->topLevelItemCount(), 0);
        for (int c = 0; c <= last; ++c) {
            int widest = 0;
            for (int r = 0; r < table->topLevelItemCount(); ++r)
                widest = std::max(widest, table->fontMetrics().horizontalAdvance(table->topLevelItem(r)->text(c)));
            EXPECT_GE(table->columnWidth(c), widest) << view << " column " << c;
            total += table->columnWidth(c);
        }
        // The spare width is shared out: no column stands far from the others.
        EXPECT_LE(total, table->viewport()->width()) << "no scrolling";
        EXPECT_GE(total, table->viewport()->width() - table->columnCount() - 2) << "the view is filled";
    }
    // Printed, a table is text in aligned columns under a rule.
    frame->showView(VIEW_PARAMETERS);
    const QStringList printed = viewsTableText(frame->parameterView()).split(QLatin1Char('\n'));
    ASSERT_GE(printed.size(), 4);
    EXPECT_TRUE(printed[0].startsWith("Parameter  Initial guess  Final estimate")) << printed[0].toStdString();
    EXPECT_EQ(printed[1], QString(printed[0].size(), QLatin1Char('-')));
    EXPECT_TRUE(printed[2].startsWith("a  ")) << printed[2].toStdString();
    EXPECT_EQ(printed[2].size(), printed[0].size()) << "right-aligned to the heading's end";
}

TEST_F(WindowTest, ProgressShowsTheSweepStepOfAllAndTheElapsedTime)
{
    const struct {
        qint64 ms;
        const char* text;
    } times[] = {{0, "0:00"}, {999, "0:00"}, {61000, "1:01"}, {3599999, "59:59"}, {3723000, "1:02:03"}};
    for (const auto& t : times)
        EXPECT_EQ(progressElapsedText(t.ms), t.text) << t.ms;

    openProgram("VARIABLES x, y;\nPARAMETERS a = 1, b = 0.1;\nDOUBLE i, s;\n"
                "FUNCTION y = a * exp(b * x) + 0 * s;\n"
                "s = 0; FOR (i = 0; i < 2000; i++) s += i;\n"
                "SWEEP a = 1, 20, 1;\nSWEEP b = 0.05, 1, 0.05;\n"
                "DATA;\n0 1.1\n1 2.6\n2 7.5\n3 19.8\n4 55.1\n");
    frame->runAnalysis();
    ASSERT_TRUE(frame->running());
    EXPECT_EQ(frameSweepSteps(), 400);
    ProgressDialog* progress = frame->progressDialog();
    ASSERT_NE(progress, nullptr);
    EXPECT_TRUE(waitFor([progress] { return progress->sweepText() != "0 of 400"; }, 10000));
    EXPECT_TRUE(progress->sweepText().endsWith(" of 400")) << progress->sweepText().toStdString();
    EXPECT_EQ(progress->elapsedText().size(), 4) << progress->elapsedText().toStdString();
    progress->cancelButton()->click();
    ASSERT_TRUE(waitFor([this] { return !frame->running(); }));
    EXPECT_EQ(frame->activeView(), VIEW_ANALYSIS) << "a Cancel shows the listing, not an error";
}

// Save band table writes the shown function plot's bands beside the program under the
// name -plots gives them, and is offered only for a function plot with a band option.
TEST_F(WindowTest, SaveBandTableWritesTheShownPlotsBands)
{
    openProgram("VARIABLES x, y;\nPARAMETERS a = 1, b = 0.1;\nFUNCTION y = a * exp(b * x);\nCONFIDENCE 95;\n"
                "PLOT CBAND PBAND;\nRPLOT;\nDATA;\n0 1.1\n1 2.6\n2 7.5\n3 19.8\n4 55.1\n",
                "bands");
    runToEnd();
    emit frame->menu("viewMenu")->aboutToShow();
    frame->menu("plotMenu")->actions().last()->trigger();      // the residual plot: no bands
    ASSERT_EQ(frame->activeView(), VIEW_PLOT);
    EXPECT_FALSE(frame->action("saveBandTable")->isEnabled());
    frame->menu("plotMenu")->actions().first()->trigger();
    ASSERT_TRUE(frame->action("saveBandTable")->isEnabled());
    frame->action("saveBandTable")->trigger();
    const std::string path = folder + "/bands_plot1.csv";
    const std::vector<std::string> lines = splitLines(readTextFile(path));
    ASSERT_EQ(lines.size(), 201u);
    EXPECT_EQ(lines[0], "x,fit,se_fit,conf_lower,conf_upper,pred_lower,pred_upper,simconf_lower,simconf_upper");
    EXPECT_EQ(frame->statusNotice(), QString::fromStdString("The band table was written to " + path));
}

// The plot view as a user works it: values under the pointer, the tooltip of a mark, the
// zoom of the View menu and its reset, the axis dialog, and Copy, which leaves an image
// and an SVG drawing on the clipboard.
TEST_F(WindowTest, PlotViewReadsZoomsAndCopies)
{
    openProgram(PLOT_PROGRAM, "decay");
    runToEnd();
    emit frame->menu("viewMenu")->aboutToShow();
    frame->menu("plotMenu")->actions().first()->trigger();
    ASSERT_EQ(frame->activeView(), VIEW_PLOT);
    CPlotView* view = frame->plotView();
    view->resize(700, 500);
    view->repaint();
    ASSERT_TRUE(plotLayout.valid);

    // The third observation's mark, found from its widget position.
    const double pageX = plotLayout.marks[4];
    const double pageY = plotLayout.marks[5];
    const QPointF at(pageX / plotLayout.pageWidth * view->width(),
                     view->height() - pageY / plotLayout.pageHeight * view->height());
    EXPECT_NEAR(view->pagePoint(at).x(), pageX, 1e-9);
    EXPECT_NEAR(view->pagePoint(at).y(), pageY, 1e-9);
    QMouseEvent move(QEvent::MouseMove, at, view->mapToGlobal(at), Qt::NoButton, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(view, &move);
    EXPECT_TRUE(frame->statusBar()->currentMessage().startsWith(QStringLiteral("x = 2   y = "))) <<
        frame->statusBar()->currentMessage().toStdString();
    const QString tip = CPlotView::observationText(2);
    for (const char* part : {"Observation 3", "x = 2", "y = 7.5", "Observed: 7.5", "Predicted: ", "Residual: ", "Weight: 1"})
        EXPECT_TRUE(tip.contains(QLatin1String(part))) << part << "\n" << tip.toStdString();
    QMouseEvent press(QEvent::MouseButtonPress, at, view->mapToGlobal(at), Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QMouseEvent release(QEvent::MouseButtonRelease, at, view->mapToGlobal(at), Qt::LeftButton, Qt::NoButton,
                        Qt::NoModifier);
    QApplication::sendEvent(view, &press);
    QApplication::sendEvent(view, &release);
    EXPECT_EQ(view->selectedObservation(), 2);
    EXPECT_TRUE(frame->statusNotice().startsWith(QStringLiteral("Observation 3, x = 2, y = 7.5, Observed: 7.5")))
        << frame->statusNotice().toStdString();

    // Zoom in from the menu, then reset.
    const PlotLayout whole = plotLayout;
    ASSERT_TRUE(frame->action("viewZoomIn")->isEnabled());
    frame->action("viewZoomIn")->trigger();
    view->repaint();
    EXPECT_LT(plotLayoutDataX(plotLayout, plotLayout.boxRight) - plotLayoutDataX(plotLayout, plotLayout.areaLeft),
              plotLayoutDataX(whole, whole.boxRight) - plotLayoutDataX(whole, whole.areaLeft));
    frame->action("viewZoomReset")->trigger();
    view->repaint();
    EXPECT_EQ(plotLayout.xScale, whole.xScale);
    EXPECT_EQ(plotLayout.yStart, whole.yStart);

    // The axis dialog: a log y axis from 1 to 100.
    bool seen = false;
    whenModal<QDialog>([](QDialog* dialog) {
        const QList<QLineEdit*> boxes = dialog->findChildren<QLineEdit*>();
        ASSERT_EQ(boxes.size(), 4);
        boxes[2]->setText(QStringLiteral("1"));
        boxes[3]->setText(QStringLiteral("100"));
        dialog->findChildren<QCheckBox*>().last()->setChecked(true);
        dialog->accept();
    }, &seen);
    frame->action("viewAxes")->trigger();
    EXPECT_TRUE(seen);
    view->repaint();
    EXPECT_TRUE(plotLayout.logY);
    EXPECT_NEAR(plotLayoutDataY(plotLayout, plotLayout.areaBottom), 1.0, 1e-12);
    EXPECT_NEAR(plotLayoutDataY(plotLayout, plotLayout.boxTop), 100.0, 1e-9);

    // Copy: Edit's Copy in the plot view.
    QGuiApplication::clipboard()->clear();
    frame->action("editCopy")->trigger();
    const QMimeData* data = QGuiApplication::clipboard()->mimeData();
    ASSERT_NE(data, nullptr);
    EXPECT_TRUE(data->hasImage());
    EXPECT_EQ(qvariant_cast<QImage>(data->imageData()).size(), view->size());
    ASSERT_TRUE(data->hasFormat(QStringLiteral("image/svg+xml"))) << data->formats().join(' ').toStdString();
    EXPECT_TRUE(data->data(QStringLiteral("image/svg+xml")).startsWith("<?xml"));
    frame->action("viewZoomReset")->trigger();
}

TEST_F(WindowTest, SavePlotProposesItsNameAsksBeforeReplacingAndConfirmsInTheStatusBar)
{
    settingsWriteString("BMPfilename", "/elsewhere/where");
    settingsWriteInt("PlotFileType", 0);
    openProgram(PLOT_PROGRAM, "decay");
    runToEnd();
    emit frame->menu("viewMenu")->aboutToShow();
    frame->menu("plotMenu")->actions().last()->trigger();      // the residual plot, the second
    ASSERT_EQ(frame->activeView(), VIEW_PLOT);
    const QString proposed = QString::fromStdString(folder + "/decay_plot2");
    EXPECT_EQ(frame->plotFileProposal(), proposed);

    // Accepted as proposed: written beside the program, told in the status bar.
    bool seen = false;
    QString shown;
    whenModal<SavePlotDialog>([&shown](SavePlotDialog* dialog) {
        shown = dialog->fileName();
        dialog->accept();
    }, &seen);
    frame->savePlot();
    EXPECT_TRUE(seen);
    EXPECT_EQ(shown, proposed + ".jpg");
    EXPECT_TRUE(QFileInfo::exists(proposed + ".jpg"));
    EXPECT_EQ(frame->statusNotice(), "The plot was written to " + proposed + ".jpg");
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr) << "no box to dismiss";

    const struct {
        const char* name;
        int type;
        const char* result;
    } extensions[] = {
        {"/a/plot", PLOT_FILE_JPEG, "/a/plot.jpg"},
        {"/a/plot", PLOT_FILE_BMP, "/a/plot.bmp"},
        {"/a.v2/plot", PLOT_FILE_BMP, "/a.v2/plot.bmp"},      // a folder's dot is no extension
        {"/a/plot.jpeg", PLOT_FILE_JPEG, "/a/plot.jpeg"},
        {"/a/plot.png", PLOT_FILE_JPEG, "/a/plot.png"},        // the user's own extension stays
        {"/a/", PLOT_FILE_JPEG, "/a/"},                        // a folder alone is left to fail
    };
    for (const auto& e : extensions)
        EXPECT_EQ(savePlotWithExtension(e.name, e.type), e.result) << e.name;

    // A name without an extension gets the type's; an existing file is asked about.
    SavePlotDialog dialog(frame.get(), proposed);
    dialog.bmpButton->click();
    dialog.nameBox->setText(QString::fromStdString(folder + "/mine"));
    dialog.accept();
    EXPECT_EQ(dialog.fileName(), QString::fromStdString(folder + "/mine.bmp"));
    EXPECT_EQ(settingsReadString("BMPfilename"), folder + "/mine.bmp");
    const struct {
        QMessageBox::StandardButton answer;
        int result;
    } replaces[] = {{QMessageBox::No, QDialog::Rejected}, {QMessageBox::Yes, QDialog::Accepted}};
    settingsWriteInt("PlotFileType", PLOT_FILE_JPEG);
    for (const auto& r : replaces) {
        SavePlotDialog again(frame.get(), proposed);
        again.setResult(QDialog::Rejected);
        bool asked = false;
        QString question;
        whenModal<QMessageBox>([&](QMessageBox* box) {
            question = box->text();
            box->button(r.answer)->click();
        }, &asked);
        again.accept();
        EXPECT_TRUE(asked);
        EXPECT_TRUE(question.startsWith(proposed + ".jpg already exists.")) << question.toStdString();
        EXPECT_EQ(again.result(), r.result);
    }

    // Browse: the chooser's file comes back into the name box, its extension telling
    // the type.
    settingsWriteInt("PlotFileType", PLOT_FILE_BMP);
    SavePlotDialog browsing(frame.get(), proposed);
    bool chooser = false;
    whenModal<QFileDialog>([this](QFileDialog* files) {
        // Typed into the name box, as a user would: a selection made while the folder
        // is still being listed can be replaced by the dialog's first one.
        const QString chosen = QString::fromStdString(folder + "/chosen.jpg");
        if (QLineEdit* name = files->findChild<QLineEdit*>(QStringLiteral("fileNameEdit")))
            name->setText(chosen);
        else
            files->selectFile(chosen);
        QMetaObject::invokeMethod(files, "accept");
    }, &chooser);
    browsing.browseButton->click();
    EXPECT_TRUE(chooser);
    EXPECT_EQ(browsing.fileName(), QString::fromStdString(folder + "/chosen.jpg"));
    EXPECT_TRUE(browsing.jpegButton->isChecked());
}

TEST(ColourDialog, SwatchesShowEachRowAndOpenTheColourChooser)
{
    colourSetsLoad();
    ColourDialog dialog(COLOURS_SCREEN, nullptr);
    const auto swatchColour = [&dialog](int slot) {
        return dialog.swatch[slot]->icon().pixmap(dialog.swatch[slot]->iconSize()).toImage().pixelColor(5, 5);
    };
    for (int slot = 0; slot < COLOUR_ROW_COUNT; ++slot) {
        const unsigned entry = plotColours.entry[COLOURS_SCREEN][slot];
        EXPECT_EQ(swatchColour(slot), QColor(colourRed(entry), colourGreen(entry), colourBlue(entry))) << slot;
    }
    dialog.red[SLOT_GRID]->setText("10");
    dialog.green[SLOT_GRID]->setText("20");
    dialog.blue[SLOT_GRID]->setText("300");        // shown clamped while it is typed
    EXPECT_EQ(swatchColour(SLOT_GRID), QColor(10, 20, 255));

    bool seen = false;
    whenModal<QColorDialog>([](QColorDialog* chooser) {
        EXPECT_EQ(chooser->currentColor(), QColor(10, 20, 255));
        chooser->setCurrentColor(QColor(1, 2, 3));
        chooser->accept();
    }, &seen);
    dialog.swatch[SLOT_GRID]->click();
    EXPECT_TRUE(seen);
    EXPECT_EQ(dialog.blue[SLOT_GRID]->text(), "3");
    EXPECT_EQ(swatchColour(SLOT_GRID), QColor(1, 2, 3));
}

TEST(ManualViewer, ContentsListJumpsToEachSection)
{
    const std::vector<ManualHeading> small = manualHeadings(
        "Title\n=====\n\n1. First\n========\ntext\nA part\n------\nmore\n-- not a rule\n--\nshort\n---\n");
    ASSERT_EQ(small.size(), 3u);
    EXPECT_EQ(small[0].title, "Title");
    EXPECT_EQ(small[1].line, 3);
    EXPECT_EQ(small[2].title, "A part");
    EXPECT_EQ(small[2].level, 1);

    ManualViewer viewer;
    viewer.resize(900, 500);
    viewer.show();
    ASSERT_TRUE(viewer.load(QString::fromStdString(sourceDir() + "/docs/Manual.txt")));
    QTreeWidget* contents = viewer.contents();
    QList<QTreeWidgetItem*> found = contents->findItems("17. The window", Qt::MatchExactly);
    ASSERT_EQ(found.size(), 1);
    ASSERT_GT(found[0]->childCount(), 2) << "its sections below it";
    for (QTreeWidgetItem* item : {found[0], found[0]->child(1)}) {
        emit contents->itemClicked(item, 0);
        QApplication::processEvents();
        const int line = item->data(0, Qt::UserRole).toInt();
        EXPECT_EQ(viewer.text()->document()->findBlockByNumber(line).text(), item->text(0));
        EXPECT_EQ(viewer.text()->verticalScrollBar()->value(), line) << item->text(0).toStdString();
    }
}

TEST(PrintLayout, PlotsKeepTheirShapeAndTablesTheirPage)
{
    const struct {
        QRect page;
        QSize shape;
        QRect area;
    } plots[] = {
        {QRect(0, 0, 1000, 1400), QSize(800, 600), QRect(0, 325, 1000, 750)},     // portrait page
        {QRect(0, 0, 1400, 1000), QSize(800, 600), QRect(33, 0, 1333, 1000)},     // landscape page
        {QRect(0, 0, 1000, 1400), QSize(500, 700), QRect(0, 0, 1000, 1400)},      // the same shape
        {QRect(0, 0, 1000, 1400), QSize(0, 0), QRect(0, 0, 1000, 1400)},          // no shape: the page
    };
    for (const auto& p : plots)
        EXPECT_EQ(printPlotArea(p.page, p.shape), p.area) << p.shape.width() << "x" << p.shape.height();

    // A table of five lines that would cross the page end starts a new page; a line
    // longer than a row goes on indented beyond its own indent.
    const QStringList lines = {"one", "two", "", "  Table", "  -----", "  a 1", "  b 2", "  c 3", "",
                               "  " + QString(30, QLatin1Char('x'))};
    const std::vector<QStringList> pages = printLayoutPages(lines, 20, 6);
    ASSERT_EQ(pages.size(), 3u);
    EXPECT_EQ(pages[0], QStringList({"one", "two", ""}));
    EXPECT_EQ(pages[1], QStringList({"  Table", "  -----", "  a 1", "  b 2", "  c 3", ""}));
    EXPECT_EQ(pages[2], QStringList({"  xxxxxxxxxxxxxxxxxx", "      xxxxxxxxxxxx"}));
    // A title of one line goes to the next page with its table.
    const std::vector<QStringList> titled =
        printLayoutPages({"a", "b", "", "-- Title --", "", "Head", "----", "row"}, 20, 6);
    ASSERT_EQ(titled.size(), 2u);
    EXPECT_EQ(titled[1], QStringList({"-- Title --", "", "Head", "----", "row"}));
    // A block longer than a page runs on from where it stands.
    QStringList longBlock = {"head", ""};
    for (int i = 0; i < 9; ++i)
        longBlock << QStringLiteral("row %1").arg(i);
    const std::vector<QStringList> flowing = printLayoutPages(longBlock, 20, 6);
    ASSERT_EQ(flowing.size(), 2u);
    EXPECT_EQ(flowing[0].size(), 6);
    EXPECT_EQ(flowing[0][2], "row 0");
}

}  // namespace

namespace {

const char EXAMPLE_PROGRAM[] =
    "VARIABLES s, v;\nPARAMETERS vmax = 1, km = 1;\nFUNCTION v = vmax * s / (km + s);\nDATA \"enzyme\";\n";
const char EXAMPLE_DATA[] = "0.1 0.09\n0.2 0.17\n0.5 0.33\n1 0.5\n2 0.66\n5 0.83\n";

// Folder permissions do not bind root, so as root the test runs itself again as the
// unprivileged user "nobody"; as any other user it runs at once.
bool runAsNobody(const char* test)
{
    if (geteuid() != 0)
        return false;
    if (std::system("command -v setpriv >/dev/null 2>&1") != 0) {
        ADD_FAILURE() << "setpriv (util-linux) is needed to run this test as an ordinary user";
        return true;
    }
    const std::string log = testTempDir() + "/nobody.txt";
    chmod(log.substr(0, log.rfind('/')).c_str(), 0777);
    char self[4096];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0)
        return true;
    self[length] = '\0';
    const std::string command = "setpriv --reuid=65534 --regid=65534 --clear-groups env -u XDG_CONFIG_HOME "
                                "QT_QPA_PLATFORM=offscreen '" + std::string(self) + "' --gtest_filter=" + test +
                                " >'" + log + "' 2>&1";
    const int raw = std::system(command.c_str());
    EXPECT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 0) << readTextFile(log);
    EXPECT_NE(readTextFile(log).find("[  PASSED  ] 1 test"), std::string::npos) << readTextFile(log);
    return true;
}

}  // namespace

TEST(ReadOnlyExamples, RunOffersACopyInTheUsersFolderAndRunsIt)
{
    if (runAsNobody("ReadOnlyExamples.RunOffersACopyInTheUsersFolderAndRunsIt"))
        return;
    const std::string installed = testTempDir();
    writeTextFile(installed + "/enzyme.mxl", EXAMPLE_PROGRAM);
    writeTextFile(installed + "/enzyme.dat", EXAMPLE_DATA);
    ASSERT_EQ(chmod(installed.c_str(), 0555), 0);
    const std::string home = testTempDir();
    setenv("HOME", home.c_str(), 1);
    const QString copy = QString::fromStdString(home + "/MOXEL/examples/enzyme.mxl");
    ASSERT_EQ(frameCopyFolder(), QString::fromStdString(home + "/MOXEL/examples"));
    EXPECT_FALSE(frameFolderWritable(QString::fromStdString(installed)));

    CMainFrame frame;
    frame.show();
    ASSERT_TRUE(frame.openDocument(QString::fromStdString(installed + "/enzyme.mxl")));
    bool seen = false;
    const auto answer = [&seen](QMessageBox::StandardButton button, QString* text) {
        seen = false;
        whenModal<QMessageBox>([button, text](QMessageBox* box) {
            *text = box->text();
            box->button(button)->click();
        }, &seen);
    };
    // No: nothing is copied and nothing runs.
    QString question;
    answer(QMessageBox::No, &question);
    frame.runAnalysis();
    EXPECT_TRUE(question.contains("cannot be written")) << question.toStdString();
    EXPECT_FALSE(frame.running());
    EXPECT_FALSE(QFileInfo::exists(copy));
    EXPECT_EQ(frame.document()->path(), QString::fromStdString(installed + "/enzyme.mxl"));

    // Yes: the program and its data file are copied, the copy is opened and run.
    answer(QMessageBox::Yes, &question);
    frame.runAnalysis();
    ASSERT_TRUE(waitFor([&frame] { return !frame.running(); }));
    EXPECT_EQ(frame.document()->path(), copy);
    EXPECT_EQ(readTextFile(copy.toStdString()), EXAMPLE_PROGRAM);
    EXPECT_EQ(readTextFile(home + "/MOXEL/examples/enzyme.dat"), EXAMPLE_DATA);
    EXPECT_TRUE(QFileInfo::exists(QString::fromStdString(home + "/MOXEL/examples/enzyme.lst")));
    EXPECT_EQ(frame.activeView(), VIEW_ANALYSIS);
    EXPECT_TRUE(analysis.analysisCompleted);

    // Once more from the installed folder: a copy that exists is only replaced when the
    // user says so, and a data file the user may have changed is kept.
    writeTextFile(home + "/MOXEL/examples/enzyme.dat", "0.1 0.1\n1 0.5\n5 0.8\n");
    ASSERT_TRUE(frame.openDocument(QString::fromStdString(installed + "/enzyme.mxl")));
    QString replace;
    answer(QMessageBox::Yes, &question);
    bool replaceSeen = false;
    QTimer::singleShot(400, [&replace, &replaceSeen] {
        whenModal<QMessageBox>([&replace](QMessageBox* box) {
            replace = box->text();
            box->button(QMessageBox::No)->click();
        }, &replaceSeen);
    });
    frame.runAnalysis();
    ASSERT_TRUE(waitFor([&replace] { return !replace.isEmpty(); }, 5000));
    EXPECT_TRUE(replace.contains("already exists")) << replace.toStdString();
    EXPECT_FALSE(frame.running());
    EXPECT_EQ(readTextFile(home + "/MOXEL/examples/enzyme.dat"), "0.1 0.1\n1 0.5\n5 0.8\n");
    chmod(installed.c_str(), 0755);
}

// Preview: the messages tell the start, the plot shows it, and nothing is written.
TEST_F(WindowTest, PreviewShowsTheStartInTheMessagesAndThePlotWithoutFiles)
{
    openProgram("VARIABLES x, y;\nPARAMETERS a = 1, b = 2;\nFUNCTION y = a + log(x - b);\nPLOT;\n"
                "DATA;\n1 1\n2 1.7\n3 2.1\n4 2.4\n",
                "start");
    ASSERT_TRUE(frame->action("preview")->isEnabled());
    frame->action("preview")->trigger();
    EXPECT_FALSE(frame->running());
    QStringList lines;
    for (int k = 0; k < frame->statusView()->lineCount(); ++k)
        lines << frame->statusView()->lineText(k);
    EXPECT_TRUE(lines.contains("Model computed at 2 of 4 observations")) << lines.join('\n').toStdString();
    EXPECT_TRUE(lines.contains("Observation 1, line 3: Attempt to take log of zero or negative: -1"));
    EXPECT_EQ(frame->statusNotice(), "Preview: the model cannot be computed at some observations");
    EXPECT_EQ(frame->activeView(), VIEW_PROGRAM);
    EXPECT_TRUE(frame->menu("viewMenu")->menuAction()->isEnabled());
    EXPECT_TRUE(frame->action("viewPlot")->isEnabled()) << "the plot at the start values";
    EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(folder + "/start.lst")));

    // A Run afterwards fits as always, and its listing replaces the preview.
    openProgram(PLOT_PROGRAM, "good");
    frame->action("preview")->trigger();
    EXPECT_EQ(frame->statusNotice(), "Preview: the model can be computed at every observation");
    runToEnd();
    EXPECT_EQ(frame->activeView(), VIEW_ANALYSIS);
}

// A converged fit the data do not determine says so in the status bar; a good one does not.
TEST_F(WindowTest, DoubtfulFitIsToldInTheStatusBar)
{
    openProgram("VARIABLES x, y;\nPARAMETERS a = 1, b = 2;\nFUNCTION y = a * b * x;\n"
                "DATA;\n1 3.03\n2 5.98\n3 9.05\n4 11.96\n5 15.01\n6 17.97\n",
                "product");
    runToEnd();
    EXPECT_EQ(frame->activeView(), VIEW_ANALYSIS);
    EXPECT_TRUE(frame->statusNotice().startsWith("The result is doubtful")) << frame->statusNotice().toStdString();
    openProgram(PLOT_PROGRAM, "good");
    runToEnd();
    EXPECT_FALSE(frame->statusNotice().startsWith("The result is doubtful"));
}

// A finding that names a program line takes the editor there: from the Diagnosis in the
// listing and from the preview's messages alike.
TEST_F(WindowTest, FindingThatNamesALineGoesThere)
{
    openProgram("VARIABLES x, y;\nPARAMETERS a = 1, b = 2;\nDOUBLE u;\nu = x - b;\nFUNCTION y = a + log(u);\n"
                "DATA;\n1 1\n2 1.7\n3 2.1\n4 2.4\n",
                "lines");
    runToEnd();
    CAnalysisView* listed = frame->analysisView();
    int finding = -1;
    for (int k = 0; k < listed->lineCount() && finding < 0; ++k)
        if (listed->lineText(k).startsWith("  observation 1, line 5:"))
            finding = k;
    ASSERT_GE(finding, 0);
    frame->showView(VIEW_ANALYSIS);
    listed->chooseLine(finding);
    EXPECT_EQ(frame->activeView(), VIEW_PROGRAM);
    EXPECT_EQ(frame->editView()->textCursor().blockNumber() + 1, 5);

    // The preview's message names the same line.
    EXPECT_EQ(StatusView::sourceLineOf("Observation 2, line 5: Attempt to take log of zero or negative: 0"), 5);
    EXPECT_EQ(StatusView::sourceLineOf("Model computed at 2 of 4 observations"), 0);
}

// A long data read shows the count of records read in a window of its own; its Cancel
// stops the run there. The listing and the messages say after how many observations,
// and the files of the run before stay byte for byte.
TEST_F(WindowTest, CancelWhileReadingTheDataStopsTheRunAndKeepsTheOldFiles)
{
    const std::string model = "VARIABLES x, y;\nPARAMETERS a = 1, b = 1;\nFUNCTION y = a + b * x;\n"
                              "OUTPUT \"fit\" x, y, $PREDICTED;\nPOUTPUT \"fit\";\n";
    writeTextFile(folder + "/small.dat", "1 2.1\n2 3.9\n3 6.2\n4 7.8\n5 10.1\n");
    openProgram(model + "DATA \"small.dat\";\n");
    runToEnd();
    const std::string oldOutput = readTextFile(folder + "/fit.out");
    const std::string oldParameters = readTextFile(folder + "/fit.par");
    ASSERT_FALSE(oldOutput.empty());
    ASSERT_FALSE(oldParameters.empty());

    std::string rows;
    for (int i = 0; i < 300000; ++i)
        rows += i % 2 ? "1 2.1\n" : "2 3.9\n";
    writeTextFile(folder + "/big.dat", rows);
    openProgram(model + "DATA \"big.dat\";\n");
    // Each pass of the read's event handling: the first sight of the progress window
    // presses its Cancel.
    QString shown;
    bool pressed = false;
    QTimer watcher;
    watcher.setInterval(0);
    QObject::connect(&watcher, &QTimer::timeout, [&] {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            auto* dialog = qobject_cast<QProgressDialog*>(widget);
            if (pressed || !dialog || !dialog->isVisible())
                continue;
            shown = dialog->labelText();
            QPushButton* cancel = dialog->findChild<QPushButton*>();
            ASSERT_NE(cancel, nullptr);
            EXPECT_EQ(cancel->text(), "Cancel");
            cancel->click();
            pressed = true;
        }
    });
    watcher.start();
    runToEnd();
    watcher.stop();
    ASSERT_TRUE(pressed) << "no progress window while reading";
    EXPECT_EQ(shown, "Records read: 5000");
    const std::string message = "Reading the data was cancelled after 5000 observations";
    EXPECT_NE(readTextFile(folder + "/fit.lst").find(message), std::string::npos);
    QString lines;
    for (int i = 0; i < frame->statusView()->lineCount(); ++i)
        lines += frame->statusView()->lineText(i) + "\n";
    EXPECT_TRUE(lines.contains(QString::fromStdString(message))) << lines.toStdString();
    EXPECT_EQ(readTextFile(folder + "/fit.out"), oldOutput);
    EXPECT_EQ(readTextFile(folder + "/fit.par"), oldParameters);
    EXPECT_EQ(readTextFile(folder + "/big.dat"), rows);
    for (QWidget* widget : QApplication::topLevelWidgets())
        EXPECT_FALSE(qobject_cast<QProgressDialog*>(widget) && widget->isVisible()) << "the progress window is gone";
    EXPECT_FALSE(frame->running());

    // The next Run reads all of it.
    runToEnd();
    EXPECT_EQ(readTextFile(folder + "/fit.lst").find(message), std::string::npos);
}
