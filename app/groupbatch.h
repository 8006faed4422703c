// "Run by group...": the program fitted once per group of its data's records, by the
// batch command in a child process, with a progress window and Cancel; then the
// results table in a window of its own (sortable, failed rows marked, a double click
// opens that group's listing, Save table writes the CSV).
#pragma once

#include <QDialog>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <functional>
#include <vector>

class QLabel;
class QProgressBar;
class QPushButton;
class QTableWidget;

// The fields of one CSV line (RFC 4180 quoting).
QStringList groupBatchCsvFields(const QString& line);
// The names on the first line of a data file, empty when it is no line of names.
QStringList groupBatchColumnNames(const QString& dataPath);

class GroupBatchWindow : public QDialog {
    Q_OBJECT
public:
    // Runs moxel (beside this program, unless command names it) on programPath with -by
    // column. openListing is called with a group's listing file on a double click.
    GroupBatchWindow(const QString& programPath, const QString& column, std::function<void(const QString&)> openListing,
                     QWidget* parent, const QString& command = QString());
    QTableWidget* table() const { return view; }
    bool finished() const { return done; }

private:
    void readRows();
    void readCount();
    void batchEnded(int exitCode);
    void addRow(const QStringList& fields);
    void saveTable();

    QString program;
    QString column;
    std::function<void(const QString&)> openListing;
    QProcess* process;
    QLabel* progress;
    QProgressBar* bar;
    QPushButton* cancel;
    QPushButton* save;
    QTableWidget* view;
    QString pending;                 // standard output not yet a whole line
    QString header;                  // the table's header line
    QStringList lines;               // the table's rows as written
    std::vector<QString> listings;   // each row's listing file
    int total = 0;                   // data sets, once the batch has said
    bool done = false;
};
