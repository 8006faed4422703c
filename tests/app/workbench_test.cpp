// The window as a workbench: the views as tabs, the result tables (limits, derived
// quantities, free selection, numeric sort, tab-separated copy), the banner after a run
// that cannot be trusted, and the toolbar and menus.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QHeaderView>
#include <QImage>
#include <QAbstractItemView>
#include <QCompleter>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QTabBar>
#include <QToolBar>
#include <QTreeWidget>

#include <algorithm>
#include <cmath>
#include <set>

#include <QTextBlock>
#include <QTextDocument>
#include <QTextLayout>

#include "app/dialogs.h"
#include "app/document.h"
#include "app/editview.h"
#include "lang/lexer.h"
#include "testutil.h"
#include "app/mainframe.h"
#include "frame_fixture.h"

namespace {

const char LIMITS_PROGRAM[] =
    "VARIABLES x, y;\nPARAMETERS a = 1, b = 0.1;\nFUNCTION y = a * exp(b * x);\n"
    "DERIVED twice = 2 * a;\nCONFIDENCE 95;\nPLOT TITLE = \"Growth\";\nRPLOT;\n"
    "DATA;\n0 1.1\n1 2.6\n2 7.5\n3 19.8\n4 55.1\n";

QStringList tabTexts(const QTabBar* tabs)
{
    QStringList texts;
    for (int t = 0; t < tabs->count(); ++t)
        texts << tabs->tabText(t);
    return texts;
}

TEST_F(FrameTest, ViewsAreTabsAndPlotsGoByTheirTitles)
{
    EXPECT_EQ(tabTexts(frame->viewTabs()), QStringList({"Program"}));
    openProgram(LIMITS_PROGRAM);
    runToEnd();
    EXPECT_EQ(tabTexts(frame->viewTabs()),
              QStringList({"Program", "Listing", "Parameters", "Variables", "Observations", "Correlations", "Data",
                           "Growth", "Plot of Residuals"}));
    EXPECT_EQ(frame->viewTabs()->tabText(frame->viewTabs()->currentIndex()), "Listing");
    emit frame->viewTabs()->tabBarClicked(8);
    EXPECT_EQ(frame->activeView(), VIEW_PLOT);
    EXPECT_EQ(frame->viewTabs()->currentIndex(), 8);
    emit frame->viewTabs()->tabBarClicked(2);
    EXPECT_EQ(frame->activeView(), VIEW_PARAMETERS);
    // The View menu still switches, and the tab follows it.
    frame->action("viewProgram")->trigger();
    EXPECT_EQ(frame->viewTabs()->currentIndex(), 0);
}

TEST_F(FrameTest, SplitShowsProgramParametersAndPlotTogetherAndIsRemembered)
{
    frame->resize(1600, 1000);
    frame->action("viewSideBySide")->trigger();
    ASSERT_TRUE(frame->sideBySide());
    openProgram(LIMITS_PROGRAM);
    runToEnd();
    QApplication::processEvents();
    EXPECT_EQ(frame->activeView(), VIEW_PLOT);
    EXPECT_TRUE(frame->editView()->isVisible()) << "the program stays on the left";
    EXPECT_TRUE(frame->plotView()->isVisible());
    EXPECT_EQ(frame->sideParameterView()->topLevelItemCount(), 4);
    EXPECT_GT(frame->plotView()->width(), 300);
    // A click into the program makes it the active view again, for the Edit commands.
    QMouseEvent click(QEvent::MouseButtonPress, QPointF(20, 20), QPointF(20, 20), Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QApplication::sendEvent(frame->editView()->viewport(), &click);
    EXPECT_EQ(frame->activeView(), VIEW_PROGRAM);
    EXPECT_TRUE(frame->action("editPaste")->isEnabled());

    frame->savePlacement();
    frame->editView()->document()->setModified(false);
    frame.reset();
    frame = std::make_unique<CMainFrame>();
    frame->show();
    EXPECT_TRUE(frame->sideBySide()) << "remembered";
    frame->action("viewSideBySide")->trigger();
    EXPECT_FALSE(frame->sideBySide());
    openProgram(LIMITS_PROGRAM);
    runToEnd();
    frame->showView(VIEW_PLOT);
    EXPECT_TRUE(frame->plotView()->isVisible()) << "back in the views";
    EXPECT_FALSE(frame->editView()->isVisible());
    frame->savePlacement();     // the later tests start without the split
}

TEST_F(FrameTest, ParameterTableCopiesSortsAndShowsLimitsAndDerivedQuantities)
{
    openProgram(LIMITS_PROGRAM);
    runToEnd();
    frame->showView(VIEW_PARAMETERS);
    QTreeWidget* table = frame->parameterView();
    ASSERT_EQ(table->columnCount(), 8);
    EXPECT_EQ(table->headerItem()->text(6), "Lower 95 %");
    EXPECT_EQ(table->headerItem()->text(7), "Upper 95 %");
    ASSERT_EQ(table->topLevelItemCount(), 4) << "two parameters, the rule, one derived quantity";
    EXPECT_EQ(table->topLevelItem(2)->text(0), "Derived quantities");
    EXPECT_EQ(table->topLevelItem(3)->text(0), "twice");
    EXPECT_NEAR(table->topLevelItem(3)->text(2).toDouble(), 2 * table->topLevelItem(0)->text(2).toDouble(), 1e-7);
    // A probability at the listing's floor is a bound.
    EXPECT_EQ(table->topLevelItem(1)->text(5), "< 0.00001");
    EXPECT_LT(table->topLevelItem(0)->text(6).toDouble(), table->topLevelItem(0)->text(2).toDouble());

    // The whole table, then a free selection of cells, as tab-separated text with a heading.
    table->clearSelection();
    QStringList lines = viewsTableTsv(table).split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 5);
    EXPECT_EQ(lines[0], "Parameter\tInitial guess\tFinal estimate\tStandard error\tt\tProb(t)\tLower 95 %\tUpper 95 %");
    EXPECT_TRUE(lines[1].startsWith("a\t1\t")) << lines[1].toStdString();
    table->selectionModel()->select(table->model()->index(1, 0), QItemSelectionModel::Select);
    table->selectionModel()->select(table->model()->index(1, 2), QItemSelectionModel::Select);
    table->selectionModel()->select(table->model()->index(0, 2), QItemSelectionModel::Select);
    lines = viewsTableTsv(table).split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 3);
    EXPECT_EQ(lines[0], "Parameter\tFinal estimate");
    EXPECT_EQ(lines[2], "b\t" + table->topLevelItem(1)->text(2));
    frame->action("editCopy")->trigger();
    EXPECT_EQ(QApplication::clipboard()->text(), viewsTableTsv(table));

