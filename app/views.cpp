// Result views. They read the analysis results only after the end of a run; the frame
// keeps them hidden while a run is on.
#include "app/views.h"

#include <QFile>
#include <QFontDatabase>
#include <QHeaderView>
#include <QPainter>
#include <QScrollBar>
#include <QTextBlock>

#include <cstdio>

#include "analysis/driver.h"
#include "analysis/report.h"
#include "analysis/results.h"
#include "lang/symbols.h"
#include "plot/colours.h"
#include "plot/painter.h"
#include "plot/plotmodel.h"
#include "plot/surface.h"

const char FINAL_RESULTS_MARK[] = "   ----  Final Results  ----";

namespace {

constexpr int LISTING_FONT_PIXELS = 15;     // height of the listing font
constexpr int LISTING_MARGIN = 10;          // pixels left and right of the listing text

QString formatted(const char* format, double value)
{
    char text[64];
    snprintf(text, sizeof text, format, value);
    return QString::fromLatin1(text).trimmed();
}

QFont listingFont()
{
    QFont font(QStringLiteral("Courier New"));
    font.setPixelSize(LISTING_FONT_PIXELS);
    font.setFixedPitch(true);
    font.setStyleHint(QFont::TypeWriter, QFont::PreferDevice);
    if (!QFontInfo(font).fixedPitch()) {
        font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
        font.setPixelSize(LISTING_FONT_PIXELS);
    }
    return font;
}

// A report-style list: one row per item, no tree decoration, columns sized by the width
// of sample texts.
void setUpTable(QTreeWidget* table, const QStringList& headers, const std::vector<const char*>& widthTexts)
{
    table->setRootIsDecorated(false);
    table->setUniformRowHeights(true);
    table->setSelectionMode(QAbstractItemView::SingleSelection);
    table->setHeaderLabels(headers);
    for (int c = 0; c < int(widthTexts.size()); ++c) {
        table->setColumnWidth(c, table->fontMetrics().horizontalAdvance(QLatin1String(widthTexts[size_t(c)])));
        table->headerItem()->setTextAlignment(c, c == 0 ? Qt::AlignLeft : Qt::AlignRight);
    }
}

void fillTable(QTreeWidget* table, const std::vector<QStringList>& rows)
{
    table->clear();
    QList<QTreeWidgetItem*> items;
    for (const QStringList& row : rows) {
        QTreeWidgetItem* item = new QTreeWidgetItem(row);
        for (int c = 1; c < row.size(); ++c)
            item->setTextAlignment(c, Qt::AlignRight | Qt::AlignVCenter);
        items.append(item);
    }
    table->addTopLevelItems(items);
}

}  // namespace

CAnalysisView::CAnalysisView(QWidget* parent) : QPlainTextEdit(parent), scrollPending(false)
{
    setReadOnly(true);
    setUndoRedoEnabled(false);
    setLineWrapMode(QPlainTextEdit::NoWrap);
    setFont(listingFont());
    setViewportMargins(LISTING_MARGIN, 0, LISTING_MARGIN, 0);
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
}

bool CAnalysisView::loadListing(const QString& listingPath)
{
    QFile file(listingPath);
    if (!file.open(QIODevice::ReadOnly)) {
        clearListing();
        return false;
    }
    const QByteArray bytes = file.readAll();
    const QString text = QString::fromUtf8(bytes);
    path = listingPath;
    setPlainText(text);
    QTextCursor cursor(document());
    const qsizetype mark = text.indexOf(QLatin1String(FINAL_RESULTS_MARK));
    if (mark >= 0)
        cursor.setPosition(int(mark));
    setTextCursor(cursor);
    scrollPending = true;
    if (isVisible())
        showEvent(nullptr);
    return true;
}

void CAnalysisView::showEvent(QShowEvent* event)
{
    if (event)
        QPlainTextEdit::showEvent(event);
    if (!scrollPending)
        return;
    scrollPending = false;
    verticalScrollBar()->setValue(textCursor().blockNumber());
}

void CAnalysisView::clearListing()
{
    path.clear();
    clear();
}

bool CAnalysisView::copyListing(const QString& target, QString* message) const
{
    if (target == path)
        return true;
    QFile::remove(target);
    if (QFile::copy(path, target))
        return true;
    *message = QStringLiteral("Unable to write %1").arg(target);
    return false;
}

