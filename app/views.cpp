// Result views. They read the analysis results only after the end of a run; the frame
// keeps them hidden while a run is on.
#include "app/views.h"

#include <QClipboard>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QFontDatabase>
#include <QHeaderView>
#include <QPainter>
#include <QScrollBar>
#include <QTextBlock>

#include <algorithm>
#include <cstdio>
#include <cmath>
#include <cstring>

#include "app/editview.h"
#include "analysis/driver.h"
#include "analysis/preview.h"
#include "analysis/report.h"
#include "analysis/results.h"
#include "analysis/statistics.h"
#include "analysis/derived.h"
#include "lang/data.h"
#include "lang/symbols.h"
#include "plot/colours.h"
#include "plot/export.h"
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

const char PROB_BELOW_FLOOR[] = "< 0.00001";

// Text of a probability for a table: the listing's floor is a bound, not a value.
QString probabilityText(bool available, double prob, const char* listed)
{
    if (available && prob <= STAT_PROB_FLOOR)
        return QLatin1String(PROB_BELOW_FLOOR);
    return QString::fromLatin1(listed).trimmed();
}

// The value a cell sorts by: its number, a bound just below it, or none (text order).
bool sortValue(const QString& text, double* value)
{
    bool ok = false;
    if (text.startsWith(QLatin1String("< "))) {
        *value = text.mid(2).toDouble(&ok);
        *value = std::nextafter(*value, -INFINITY);
        return ok;
    }
    *value = text.toDouble(&ok);
    return ok;
}

// A row of a report table: numbers sort as numbers, before any text.
class ReportItem : public QTreeWidgetItem {
public:
    explicit ReportItem(const QStringList& cells) : QTreeWidgetItem(cells) {}
    bool operator<(const QTreeWidgetItem& other) const override
    {
        const int column = treeWidget() ? treeWidget()->sortColumn() : 0;
        double a = 0.0;
        double b = 0.0;
        const bool numberA = sortValue(text(column), &a);
        const bool numberB = sortValue(other.text(column), &b);
        if (numberA && numberB)
            return a < b;
        if (numberA != numberB)
            return numberA;
        return text(column) < other.text(column);
    }
};

// A report-style list: one row per item, no tree decoration, columns sized by the width
// of sample texts.
void setUpTable(QTreeWidget* table, const QStringList& headers, const std::vector<const char*>& widthTexts)
{
    table->setRootIsDecorated(false);
    table->setUniformRowHeights(true);
    table->setHeaderLabels(headers);
    table->header()->setStretchLastSection(false);
    for (int c = 0; c < int(widthTexts.size()); ++c) {
        table->setColumnWidth(c, table->fontMetrics().horizontalAdvance(QLatin1String(widthTexts[size_t(c)])));
        table->headerItem()->setTextAlignment(c, c == 0 ? Qt::AlignLeft : Qt::AlignRight);
    }
}

// Each column as wide as its widest text (heading, sample or value). A report view then
// shares the spare width out evenly: stretching the last column alone would put its
// numbers far from their names.
void fitColumns(QTreeWidget* table)
{
    for (int c = 0; c < table->columnCount(); ++c) {
        const int sample = table->columnWidth(c);
        table->resizeColumnToContents(c);
        if (table->columnWidth(c) < sample && table->topLevelItemCount() == 0)
            table->setColumnWidth(c, sample);
    }
}

void fillTable(QTreeWidget* table, const std::vector<QStringList>& rows)
{
    table->clear();
    QList<QTreeWidgetItem*> items;
    for (const QStringList& row : rows) {
        QTreeWidgetItem* item = new ReportItem(row);
        for (int c = 1; c < row.size(); ++c)
            item->setTextAlignment(c, Qt::AlignRight | Qt::AlignVCenter);
        items.append(item);
    }
    table->addTopLevelItems(items);
    fitColumns(table);
    if (ReportView* report = qobject_cast<ReportView*>(table))
        report->stretchColumns();
}

}  // namespace