    // Sorting by the estimate orders numbers as numbers, either way; the derived rows
    // stay below their rule.
    for (const Qt::SortOrder order : {Qt::AscendingOrder, Qt::DescendingOrder}) {
        table->header()->setSortIndicator(2, order);
        emit table->header()->sectionClicked(2);
        const double first = table->topLevelItem(0)->text(2).toDouble();
        const double second = table->topLevelItem(1)->text(2).toDouble();
        EXPECT_TRUE(order == Qt::AscendingOrder ? first < second : first > second) << first << " " << second;
        EXPECT_EQ(table->topLevelItem(3)->text(0), "twice");
    }
    table->header()->setSortIndicator(1, Qt::AscendingOrder);
    emit table->header()->sectionClicked(1);
    EXPECT_EQ(table->topLevelItem(0)->text(1), "0.1") << "0.1 before 1";

    // The correlations: a symmetric matrix with a unit diagonal, from the covariance.
    frame->action("viewCorrelations")->trigger();
    QTreeWidget* correlations = frame->correlationView();
    ASSERT_EQ(correlations->topLevelItemCount(), 2);
    ASSERT_EQ(correlations->columnCount(), 3);
    EXPECT_EQ(correlations->headerItem()->text(2), "b");
    EXPECT_EQ(correlations->topLevelItem(0)->text(1), "1.0000");
    EXPECT_EQ(correlations->topLevelItem(1)->text(2), "1.0000");
    EXPECT_EQ(correlations->topLevelItem(0)->text(2), correlations->topLevelItem(1)->text(1));
    EXPECT_LT(correlations->topLevelItem(0)->text(2).toDouble(), 0.0) << "a and b of a growth curve trade off";
    frame->showView(VIEW_PARAMETERS);

    // The columns share the whole width.
    int total = 0;
    for (int c = 0; c < table->columnCount(); ++c)
        total += table->columnWidth(c);
    EXPECT_GE(total, table->viewport()->width() - table->columnCount() - 2);
}

