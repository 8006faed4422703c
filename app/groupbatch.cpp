// The group batch of the window: the same batch as moxel -run PROGRAM -by COLUMN, whose
// rows stream in on standard output.
#include "app/groupbatch.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSaveFile>
#include <QTableWidget>
#include <QVBoxLayout>

#include <csignal>

#include "app/batch.h"

namespace {

constexpr int STATUS_COLUMN = 1;   // the status word in every row
const QColor FAILED_ROW(255, 215, 215);
const QColor DOUBTFUL_ROW(255, 240, 200);

}  // namespace

QStringList groupBatchCsvFields(const QString& line)
{
    QStringList fields;
    QString field;
    bool quoted = false;
    for (int k = 0; k < line.size(); ++k) {
        const QChar c = line[k];
        if (quoted) {
            if (c == u'"' && k + 1 < line.size() && line[k + 1] == u'"') {
                field += c;
                ++k;
            } else if (c == u'"') {
                quoted = false;
            } else {
                field += c;
            }
        } else if (c == u'"') {
            quoted = true;
        } else if (c == u',') {
            fields << field;
            field.clear();
        } else {
            field += c;
        }
    }
    fields << field;
    return fields;
}

QStringList groupBatchColumnNames(const QString& dataPath)
{
    QFile file(dataPath);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QString first = QString::fromUtf8(file.readLine()).trimmed();
    if (first.startsWith(QChar(0xFEFF)))
        first.remove(0, 1);
    const QStringList fields = first.contains(u',') ? groupBatchCsvFields(first)
                                                    : first.split(QRegularExpression(QStringLiteral("[ \\t]+")),
                                                                  Qt::SkipEmptyParts);
    QStringList names;
    for (const QString& field : fields) {
        const QString name = field.trimmed();
        if (name.isEmpty() || !name[0].isLetter())
            return {};
        names << name;
    }
    return names;
}

GroupBatchWindow::GroupBatchWindow(const QString& programPath, const QString& byColumn,
                                   std::function<void(const QString&)> open, QWidget* parent, const QString& command)
    : QDialog(parent), program(programPath), column(byColumn), openListing(std::move(open))
{
    setWindowTitle(QStringLiteral("Run by group: %1").arg(byColumn));
    auto* layout = new QVBoxLayout(this);
    progress = new QLabel(QStringLiteral("Reading the groups..."));
    progress->setObjectName(QStringLiteral("groupProgress"));
    bar = new QProgressBar;
    view = new QTableWidget;
    view->setObjectName(QStringLiteral("groupTable"));
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view->setSelectionBehavior(QAbstractItemView::SelectRows);
    auto* buttons = new QHBoxLayout;
    cancel = new QPushButton(QStringLiteral("Cancel"));
    save = new QPushButton(QStringLiteral("Save table..."));
    save->setEnabled(false);
    auto* close = new QPushButton(QStringLiteral("Close"));
    buttons->addWidget(cancel);
    buttons->addStretch();
    buttons->addWidget(save);
    buttons->addWidget(close);
    layout->addWidget(progress);
    layout->addWidget(bar);
    layout->addWidget(view, 1);
    layout->addLayout(buttons);
    resize(900, 500);

    connect(close, &QPushButton::clicked, this, &QDialog::close);
    connect(save, &QPushButton::clicked, this, &GroupBatchWindow::saveTable);
    connect(view, &QTableWidget::cellDoubleClicked, this, [this](int row, int) {
        // The listing of the row as shown, whatever the sorting: its index is kept.
        const QTableWidgetItem* item = view->item(row, 0);
        const int index = item ? item->data(Qt::UserRole).toInt() : -1;
        if (index >= 0 && index < static_cast<int>(listings.size()) && QFileInfo::exists(listings[index]))
            openListing(listings[index]);
    });

    process = new QProcess(this);
    connect(process, &QProcess::readyReadStandardOutput, this, &GroupBatchWindow::readRows);
    connect(process, &QProcess::readyReadStandardError, this, &GroupBatchWindow::readCount);
    connect(process, &QProcess::finished, this, [this](int exitCode) { batchEnded(exitCode); });
    // Cancel is the batch's Ctrl+C: the rows done stay, the others come as not_run.
    connect(cancel, &QPushButton::clicked, this, [this] {
        if (process->state() != QProcess::NotRunning)
            kill(static_cast<pid_t>(process->processId()), SIGINT);
        cancel->setEnabled(false);
    });
    const QString moxel =
        command.isEmpty() ? QCoreApplication::applicationDirPath() + QStringLiteral("/moxel") : command;
    process->setWorkingDirectory(QFileInfo(program).absolutePath());
    process->start(moxel, {QStringLiteral("-run"), program, QStringLiteral("-by"), column});
}