CAnalysisView::CAnalysisView(QWidget* parent) : QAbstractScrollArea(parent)
{
    setFont(listingFont());
    viewport()->setBackgroundRole(QPalette::Base);
    viewport()->setAutoFillBackground(true);
    viewport()->setCursor(Qt::IBeamCursor);
    setFocusPolicy(Qt::StrongFocus);
}

bool CAnalysisView::loadListing(const QString& listingPath)
{
    QFile file(listingPath);
    if (!file.open(QIODevice::ReadOnly)) {
        clearListing();
        return false;
    }
    bytes = file.readAll();
    path = listingPath;
    lineStarts.clear();
    lineStarts.reserve(size_t(bytes.size() / 40 + 1));
    const char* data = bytes.constData();
    const qint64 size = bytes.size();
    for (qint64 start = 0; start < size;) {
        lineStarts.push_back(start);
        const void* end = memchr(data + start, '\n', size_t(size - start));
        start = end ? static_cast<const char*>(end) - data + 1 : size;
    }
    const qsizetype mark = bytes.indexOf(FINAL_RESULTS_MARK);
    int line = 0;
    if (mark >= 0)
        line = int(std::upper_bound(lineStarts.begin(), lineStarts.end(), qint64(mark)) - lineStarts.begin()) - 1;
    caret = anchor = Position{line, 0};
    updateScrollBars();
    scrollPending = true;
    if (isVisible())
        showEvent(nullptr);
    viewport()->update();
    return true;
}

void CAnalysisView::clearListing()
{
    path.clear();
    bytes.clear();
    lineStarts.clear();
    caret = anchor = Position{0, 0};
    updateScrollBars();
    viewport()->update();
}

bool CAnalysisView::copyListing(const QString& target, QString* message) const
{
    if (QFileInfo(target).absoluteFilePath() == QFileInfo(path).absoluteFilePath())
        return true;
    QFile::remove(target);
    if (QFile::copy(path, target))
        return true;
    *message = QStringLiteral("Unable to write %1").arg(target);
    return false;
}

QString CAnalysisView::lineText(int line) const
{
    if (line < 0 || line >= lineCount())
        return QString();
    const qint64 start = lineStarts[size_t(line)];
    qint64 end = line + 1 < lineCount() ? lineStarts[size_t(line) + 1] : bytes.size();
    while (end > start && (bytes[end - 1] == '\n' || bytes[end - 1] == '\r'))
        --end;
    return QString::fromUtf8(bytes.constData() + start, end - start);
}

int CAnalysisView::firstVisibleLine() const
{
    return verticalScrollBar()->value();
}

QString CAnalysisView::toPlainText() const
{
    return QString::fromUtf8(bytes);
}

QString CAnalysisView::selectedText() const
{
    Position from = anchor;
    Position to = caret;
    if (to.line < from.line || (to.line == from.line && to.column < from.column))
        std::swap(from, to);
    QStringList parts;
    for (int line = from.line; line <= to.line && line < lineCount(); ++line) {
        const QString text = lineText(line);
        const int begin = line == from.line ? std::min(from.column, int(text.size())) : 0;
        const int end = line == to.line ? std::min(to.column, int(text.size())) : int(text.size());
        parts << text.mid(begin, end - begin);
    }
    return parts.join(QLatin1Char('\n'));
}

void CAnalysisView::copy() const
{
    const QString text = selectedText();
    if (!text.isEmpty())
        QGuiApplication::clipboard()->setText(text);
}

void CAnalysisView::selectAll()
{
    anchor = Position{0, 0};
    caret = Position{std::max(0, lineCount() - 1), int(lineText(lineCount() - 1).size())};
    viewport()->update();
}

void CAnalysisView::updateScrollBars()
{
    const QFontMetrics metrics(font());
    const int visible = std::max(1, viewport()->height() / metrics.height());
    verticalScrollBar()->setRange(0, std::max(0, lineCount() - visible));
    verticalScrollBar()->setPageStep(visible);
    horizontalScrollBar()->setRange(0, std::max(0, 200 * metrics.averageCharWidth() + 2 * LISTING_MARGIN -
                                                       viewport()->width()));
    horizontalScrollBar()->setSingleStep(metrics.averageCharWidth());
}