TEST_F(FrameTest, ObservationTableHasOneRowPerObservation)
{
    openProgram("VARIABLES x, y;\nPARAMETERS a = 1, b = 0.1;\nFUNCTION y = a * exp(b * x);\nWEIGHT 1 / y^2;\n"
                "DATA;\n0 1.1\n1 2.6\n2 7.5\n3 19.8\n4 55.1\n");
    runToEnd();
    frame->action("viewObservations")->trigger();
    ASSERT_EQ(frame->activeView(), VIEW_OBSERVATIONS);
    QTreeWidget* table = frame->observationView();
    ASSERT_EQ(table->topLevelItemCount(), 5);
    table->clearSelection();
    const QStringList lines = viewsTableTsv(table).split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 6);
    EXPECT_EQ(lines[0], "Obs\tx\ty\tObserved\tPredicted\tResidual\tWeight\tWeighted residual");
    for (int i = 1; i <= 5; ++i) {
        const QStringList cells = lines[i].split('\t');
        ASSERT_EQ(cells.size(), 8);
        EXPECT_EQ(cells[0].toInt(), i);
        EXPECT_EQ(cells[3], cells[2]) << "the observed value is y";
        const double residual = cells[3].toDouble() - cells[4].toDouble();
        EXPECT_NEAR(cells[5].toDouble(), residual, 1e-6 * std::max(1.0, std::fabs(cells[3].toDouble())));
        EXPECT_NEAR(cells[6].toDouble(), 1 / (cells[2].toDouble() * cells[2].toDouble()), 1e-6 * cells[6].toDouble());
        EXPECT_NEAR(cells[7].toDouble(), std::sqrt(cells[6].toDouble()) * cells[5].toDouble(), 1e-6);
    }
    // The Data tab: the inputs as read, the same as the table's first columns.
    frame->action("viewData")->trigger();
    ASSERT_EQ(frame->activeView(), VIEW_DATA);
    const QStringList data = viewsTableTsv(frame->dataView()).split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(data.size(), 6);
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(data[i], lines[i].section('\t', 0, 2));
    frame->action("viewObservations")->trigger();

    // Sorted by the residual, the rows keep their observation numbers.
    table->header()->setSortIndicator(5, Qt::AscendingOrder);
    emit table->header()->sectionClicked(5);
    for (int r = 1; r < 5; ++r)
        EXPECT_LE(table->topLevelItem(r - 1)->text(5).toDouble(), table->topLevelItem(r)->text(5).toDouble());
}

TEST_F(FrameTest, BannerNamesEachStopThatCannotBeTrusted)
{
    const struct {
        const char* program;
        const char* banner;     // the start of the banner, "" for none
        QStringList flagged;
    } cases[] = {
        {LIMITS_PROGRAM, "", {}},
        {"VARIABLES x, y;\nPARAMETERS a = 1, b = 1;\nITERATIONS 2;\nFUNCTION y = a * exp(b * x);\n"
         "DATA;\n0 1.1\n1 2.6\n2 7.5\n3 19.8\n4 55.1\n",
         "Stopped due to: Function did not converge before iteration limit reached.", {}},
        {"VARIABLES x, y;\nPARAMETERS a = 1, b = 10;\nFUNCTION y = a * log(x - b);\nDATA;\n1 2\n2 3\n3 4\n",
         "Stopped due to: Function cannot be computed at starting parameter values.  The model cannot be computed",
         {}},
        {"VARIABLES x, y;\nPARAMETERS a = 1, b = 1, c = 0;\nFUNCTION y = a * b * x + c;\n"
         "DATA;\n0 1.1\n1 2.9\n2 5.2\n3 7.1\n4 8.8\n",
         "", {"a", "b"}},
    };
    for (const auto& c : cases) {
        openProgram(c.program);
        runToEnd();
        const QString banner = frame->bannerText();
        if (*c.banner)
            EXPECT_TRUE(banner.startsWith(QLatin1String(c.banner))) << c.program << "\n" << banner.toStdString();
        else if (c.flagged.isEmpty())
            EXPECT_TRUE(banner.isEmpty()) << banner.toStdString();
        else
            EXPECT_FALSE(banner.isEmpty()) << "a product of two parameters";
        EXPECT_EQ(frameFlaggedParameters(), c.flagged) << c.program;
        if (!c.flagged.isEmpty()) {
            frame->showView(VIEW_PARAMETERS);
            QTreeWidget* table = frame->parameterView();
            EXPECT_NE(table->topLevelItem(0)->background(0), table->topLevelItem(2)->background(0))
                << "a is marked, c is not";
        }
        // The next Run starts without the old banner or notice.
        frame->editView()->setPlainText(QStringLiteral("VARIABLES x;\nPARAMETERS a;\nFUNCTION y = ;\n"));
        frame->runAnalysis();
        EXPECT_TRUE(frame->bannerText().isEmpty());
        EXPECT_TRUE(frame->statusNotice().isEmpty());
        waitFor([this] { return !frame->running(); });
        frame->editView()->document()->setModified(false);
    }
}