std::vector<QStringList> parameterRows(bool* withStatistics)
{
    std::vector<QStringList> rows;
    *withStatistics = results.computed && results.withStatistics;
    for (int i = 0; i < results.parameterCount; ++i) {
        const ParameterStatistics& ps = results.parameters[i];
        QStringList row = {QString::fromLatin1(ps.name), formatted("%13.6lG", ps.initialGuess),
                           formatted("%16.9lG", ps.estimate)};
        if (*withStatistics) {
            char t[32];
            formatTValue(t, sizeof t, ps.tValue);
            row << formatted("%14.7lG", ps.stdError) << QString::fromLatin1(t).trimmed()
                << formatted("%7.5lf", ps.probT < 0.00001 ? 0.00001 : ps.probT);
        }
        rows.push_back(row);
    }
    return rows;
}

std::vector<QStringList> variableRows()
{
    std::vector<QStringList> rows;
    for (int j = 0; j < results.variableCount && j < inputVariableCount; ++j) {
        const VariableStatistics& vs = results.variables[j];
        rows.push_back({QString::fromLatin1(inputVariables[j]->name), formatted("%14.7lG", vs.minimum),
                        formatted("%14.7lG", vs.maximum), formatted("%14.7lG", vs.mean),
                        formatted("%14.7lG", vs.standardDeviation)});
    }
    return rows;
}

CParameterView::CParameterView(QWidget* parent) : QTreeWidget(parent) {}

void CParameterView::rebuild()
{
    bool withStatistics = false;
    const std::vector<QStringList> rows = parameterRows(&withStatistics);
    QStringList headers = {QStringLiteral("Parameter"), QStringLiteral("Initial guess"),
                           QStringLiteral("Final estimate")};
    std::vector<const char*> widths = {"X XXXXXXXXXX X", "X 9999999999999 X", "X 9999999999999999 X"};
    if (withStatistics) {
        headers << QStringLiteral("Standard error") << QStringLiteral("t     ") << QStringLiteral("Prob(t) ");
        widths.insert(widths.end(), {"X 99999999999999 X", "X 999999999 X", "X 9999999 X"});
    }
    setColumnCount(int(headers.size()));
    setUpTable(this, headers, widths);
    fillTable(this, rows);
}

void CParameterView::showEvent(QShowEvent* event)
{
    rebuild();
    QTreeWidget::showEvent(event);
}

void CParameterView::hideEvent(QHideEvent* event)
{
    clear();
    QTreeWidget::hideEvent(event);
}

CVariableView::CVariableView(QWidget* parent) : QTreeWidget(parent)
{
    setColumnCount(5);
    setUpTable(this,
               {QStringLiteral("Variable"), QStringLiteral("Minimum value"), QStringLiteral("Maximum value"),
                QStringLiteral("Mean value"), QStringLiteral("Standard deviation")},
               {"X XXXXXXXXXX X", "X Minimum value X", "X Maximum value X", " 9999999999999999 ",
                " 9999999999999999 "});
}

void CVariableView::rebuild()
{
    if (topLevelItemCount() == 0)
        fillTable(this, variableRows());
}

void CVariableView::showEvent(QShowEvent* event)
{
    rebuild();
    QTreeWidget::showEvent(event);
}

void CVariableView::hideEvent(QHideEvent* event)
{
    clear();
    QTreeWidget::hideEvent(event);
}

CPlotView::CPlotView(QWidget* parent) : QWidget(parent)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void CPlotView::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    viewsDrawPlot(&painter, SURFACE_WINDOW, rect(), logicalDpiX(), logicalDpiY());
}

void viewsDrawPlot(QPainter* painter, int surfaceKind, const QRect& area, double dpiX, double dpiY)
{
    const int set = surfaceKind == SURFACE_PRINTER ? COLOURS_PRINTED
                    : surfaceKind == SURFACE_IMAGE ? COLOURS_SAVED : COLOURS_SCREEN;
    const unsigned background = plotColours.entry[set][SLOT_BACKGROUND];
    painter->fillRect(area, QColor(colourRed(background), colourGreen(background), colourBlue(background)));
    if (!analysis.analysisCompleted || !plotModel.currentPlot)
        return;
    painter->save();
    painter->translate(area.topLeft());
    const SurfaceDevice device = {surfaceKind, area.width(), area.height(), dpiX, dpiY};
    std::unique_ptr<PlotSurface> surface = painterMakeSurface(painter, device);
    plotDraw(surface.get(), set, plotModel.currentPlot);
    painter->restore();
}