void CAnalysisView::resizeEvent(QResizeEvent* event)
{
    QAbstractScrollArea::resizeEvent(event);
    updateScrollBars();
}

void CAnalysisView::showEvent(QShowEvent* event)
{
    if (event)
        QAbstractScrollArea::showEvent(event);
    updateScrollBars();
    if (!scrollPending)
        return;
    scrollPending = false;
    verticalScrollBar()->setValue(caret.line);
}

void CAnalysisView::paintEvent(QPaintEvent*)
{
    QPainter painter(viewport());
    const QFontMetrics metrics(font());
    const int height = metrics.height();
    const int charWidth = metrics.horizontalAdvance(QLatin1Char('X'));
    const int x = LISTING_MARGIN - horizontalScrollBar()->value();
    Position from = anchor;
    Position to = caret;
    if (to.line < from.line || (to.line == from.line && to.column < from.column))
        std::swap(from, to);
    const QColor highlight = palette().color(QPalette::Highlight);
    for (int line = firstVisibleLine(), y = 0; line < lineCount() && y < viewport()->height(); ++line, y += height) {
        const QString text = lineText(line);
        if (line >= from.line && line <= to.line && (from.line != to.line || from.column != to.column)) {
            const int begin = line == from.line ? from.column : 0;
            const int end = line == to.line ? to.column : int(text.size()) + 1;
            painter.fillRect(x + begin * charWidth, y, (end - begin) * charWidth, height, highlight);
        }
        painter.setPen(palette().color(QPalette::Text));
        painter.drawText(x, y + metrics.ascent(), text);
    }
    if (hasFocus() && caret.line >= firstVisibleLine()) {
        const int y = (caret.line - firstVisibleLine()) * height;
        painter.fillRect(x + caret.column * charWidth, y, 1, height, palette().color(QPalette::Text));
    }
}

CAnalysisView::Position CAnalysisView::positionAt(const QPoint& point) const
{
    const QFontMetrics metrics(font());
    const int line = std::clamp(firstVisibleLine() + point.y() / metrics.height(), 0, std::max(0, lineCount() - 1));
    const int charWidth = metrics.horizontalAdvance(QLatin1Char('X'));
    const int column = (point.x() - LISTING_MARGIN + horizontalScrollBar()->value() + charWidth / 2) / charWidth;
    return Position{line, std::clamp(column, 0, int(lineText(line).size()))};
}

void CAnalysisView::moveCaret(Position to, bool select)
{
    to.line = std::clamp(to.line, 0, std::max(0, lineCount() - 1));
    to.column = std::clamp(to.column, 0, int(lineText(to.line).size()));
    caret = to;
    if (!select)
        anchor = to;
    const int visible = verticalScrollBar()->pageStep();
    if (caret.line < firstVisibleLine())
        verticalScrollBar()->setValue(caret.line);
    else if (caret.line >= firstVisibleLine() + visible)
        verticalScrollBar()->setValue(caret.line - visible + 1);
    viewport()->update();
}

void CAnalysisView::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton)
        moveCaret(positionAt(event->position().toPoint()), event->modifiers() & Qt::ShiftModifier);
}

void CAnalysisView::mouseDoubleClickEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton)
        chooseLine(positionAt(event->position().toPoint()).line);
}

void CAnalysisView::chooseLine(int line)
{
    const int lineNumber = StatusView::sourceLineOf(lineText(line));
    if (lineNumber > 0)
        emit sourceLineChosen(lineNumber);
}

void CAnalysisView::mouseMoveEvent(QMouseEvent* event)
{
    if (event->buttons() & Qt::LeftButton)
        moveCaret(positionAt(event->position().toPoint()), true);
}