TEST_F(FrameTest, ToolbarAndMenusOfferEachCommandOnce)
{
    std::set<QByteArray> icons;
    int buttons = 0;
    for (QAction* a : frame->findChild<QToolBar*>("toolBar")->actions()) {
        if (a->isSeparator())
            continue;
        ++buttons;
        ASSERT_FALSE(a->icon().isNull()) << a->objectName().toStdString();
        const QImage image = a->icon().pixmap(32).toImage().convertToFormat(QImage::Format_ARGB32);
        icons.insert(QByteArray(reinterpret_cast<const char*>(image.constBits()), image.sizeInBytes()));
    }
    EXPECT_EQ(int(icons.size()), buttons) << "no two buttons look alike";
    EXPECT_TRUE(frame->findChild<QToolBar*>("toolBar")->actions().contains(frame->action("runButton")));
    EXPECT_EQ(frame->menu("showMenu"), nullptr);
    EXPECT_TRUE(frame->menu("viewMenu")->actions().contains(frame->action("showToolbar")));
    EXPECT_TRUE(frame->menu("viewMenu")->actions().contains(frame->action("showStatusBar")));
    int tutorials = 0;
    for (QMenu* m : frame->findChildren<QMenu*>())
        tutorials += m->actions().contains(frame->action("tutorial")) ? 1 : 0;
    EXPECT_EQ(tutorials, 1);

    // Changing commands act on the program only; Copy wherever there is text or a plot.
    openProgram(LIMITS_PROGRAM);
    runToEnd();
    for (const int view : {VIEW_PROGRAM, VIEW_ANALYSIS, VIEW_PARAMETERS, VIEW_PLOT}) {
        frame->showView(view);
        for (const char* name : {"editUndo", "editCut", "editPaste", "editReplace"})
            EXPECT_EQ(frame->action(name)->isEnabled(), view == VIEW_PROGRAM) << name << " in " << view;
        EXPECT_TRUE(frame->action("editCopy")->isEnabled()) << view;
    }
}

TEST(PasteData, SpreadsheetCellsBecomeDataRecords)
{
    const struct {
        const char* cells;
        const char* records;
        int leftOut;
    } cases[] = {
        // a spreadsheet copy: tabs, a header row, decimal commas, a last line end
        {"time\tconc\r\n0\t1,5\r\n1\t2,25\r\n", "// time  conc\n0  1.5\n1  2.25\n", 0},
        // commas, no header, blanks around the values, no last line end
        {"1, 2.5\n2, 3e-2", "1  2.5\n2  3e-2\n", 0},
        // missing cells: the row is kept as a comment and counted
        {"x\ty\n1\t2\n2\t\n3\tNA\n4\t5\n", "// x  y\n1  2\n// left out (a missing value): 2\n"
                                           "// left out (a missing value): 3 NA\n4  5\n", 2},
        // nothing numeric
        {"name\tvalue\n", "", 0},
        {"", "", 0},
    };
    for (const auto& c : cases) {
        int leftOut = -1;
        EXPECT_EQ(docDataRecords(QLatin1String(c.cells), &leftOut), QLatin1String(c.records)) << c.cells;
        EXPECT_EQ(leftOut, c.leftOut) << c.cells;
    }
}

