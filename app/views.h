// The four result views of the main frame: the run listing, the parameter and variable
// tables, and the current plot.
#pragma once

#include <QPlainTextEdit>
#include <QTreeWidget>
#include <QWidget>

class QPainter;

// Index of each view of the main frame.
enum ViewIndex {
    VIEW_PROGRAM = 1,       // EditView above StatusView
    VIEW_PLOT = 3,          // CPlotView
    VIEW_ANALYSIS = 4,      // CAnalysisView
    VIEW_VARIABLES = 5,     // CVariableView
    VIEW_PARAMETERS = 6     // CParameterView
};

extern const char FINAL_RESULTS_MARK[];     // "   ----  Final Results  ----"

class CAnalysisView : public QPlainTextEdit {
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

protected:
    void showEvent(QShowEvent* event) override;

private:
    QString path;           // the listing file shown, empty when none
    bool scrollPending;     // the caret's line goes to the top when the view shows
};

// Rows of the parameter table as text, one vector per row: name, initial guess, final
// estimate and, with statistics, standard error, t and Prob(t).
std::vector<QStringList> parameterRows(bool* withStatistics);
// Rows of the variable table: name, minimum, maximum, mean, standard deviation.
std::vector<QStringList> variableRows();

class CParameterView : public QTreeWidget {
    Q_OBJECT
public:
    explicit CParameterView(QWidget* parent = nullptr);
    void rebuild();

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
};

class CVariableView : public QTreeWidget {
    Q_OBJECT
public:
    explicit CVariableView(QWidget* parent = nullptr);
    void rebuild();

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
};

class CPlotView : public QWidget {
    Q_OBJECT
public:
    explicit CPlotView(QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
};

// Draws the current plot on a painter's device: a window (screen colours), a printer
// page (printed colours) or an image (saved colours). The area is filled with the
// set's background first.
void viewsDrawPlot(QPainter* painter, int surfaceKind, const QRect& area, double dpiX, double dpiY);