void CAnalysisView::keyPressEvent(QKeyEvent* event)
{
    if (event->matches(QKeySequence::Copy)) {
        copy();
        return;
    }
    if (event->matches(QKeySequence::SelectAll)) {
        selectAll();
        return;
    }
    const bool select = event->modifiers() & Qt::ShiftModifier;
    const bool control = event->modifiers() & Qt::ControlModifier;
    const int page = verticalScrollBar()->pageStep();
    Position to = caret;
    switch (event->key()) {
    case Qt::Key_Up: to.line -= 1; break;
    case Qt::Key_Down: to.line += 1; break;
    case Qt::Key_Left: to.column -= 1; break;
    case Qt::Key_Right: to.column += 1; break;
    case Qt::Key_PageUp: to.line -= page; break;
    case Qt::Key_PageDown: to.line += page; break;
    case Qt::Key_Home: to = control ? Position{0, 0} : Position{to.line, 0}; break;
    case Qt::Key_End:
        to = control ? Position{lineCount() - 1, int(lineText(lineCount() - 1).size())}
                     : Position{to.line, int(lineText(to.line).size())};
        break;
    default:
        QAbstractScrollArea::keyPressEvent(event);
        return;
    }
    moveCaret(to, select);
}

// Standard error, t and Prob(t) in the listing's formats, a floored probability as a bound.
static void appendStatistics(QStringList& row, double stdError, bool tAvailable, double tValue, double probT)
{
    ParameterStatistics ps = {};
    ps.tAvailable = tAvailable;
    ps.tValue = tValue;
    ps.probT = probT;
    char t[32];
    char prob[32];
    reportFormatTColumns(ps, t, sizeof t, prob, sizeof prob);
    row << formatted("%14.7lG", stdError) << QString::fromLatin1(t).trimmed() << probabilityText(tAvailable, probT, prob);
}

std::vector<QStringList> parameterRows(bool* withStatistics, bool* withLimits)
{
    std::vector<QStringList> rows;
    *withStatistics = results.computed && results.withStatistics;
    const bool limits = *withStatistics && results.intervals && results.covariance;
    if (withLimits)
        *withLimits = limits;
    for (int i = 0; i < results.parameterCount; ++i) {
        const ParameterStatistics& ps = results.parameters[i];
        QStringList row = {QString::fromLatin1(ps.name), formatted("%13.6lG", ps.initialGuess),
                           formatted("%16.9lG", ps.estimate)};
        if (*withStatistics) {
            appendStatistics(row, ps.stdError, ps.tAvailable, ps.tValue, ps.probT);
            if (limits)
                row << formatted("%16.9lG", ps.lowerLimit) << formatted("%16.9lG", ps.upperLimit);
        }
        rows.push_back(row);
    }
    return rows;
}