TEST_F(FrameTest, PastedDataRunsAsInlineData)
{
    frame->editView()->setPlainText(QStringLiteral("VARIABLES x, y;\nPARAMETERS a = 1, b = 0.1;\n"
                                                   "FUNCTION y = a * exp(b * x);"));
    QApplication::clipboard()->setText(QStringLiteral("x\ty\n0\t1,1\n1\t2,6\n2\t7,5\n3\t\n4\t55,1\n"));
    frame->action("editPasteData")->trigger();
    EXPECT_TRUE(frame->editView()->toPlainText().endsWith("FUNCTION y = a * exp(b * x);\nDATA;\n// x  y\n0  1.1\n"
                                                         "1  2.6\n2  7.5\n// left out (a missing value): 3\n4  55.1\n"))
        << frame->editView()->toPlainText().toStdString();
    EXPECT_TRUE(frame->statusNotice().contains("1 row(s)"));
    const MoxelRun run = runMoxel(frame->editView()->toPlainText().toStdString(), "pasted");
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_NE(run.listing.find("Number of observations = 4"), std::string::npos);
    frame->editView()->document()->setModified(false);
}

TEST(Editor, CompletionOffersStatementWordsBuiltinsAndDeclaredNames)
{
    const QSet<QString> declared = {"k1", "k2", "conc"};
    EXPECT_EQ(editCompletions(QStringLiteral("para"), declared), QStringList({"PARAMETER", "PARAMETERS"}));
    EXPECT_EQ(editCompletions(QStringLiteral("wei"), declared), QStringList({"WEIGHT"}));
    EXPECT_EQ(editCompletions(QStringLiteral("k"), declared), QStringList({"k1", "k2"}));
    const QStringList con = editCompletions(QStringLiteral("CON"), declared);
    for (const char* word : {"CONFIDENCE", "CONNECT", "CONSTANT", "CONSTRAIN", "CONTINUE", "conc"})
        EXPECT_TRUE(con.contains(QLatin1String(word))) << word;
    EXPECT_TRUE(editCompletions(QStringLiteral("ex"), declared).contains("exp"));
    EXPECT_TRUE(editCompletions(QString(), declared).isEmpty());
}

TEST_F(FrameTest, CtrlSpaceAndThreeLettersOfferCompletions)
{
    EditView* editor = frame->editView();
    editor->setPlainText(QStringLiteral("VARIABLES conc, y;\n"));
    editor->moveCursor(QTextCursor::End);
    const auto press = [editor](int key, const QString& text, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        QKeyEvent event(QEvent::KeyPress, key, modifiers, text);
        QApplication::sendEvent(editor, &event);
    };
    press(Qt::Key_C, "c");
    press(Qt::Key_O, "o");
    EXPECT_FALSE(editor->completer()->popup()->isVisible()) << "two letters";
    press(Qt::Key_N, "n");
    ASSERT_TRUE(editor->completer()->popup()->isVisible()) << "three letters";
    QStringList offered;
    for (int r = 0; r < editor->completer()->completionModel()->rowCount(); ++r)
        offered << editor->completer()->completionModel()->index(r, 0).data().toString();
    EXPECT_TRUE(offered.contains("conc") && offered.contains("CONSTANT")) << offered.join(' ').toStdString();
    emit editor->completer()->activated(QStringLiteral("CONSTANT"));
    EXPECT_TRUE(editor->toPlainText().endsWith("\nCONSTANT"));
    editor->completer()->popup()->hide();
    press(Qt::Key_Space, " ");
    press(Qt::Key_E, "e");
    press(Qt::Key_Space, QString(), Qt::ControlModifier);
    EXPECT_TRUE(editor->completer()->popup()->isVisible()) << "Ctrl+Space on one letter";
    editor->completer()->popup()->hide();
    editor->document()->setModified(false);
}

TEST(Editor, F1FindsTheManualEntryOfTenWords)
{
    const QStringList lines =
        QString::fromStdString(readTextFile(sourceDir() + "/docs/Manual.txt")).split(QLatin1Char('\n'));
    ASSERT_GT(lines.size(), 1000);
    const struct {
        const char* word;
        const char* entry;      // the start of the line F1 shows, after its indentation
    } cases[] = {
        {"VARIABLES", "VARIABLES"}, {"parameters", "PARAMETERS"}, {"FUNCTION", "FUNCTION and MODEL"},
        {"DOUBLE", "DOUBLE"},       {"CONSTANT", "CONSTANT"},     {"Confidence", "CONFIDENCE"},
        {"SWEEP", "SWEEP"},         {"CONSTRAIN", "CONSTRAIN"},   {"exp", "EXP(x)"},
        {"WEIGHT", "WEIGHT"},
    };
    for (const auto& c : cases) {
        const int line = frameManualLine(lines, QLatin1String(c.word));
        ASSERT_GE(line, 0) << c.word;
        EXPECT_TRUE(lines[line].trimmed().startsWith(QLatin1String(c.entry))) << c.word << ": " << lines[line].toStdString();
        EXPECT_GT(line, 100) << c.word << ": not the quick start";
    }
    EXPECT_EQ(frameManualLine(lines, QStringLiteral("zzqqx")), -1);
    EXPECT_EQ(frameManualLine(lines, QString()), -1);
}