void GroupBatchWindow::readCount()
{
    const QString text = QString::fromUtf8(process->readAllStandardError());
    const QRegularExpressionMatch match = QRegularExpression(QStringLiteral("Data sets: (\\d+)")).match(text);
    if (match.hasMatch()) {
        total = match.captured(1).toInt();
        bar->setRange(0, std::max(total, 1));
    }
    const QString error = text.section(u'\n', 0, 0);
    if (!match.hasMatch() && !error.isEmpty())
        progress->setText(error);
}

void GroupBatchWindow::readRows()
{
    pending += QString::fromUtf8(process->readAllStandardOutput());
    for (int end = pending.indexOf(u'\n'); end >= 0; end = pending.indexOf(u'\n')) {
        const QString line = pending.left(end);
        pending.remove(0, end + 1);
        if (line == QLatin1String("RUN option specified"))
            continue;
        if (header.isEmpty()) {
            header = line;
            const QStringList names = groupBatchCsvFields(line);
            view->setColumnCount(names.size());
            view->setHorizontalHeaderLabels(names);
            continue;
        }
        lines << line;
        addRow(groupBatchCsvFields(line));
        bar->setValue(static_cast<int>(lines.size()));
        progress->setText(QStringLiteral("Group %1 of %2").arg(lines.size()).arg(total));
    }
}

void GroupBatchWindow::addRow(const QStringList& fields)
{
    const int row = view->rowCount();
    view->insertRow(row);
    const QString status = fields.value(STATUS_COLUMN);
    const bool failed = status == QLatin1String("failed") || status == QLatin1String("not_run") ||
                        status == QLatin1String("not_converged");
    for (int c = 0; c < fields.size() && c < view->columnCount(); ++c) {
        auto* item = new QTableWidgetItem;
        bool number = false;
        const double value = fields[c].toDouble(&number);
        // Numbers sort as numbers.
        if (number && c > STATUS_COLUMN)
            item->setData(Qt::DisplayRole, value);
        else
            item->setText(fields[c]);
        if (c == 0)
            item->setData(Qt::UserRole, row);
        if (failed)
            item->setBackground(FAILED_ROW);
        else if (status == QLatin1String("doubtful"))
            item->setBackground(DOUBTFUL_ROW);
        view->setItem(row, c, item);
    }
}

void GroupBatchWindow::batchEnded(int exitCode)
{
    done = true;
    cancel->setEnabled(false);
    save->setEnabled(!header.isEmpty());
    std::vector<std::string> names;
    for (int r = 0; r < view->rowCount(); ++r)
        names.push_back(groupBatchCsvFields(lines[r]).value(0).toStdString());
    for (const std::string& name : batchListingNames(program.toStdString(), names, false))
        listings.push_back(QString::fromStdString(name));
    view->setSortingEnabled(true);
    view->resizeColumnsToContents();
    const QString outcome = exitCode == 0   ? QStringLiteral("every fit converged")
                            : exitCode == 3 ? QStringLiteral("some fits did not converge, are doubtful or were not run")
                                            : QStringLiteral("some groups failed");
    progress->setText(header.isEmpty() ? progress->text()
                                       : QStringLiteral("%1 groups: %2").arg(lines.size()).arg(outcome));
}

void GroupBatchWindow::saveTable()
{
    const QFileInfo info(program);
    const QString path = QFileDialog::getSaveFileName(
        this, QStringLiteral("Save table"), info.absoluteDir().filePath(info.completeBaseName() + QStringLiteral("_groups.csv")),
        QStringLiteral("CSV files (*.csv);;All files (*)"));
    if (path.isEmpty())
        return;
    QSaveFile file(path);
    const QByteArray text = (QStringList(header) + lines).join(u'\n').toUtf8() + '\n';
    if (!file.open(QIODevice::WriteOnly) || file.write(text) < 0 || !file.commit())
        QMessageBox::warning(this, QStringLiteral("Save table"),
                             QStringLiteral("Unable to write %1 (%2)").arg(path, file.errorString()));
}