std::vector<QStringList> derivedRows(bool withLimits)
{
    std::vector<QStringList> rows;
    if (!results.computed)
        return rows;
    const QString none = QLatin1String(REPORT_NOT_AVAILABLE);
    for (int k = 0; k < results.derivedCount; ++k) {
        const DerivedStatistics& d = results.derived[k];
        QStringList row = {QString::fromLatin1(d.name), QString()};
        if (!d.valueComputed) {
            row << QStringLiteral("not computed");
        } else {
            row << formatted("%16.9lG", d.value);
            if (d.hasStatistics && !results.derivedReason) {
                appendStatistics(row, d.stdError, d.tAvailable, d.tValue, d.probT);
                if (withLimits)
                    row << formatted("%16.9lG", d.lowerLimit) << formatted("%16.9lG", d.upperLimit);
            } else {
                row << none << none << none;
                if (withLimits)
                    row << none << none;
            }
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

CParameterView::CParameterView(QWidget* parent) : ReportView(parent) {}

void CParameterView::rebuild()
{
    bool withStatistics = false;
    bool withLimits = false;
    const std::vector<QStringList> rows = parameterRows(&withStatistics, &withLimits);
    QStringList headers = {QStringLiteral("Parameter"), QStringLiteral("Initial guess"),
                           QStringLiteral("Final estimate")};
    std::vector<const char*> widths = {"X XXXXXXXXXX X", "X 9999999999999 X", "X 9999999999999999 X"};
    if (withStatistics) {
        headers << QStringLiteral("Standard error") << QStringLiteral("t     ") << QStringLiteral("Prob(t) ");
        widths.insert(widths.end(), {"X 99999999999999 X", "X 999999999 X", "X 9999999 X"});
    }
    if (withLimits) {
        const QString level = formatted("%.3lg", 100 * results.intervalLevel);
        headers << QStringLiteral("Lower %1 %").arg(level) << QStringLiteral("Upper %1 %").arg(level);
        widths.insert(widths.end(), {"X 9999999999999999 X", "X 9999999999999999 X"});
    }
    setColumnCount(int(headers.size()));
    setUpTable(this, headers, widths);
    fillTable(this, rows);
    // The derived quantities follow under a rule, in the same columns.
    const std::vector<QStringList> derived = withStatistics ? derivedRows(withLimits) : std::vector<QStringList>();
    if (!derived.empty()) {
        QTreeWidgetItem* rule = new QTreeWidgetItem(QStringList(QStringLiteral("Derived quantities")));
        rule->setFlags(Qt::ItemIsEnabled);
        rule->setFirstColumnSpanned(true);
        QFont bold = font();
        bold.setBold(true);
        rule->setFont(0, bold);
        addTopLevelItem(rule);
        rule->setFirstColumnSpanned(true);
        for (const QStringList& row : derived) {
            QTreeWidgetItem* item = new QTreeWidgetItem(row);
            for (int c = 1; c < row.size(); ++c)
                item->setTextAlignment(c, Qt::AlignRight | Qt::AlignVCenter);
            addTopLevelItem(item);
        }
    }
    markParameters();
}

void CParameterView::markParameters()
{
    const QBrush marked(QColor(255, 226, 160));
    for (int r = 0; r < topLevelItemCount(); ++r) {
        QTreeWidgetItem* item = topLevelItem(r);
        if (!flagged.contains(item->text(0)))
            continue;
        for (int c = 0; c < columnCount(); ++c)
            item->setBackground(c, marked);
        item->setToolTip(0, QStringLiteral("Named by the Diagnosis"));
    }
}

CVariableView::CVariableView(QWidget* parent) : ReportView(parent)
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

// The observation number and the names of the input variables, the first columns of
// the observation and data tables.
static QStringList inputHeaders()
{
    QStringList headers(QStringLiteral("Obs"));
    for (int j = 0; j < inputVariableCount; ++j)
        headers << QString::fromLatin1(inputVariables[j]->name);
    return headers;
}

// Observation i's number and input values.
static QStringList inputRow(int i)
{
    QStringList row = {QString::number(i + 1)};
    const double* inputs = observations + (long)i * inputVariableCount;
    for (int j = 0; j < inputVariableCount; ++j)
        row << formatted("%.9lG", inputs[j]);
    return row;
}

std::vector<QStringList> observationRows(QStringList* headers)
{
    std::vector<QStringList> rows;
    *headers = inputHeaders();
    *headers << QStringLiteral("Observed") << QStringLiteral("Predicted") << QStringLiteral("Residual");
    const bool weighted = results.weights != nullptr;
    if (weighted)
        *headers << QStringLiteral("Weight") << QStringLiteral("Weighted residual");
    if (!results.computed || !results.residualsComputed || !results.observed || !results.predicted || !observations)
        return rows;
    const int n = std::min(observationCount, OBSERVATION_ROWS_MAX);
    rows.reserve(size_t(n));
    for (int i = 0; i < n; ++i) {
        QStringList row = inputRow(i);
        const double residual = results.observed[i] - results.predicted[i];
        row << formatted("%.9lG", results.observed[i]) << formatted("%.9lG", results.predicted[i])
            << formatted("%.7lG", residual);
        if (weighted)
            row << formatted("%.7lG", results.weights[i])
                << formatted("%.7lG", std::sqrt(std::max(0.0, results.weights[i])) * residual);
        rows.push_back(row);
    }
    return rows;
}

std::vector<QStringList> dataRows(QStringList* headers)
{
    std::vector<QStringList> rows;
    *headers = inputHeaders();
    if (!observations)
        return rows;
    const int n = std::min(observationCount, OBSERVATION_ROWS_MAX);
    rows.reserve(size_t(n));
    for (int i = 0; i < n; ++i) {
        QStringList row = inputRow(i);
        rows.push_back(row);
    }
    return rows;
}

std::vector<QStringList> correlationRows(QStringList* headers)
{
    std::vector<QStringList> rows;
    *headers = QStringList(QStringLiteral("Parameter"));
    const int p = results.parameterCount;
    for (int i = 0; i < p; ++i)
        *headers << QString::fromLatin1(results.parameters[i].name);
    if (!results.computed || !results.withStatistics || !results.covariance)
        return rows;
    for (int i = 0; i < p; ++i) {
        QStringList row(QString::fromLatin1(results.parameters[i].name));
        for (int j = 0; j < p; ++j) {
            const double scale = std::sqrt(results.covariance[(size_t)i * p + i] * results.covariance[(size_t)j * p + j]);
            row << (scale > 0.0 ? formatted("%.4lf", results.covariance[(size_t)i * p + j] / scale)
                                : QLatin1String(REPORT_NOT_AVAILABLE));
        }
        rows.push_back(row);
    }
    return rows;
}

void RowsView::rebuild()
{
    QStringList headers;
    const std::vector<QStringList> filled = rows(&headers);
    setColumnCount(int(headers.size()));
    setUpTable(this, headers, std::vector<const char*>(size_t(headers.size()), widthSample));
    fillTable(this, filled);
}

QString viewsTableText(const QTreeWidget* table)
{
    const int columns = table->columnCount();
    std::vector<QStringList> rows(1);
    for (int c = 0; c < columns; ++c)
        rows[0] << table->headerItem()->text(c).trimmed();
    for (int r = 0; r < table->topLevelItemCount(); ++r) {
        rows.emplace_back();
        for (int c = 0; c < columns; ++c)
            rows.back() << table->topLevelItem(r)->text(c);
    }
    std::vector<qsizetype> widths(size_t(columns), 0);
    for (const QStringList& row : rows)
        for (int c = 0; c < columns; ++c)
            widths[size_t(c)] = std::max(widths[size_t(c)], row[c].size());
    QString text;
    for (size_t r = 0; r < rows.size(); ++r) {
        QStringList cells;
        for (int c = 0; c < columns; ++c)
            cells << (c == 0 ? rows[r][c].leftJustified(widths[0]) : rows[r][c].rightJustified(widths[size_t(c)]));
        text += cells.join(QStringLiteral("  ")).trimmed() + QLatin1Char('\n');
        if (r == 0) {
            qsizetype total = 2 * (columns - 1);
            for (const qsizetype width : widths)
                total += width;
            text += QString(total, QLatin1Char('-')) + QLatin1Char('\n');
        }
    }
    return text;
}

QString viewsTableTsv(const QTreeWidget* table)
{
    const int columns = table->columnCount();
    std::vector<bool> usedColumns(size_t(columns), false);
    std::vector<const QTreeWidgetItem*> usedRows;
    const bool all = table->selectedItems().isEmpty() &&
                     (!table->selectionModel() || !table->selectionModel()->hasSelection());
    for (int r = 0; r < table->topLevelItemCount(); ++r) {
        const QTreeWidgetItem* item = table->topLevelItem(r);
        bool used = false;
        for (int c = 0; c < columns; ++c) {
            const QModelIndex index = table->model()->index(r, c);
            if (all || table->selectionModel()->isSelected(index)) {
                usedColumns[size_t(c)] = true;
                used = true;
            }
        }
        if (used)
            usedRows.push_back(item);
    }
    const auto line = [&](const auto& cell) {
        QStringList cells;
        for (int c = 0; c < columns; ++c)
            if (usedColumns[size_t(c)])
                cells << cell(c);
        return cells.join(QLatin1Char('\t')) + QLatin1Char('\n');
    };
    QString text = line([table](int c) { return table->headerItem()->text(c).trimmed(); });
    for (const QTreeWidgetItem* item : usedRows)
        text += line([item](int c) { return item->text(c); });
    return usedRows.empty() ? QString() : text;
}

ReportView::ReportView(QWidget* parent) : QTreeWidget(parent)
{
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setSelectionBehavior(QAbstractItemView::SelectItems);
    header()->setSortIndicator(-1, Qt::AscendingOrder);
    header()->setSortIndicatorShown(true);
    header()->setSectionsClickable(true);
    connect(header(), &QHeaderView::sectionClicked, this, [this](int column) {
        // Derived quantities stand apart under their rule: they do not join the sort.
        const Qt::SortOrder order = header()->sortIndicatorOrder();
        QList<QTreeWidgetItem*> tail;
        for (int r = topLevelItemCount() - 1; r >= 0; --r) {
            if (topLevelItem(r)->flags() == Qt::ItemIsEnabled) {
                for (int k = topLevelItemCount() - 1; k >= r; --k)
                    tail.prepend(takeTopLevelItem(k));
                break;
            }
        }
        sortItems(column, order);
        addTopLevelItems(tail);
        for (QTreeWidgetItem* item : tail)
            if (item->flags() == Qt::ItemIsEnabled)
                item->setFirstColumnSpanned(true);
    });
}

void ReportView::copySelection() const
{
    const QString text = viewsTableTsv(this);
    if (!text.isEmpty())
        QGuiApplication::clipboard()->setText(text);
}

void ReportView::stretchColumns()
{
    const int columns = columnCount();
    if (columns == 0)
        return;
    std::vector<int> widths(static_cast<size_t>(columns), 0);
    int total = 0;
    for (int c = 0; c < columns; ++c) {
        widths[size_t(c)] = std::max(sizeHintForColumn(c), header()->sectionSizeHint(c));
        total += widths[size_t(c)];
    }
    const int spare = std::max(0, viewport()->width() - total - 2);
    for (int c = 0; c < columns; ++c)
        setColumnWidth(c, widths[size_t(c)] + spare / columns);
}

void ReportView::showEvent(QShowEvent* event)
{
    rebuild();
    QTreeWidget::showEvent(event);
}

void ReportView::hideEvent(QHideEvent* event)
{
    clear();
    QTreeWidget::hideEvent(event);
}

void ReportView::resizeEvent(QResizeEvent* event)
{
    QTreeWidget::resizeEvent(event);
    stretchColumns();
}

void ReportView::keyPressEvent(QKeyEvent* event)
{
    if (event->matches(QKeySequence::Copy)) {
        copySelection();
        return;
    }
    QTreeWidget::keyPressEvent(event);
}

void viewsDrawPlot(QPainter* painter, int surfaceKind, const QRect& area, double dpiX, double dpiY)
{
    const int set = surfaceKind == SURFACE_PRINTER ? COLOURS_PRINTED
                    : surfaceKind == SURFACE_IMAGE ? COLOURS_SAVED : COLOURS_SCREEN;
    const unsigned background = plotColours.entry[set][SLOT_BACKGROUND];
    painter->fillRect(area, QColor(colourRed(background), colourGreen(background), colourBlue(background)));
    if (!(analysis.analysisCompleted || previewShown()) || !plotModel.currentPlot)
        return;
    painter->save();
    painter->translate(area.topLeft());
    SurfaceDevice device = {surfaceKind, area.width(), area.height(), dpiX, dpiY};
    // The printer and the window (but for a dense plot) are antialiased; the window's
    // pens are counted in its logical pixels, so that they grow with the device pixel
    // ratio, a printer's by its resolution. Images keep the exact colours of their set.
    device.antialias = surfaceKind != SURFACE_IMAGE && (surfaceKind == SURFACE_PRINTER ||
                                                        observationCount <= PAINTER_ANTIALIAS_LIMIT);
    device.penScale = surfaceKind == SURFACE_PRINTER ? dpiX / PLOT_RESOLUTION_DEFAULT : 1.0;
    std::unique_ptr<PlotSurface> surface = painterMakeSurface(painter, device);
    plotDraw(surface.get(), set, plotModel.currentPlot);
    painter->restore();
}