TEST(Editor, EveryWordOfTheLanguagesTablesHasItsStyle)
{
    int words = 0;
    for (int k = 0; const char* word = lexerKeyword(k); ++k, ++words) {
        EXPECT_EQ(editWordStyle(QLatin1String(word), {}), STYLE_KEYWORD) << word;
        EXPECT_EQ(editWordStyle(QString::fromLatin1(word).toUpper(), {}), STYLE_KEYWORD) << word;
    }
    EXPECT_GT(words, 40);
    for (int k = 0; const char* word = lexerContextWord(k); ++k)
        EXPECT_EQ(editWordStyle(QLatin1String(word), {}), STYLE_CONTEXT_WORD) << word;
    for (const char* word : {"WEIGHT", "DERIVED", "CBAND", "PBAND", "SBAND", "RESIDUAL"})
        EXPECT_EQ(editWordStyle(QString::fromLatin1(word).toLower(), {}), STYLE_CONTEXT_WORD) << word;
    // A declared name is the program's own, even where a built-in has its spelling.
    QTextDocument document(QStringLiteral("// VARIABLES q;\nVARIABLES t, y;\nPARAMETERS k1 = 1,\n  k2 = 2;\n"
                                          "DOUBLE s; DERIVED half = k1 / 2;\nFUNCTION y = k1 * exp(-k2 * t);\n"
                                          "DATA;\nVARIABLES late;\n"));
    const QSet<QString> declared = editDeclaredNames(&document);
    EXPECT_EQ(declared, QSet<QString>({"t", "y", "k1", "k2", "s", "half"}));
    EXPECT_EQ(editWordStyle(QStringLiteral("exp"), declared), STYLE_BUILTIN);
    EXPECT_EQ(editWordStyle(QStringLiteral("t"), declared), STYLE_DECLARED);
    EXPECT_EQ(editWordStyle(QStringLiteral("k2"), declared), STYLE_DECLARED);
    EXPECT_EQ(editWordStyle(QStringLiteral("q"), declared), STYLE_NONE);
}

TEST_F(FrameTest, EditorColoursTheProgramAndNewStartsFromARunnableTemplate)
{
    frame->fileNew();
    const QString text = frame->editView()->toPlainText();
    ASSERT_EQ(text, QLatin1String(NEW_PROGRAM_TEMPLATE));
    EXPECT_FALSE(frame->editView()->document()->isModified());
    // The declared names are coloured once the typing has stopped.
    ASSERT_TRUE(waitFor([this] {
        const QTextBlock line = frame->editView()->document()->findBlockByNumber(7);   // FUNCTION y = a * exp(b * x);
        const QList<QTextLayout::FormatRange> ranges = line.layout()->formats();
        return std::any_of(ranges.begin(), ranges.end(), [](const QTextLayout::FormatRange& r) { return r.start == 9; });
    }, 3000));
    const QList<QTextLayout::FormatRange> ranges =
        frame->editView()->document()->findBlockByNumber(7).layout()->formats();
    QMap<int, QColor> colours;
    for (const QTextLayout::FormatRange& r : ranges)
        colours[r.start] = r.format.foreground().color();
    ASSERT_TRUE(colours.contains(0) && colours.contains(9) && colours.contains(13) && colours.contains(17));
    EXPECT_EQ(colours[9], colours[13]) << "y and a: declared names";
    EXPECT_NE(colours[9], colours[17]) << "a declared name and exp differ";
    EXPECT_NE(colours[0], colours[9]) << "FUNCTION and y differ";

    const MoxelRun run = runMoxel(text.toStdString(), "template");
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_NE(run.listing.find("Both parameter and relative function convergence."), std::string::npos) << run.listing;
}

}  // namespace
