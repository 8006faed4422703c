// The four result views of the main frame: the run listing, the parameter and variable
// tables, and the current plot.
#pragma once

#include <QAbstractScrollArea>
#include <QTreeWidget>
#include <QWidget>

#include <vector>

class QPainter;

// Index of each view of the main frame.
enum ViewIndex {
    VIEW_PROGRAM = 1,       // EditView above StatusView
    VIEW_PLOT = 3,          // CPlotView
    VIEW_ANALYSIS = 4,      // CAnalysisView
    VIEW_VARIABLES = 5,     // CVariableView
    VIEW_PARAMETERS = 6,    // CParameterView
    VIEW_OBSERVATIONS = 7,  // RowsView of observationRows
    VIEW_CORRELATIONS = 8,  // RowsView of correlationRows
    VIEW_DATA = 9           // RowsView of dataRows
};

constexpr int OBSERVATION_ROWS_MAX = 100000;   // rows the observation table shows

extern const char FINAL_RESULTS_MARK[];     // "   ----  Final Results  ----"

// The run listing, read-only. A listing may hold millions of lines (OUTPUT into the
// listing), so the view keeps the file's bytes with an index of line starts and paints
// only the visible lines; text is selected by mouse or keyboard and copied.
class CAnalysisView : public QAbstractScrollArea {
    Q_OBJECT
public:
    explicit CAnalysisView(QWidget* parent = nullptr);
    // Reads the listing file into the view, the caret at the Final Results heading (or
    // at the start); false, with the view empty, when the file cannot be read.
    bool loadListing(const QString& path);
    void clearListing();
    const QString& listingPath() const { return path; }
    // Copies the listing to another file; false with *message set when that fails.
    bool copyListing(const QString& target, QString* message) const;

    int lineCount() const { return int(lineStarts.size()); }
    QString lineText(int line) const;
    int caretLine() const { return caret.line; }
    int firstVisibleLine() const;
    QString toPlainText() const;
    QString selectedText() const;
    // Emits sourceLineChosen when listing line names a program line (its echo, a run-time
    // error, a failing observation of the Diagnosis); as a double click on it does.
    void chooseLine(int line);

public slots:
    void copy() const;
    void selectAll();

signals:
    void sourceLineChosen(int lineNumber);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    struct Position {
        int line;       // 0-based line
        int column;     // character within the line
    };
    void updateScrollBars();
    Position positionAt(const QPoint& point) const;
    void moveCaret(Position to, bool select);
    QByteArray bytes;                   // the listing file
    std::vector<qint64> lineStarts;     // offset of each line in bytes
    QString path;                       // the listing file shown, empty when none
    Position caret = {0, 0};            // where the caret stands
    Position anchor = {0, 0};           // the other end of the selection
    bool scrollPending = false;         // the caret's line goes to the top when the view shows
};

// Rows of the parameter table as text, one vector per row: name, initial guess, final
// estimate and, with statistics, standard error, t and Prob(t), and with confidence
// limits the lower and upper limit. A probability at the listing's floor reads
// "< 0.00001". *withLimits may be null.
std::vector<QStringList> parameterRows(bool* withStatistics, bool* withLimits = nullptr);
// The rows of the derived quantities, in the parameter table's columns (no initial
// guess), or none.
std::vector<QStringList> derivedRows(bool withLimits);
// Rows of the variable table: name, minimum, maximum, mean, standard deviation.
std::vector<QStringList> variableRows();

// A table as text for printing: a heading row, a rule, and one row per item; the first
// column left-aligned, the others right-aligned, each as wide as its widest text.
QString viewsTableText(const QTreeWidget* table);

// The selected cells of a table as tab-separated text: a heading line with the names
// of the columns that hold a selected cell, then one line per row that holds one. The
// whole table when nothing is selected.
QString viewsTableTsv(const QTreeWidget* table);

// A report-style table that is filled when it becomes active and emptied when it stops
// being active. Cells are selected freely and copied as tab-separated text, a heading
// sorts by its column (numbers as numbers), and the columns share the view's width.
class ReportView : public QTreeWidget {
    Q_OBJECT
public:
    explicit ReportView(QWidget* parent = nullptr);
    virtual void rebuild() = 0;
    void copySelection() const;     // viewsTableTsv to the clipboard
    void stretchColumns();          // the contents' widths, the spare width shared out

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
};

class CParameterView : public ReportView {
    Q_OBJECT
public:
    explicit CParameterView(QWidget* parent = nullptr);
    void rebuild() override;
    // Parameters the Diagnosis names: their rows are marked.
    void setFlagged(const QStringList& names) { flagged = names; }

private:
    void markParameters();
    QStringList flagged;
};

class CVariableView : public ReportView {
    Q_OBJECT
public:
    explicit CVariableView(QWidget* parent = nullptr);
    void rebuild() override;
};

// One row per observation: its number, the input variables, observed, predicted and
// residual, and for a weighted fit the weight and the weighted residual.
std::vector<QStringList> observationRows(QStringList* headers);


// The observations as read, one row each: the observation number and the value of each
// input variable (at most OBSERVATION_ROWS_MAX rows). None before the data are read.
std::vector<QStringList> dataRows(QStringList* headers);

// The correlations of the parameter estimates, cov(i, j) / sqrt(cov(i, i) cov(j, j)):
// a heading row of the names, then one row per parameter. None without a covariance.
std::vector<QStringList> correlationRows(QStringList* headers);

// A report table filled by a row function (observationRows, correlationRows), each column
// at least as wide as a sample text.
class RowsView : public ReportView {
    Q_OBJECT
public:
    typedef std::vector<QStringList> (*Rows)(QStringList* headers);
    RowsView(Rows rows, const char* widthSample, QWidget* parent = nullptr)
        : ReportView(parent), rows(rows), widthSample(widthSample) {}
    void rebuild() override;

private:
    Rows rows;
    const char* widthSample;
};

// The plot, which the user zooms (the wheel, +, -), pans (a drag, the arrow keys),
// zooms to a box (a drag with the right button or with Shift) and resets (Home, a double
// click); the pointer's data values go to the status bar, a mark's observation to its
// tooltip, and a click on a mark chooses that observation.
class CPlotView : public QWidget {
    Q_OBJECT
public:
    explicit CPlotView(QWidget* parent = nullptr);
    void zoomIn();
    void zoomOut();
    void resetView();
    void editAxes();            // the axis dialog: from, to and log for each axis
    void copyToClipboard();     // the plot as an image and as SVG, at the view's size
    // The page position of a point of the widget, from the last pass's layout.
    QPointF pagePoint(const QPointF& point) const;
    // The tooltip text of observation i (0-based).
    static QString observationText(int i);
    int selectedObservation() const { return selected; }

Q_SIGNALS:
    void pointerText(const QString& text);      // the data values under the pointer
    void observationChosen(int observation);    // 0-based, from a click on its mark

protected:
    void paintEvent(QPaintEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    bool event(QEvent* event) override;

private:
    int markAt(const QPointF& point) const;
    QPointF pressPoint;         // where a drag began
    QPointF lastPoint;          // the pointer during a drag
    bool panning = false;
    bool boxing = false;        // a rubber band is being drawn
    int selected = -1;          // the observation chosen by a click, -1 none
    const void* selectedIn = nullptr;   // the plot it was chosen in
};

// Draws the current plot on a painter's device: a window (screen colours), a printer
// page (printed colours) or an image (saved colours). The area is filled with the
// set's background first.
void viewsDrawPlot(QPainter* painter, int surfaceKind, const QRect& area, double dpiX, double dpiY);
