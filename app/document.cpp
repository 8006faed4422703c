// The document: the editor's text is the program; files are read whole and written
// through QSaveFile, so a failed save never damages the file on disk. The main frame's
// file commands (New, Open, Save, Save As, Insert file) follow.
#include "app/document.h"

#include <QRegularExpression>
#include <algorithm>

#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QSaveFile>
#include <QTextCursor>
#include <QTextDocument>

#include "app/dialogs.h"
#include "app/editview.h"
#include "app/mainframe.h"
#include "app/views.h"
#include "plot/settings.h"

namespace {

const char UNTITLED[] = "Untitled";
const char DOCUMENT_FILTER[] = "MOXEL (*.mxl)";
const char RECENT_FILE_KEY[] = "RecentFile%d";   // 1 = the most recent

std::string recentKey(int index)
{
    char key[32];
    snprintf(key, sizeof key, RECENT_FILE_KEY, index + 1);
    return key;
}

}  // namespace

CMOXELDoc::CMOXELDoc(QPlainTextEdit* editor, QObject* parent) : QObject(parent), editor(editor) {}

QString CMOXELDoc::displayName() const
{
    return filePath.isEmpty() ? QString::fromLatin1(UNTITLED) : QFileInfo(filePath).fileName();
}

bool CMOXELDoc::isModified() const
{
    return editor->document()->isModified();
}

QString docDataRecords(const QString& cells, int* leftOut)
{
    *leftOut = 0;
    QStringList rows = cells.split(QRegularExpression(QStringLiteral("\r\n|\r|\n")));
    while (!rows.isEmpty() && rows.last().trimmed().isEmpty())
        rows.removeLast();
    if (rows.isEmpty())
        return QString();
    const bool tabs = cells.contains(QLatin1Char('\t'));
    const auto split = [tabs](const QString& row) {
        QStringList values = row.split(tabs ? QLatin1Char('\t') : QLatin1Char(','));
        for (QString& value : values) {
            value = value.trimmed();
            if (tabs)
                value.replace(QLatin1Char(','), QLatin1Char('.'));
        }
        return values;
    };
    const auto number = [](const QString& value) {
        bool ok = false;
        value.toDouble(&ok);
        return ok;
    };
    QString text;
    const QStringList first = split(rows.first());
    if (!std::all_of(first.begin(), first.end(), number)) {
        QStringList names;
        for (const QString& name : first)
            names << (name.isEmpty() ? QStringLiteral("?") : name);
        text += QStringLiteral("// ") + names.join(QLatin1String("  ")) + QLatin1Char('\n');
        rows.removeFirst();
    }
    int records = 0;
    for (const QString& row : rows) {
        if (row.trimmed().isEmpty())
            continue;
        const QStringList values = split(row);
        if (std::all_of(values.begin(), values.end(), number)) {
            text += values.join(QLatin1String("  ")) + QLatin1Char('\n');
            ++records;
        } else {
            // Left out: a record must hold a number for every variable.
            text += QStringLiteral("// left out (a missing value): ") + row.simplified() + QLatin1Char('\n');
            ++*leftOut;
        }
    }
    return records > 0 ? text : QString();
}

const char NEW_PROGRAM_TEMPLATE[] =
    "// A new program: exponential growth fitted to five observations.\n"
    "// Replace the names, the FUNCTION and the DATA by your own, then Run (Alt+R).\n"
    "// F1 on a key word opens the manual; Preview (F8) shows the model at the start values.\n"
    "\n"
    "TITLE \"Exponential growth\";\n"
    "VARIABLES x, y;                    // the input variables: x, then the observed y\n"
    "PARAMETERS a = 1, b = 0.5;         // the parameters with their initial guesses\n"
    "FUNCTION y = a * exp(b * x);       // the model for the observed variable\n"
    "CONFIDENCE 95;                     // confidence limits of the parameters\n"
    "PLOT TITLE = \"Data and fitted curve\";\n"
    "RPLOT;                             // the residuals\n"
    "DATA;                              // one observation per line: x y\n"
    "0 1.1\n"
    "1 2.6\n"
    "2 7.5\n"
    "3 19.8\n"
    "4 55.1\n";

void CMOXELDoc::newDocument(bool fromTemplate)
{
    editor->clear();
    if (fromTemplate)
        editor->setPlainText(QString::fromLatin1(NEW_PROGRAM_TEMPLATE));
    editor->document()->setModified(false);
    filePath.clear();
    emit pathChanged();
}

bool CMOXELDoc::open(const QString& path, QString* message)
{
    // A pipe or a device would hold the window while it is read, perhaps for ever.
    const QFileInfo info(path);
    if (info.exists() && !info.isFile() && !info.isDir()) {
        *message = QStringLiteral("Unable to open %1: it is not a regular file").arg(path);
        return false;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *message = QStringLiteral("Unable to open %1: %2").arg(path, file.errorString());
        return false;
    }
    if (file.size() > DOCUMENT_SIZE_MAX) {
        *message = QStringLiteral("%1 is too large to be opened as a program.").arg(path);
        return false;
    }
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        *message = QStringLiteral("Unable to read %1: %2").arg(path, file.errorString());
        return false;
    }
    editor->setPlainText(decodeText(bytes));
    editor->document()->setModified(false);
    filePath = QFileInfo(path).absoluteFilePath();
    addRecentFile(filePath);
    emit pathChanged();
    return true;
}

bool CMOXELDoc::saveAs(const QString& requested, QString* message)
{
    const QString path = QFileInfo(cutDoubledExtension(requested)).absoluteFilePath();
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        *message = QStringLiteral("Unable to save %1: %2").arg(path, file.errorString());
        return false;
    }
    file.write(editor->toPlainText().toUtf8());
    if (!file.commit()) {
        *message = QStringLiteral("Unable to save %1: %2").arg(path, file.errorString());
        return false;
    }
    editor->document()->setModified(false);
    filePath = path;
    addRecentFile(filePath);
    emit pathChanged();
    return true;
}

QStringList CMOXELDoc::recentFiles() const
{
    QStringList files;
    for (int i = 0; i < RECENT_FILE_COUNT; ++i) {
        const std::string name = settingsReadString(recentKey(i).c_str());
        if (!name.empty())
            files << QString::fromStdString(name);
    }
    return files;
}

void CMOXELDoc::addRecentFile(const QString& path)
{
    QStringList files = recentFiles();
    files.removeAll(path);
    files.prepend(path);
    for (int i = 0; i < RECENT_FILE_COUNT; ++i)
        settingsWriteString(recentKey(i).c_str(), i < files.size() ? files[i].toStdString() : std::string());
}

QString CMOXELDoc::decodeText(const QByteArray& bytes)
{
    const QString text = QString::fromUtf8(bytes);
    return text.contains(QChar::ReplacementCharacter) ? QString::fromLatin1(bytes) : text;
}

QString CMOXELDoc::cutDoubledExtension(const QString& path)
{
    const QString doubled = QStringLiteral(".mxl.mxl");
    if (path.endsWith(doubled, Qt::CaseInsensitive))
        return path.left(path.size() - 4);
    return path;
}

// ---- the file commands of the main frame ----

bool CMainFrame::maybeSave()
{
    if (!doc->isModified())
        return true;
    const QMessageBox::StandardButton answer =
        QMessageBox::question(this, QStringLiteral("MOXEL"), QStringLiteral("Save changes to %1?").arg(doc->displayName()),
                              QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel, QMessageBox::Yes);
    if (answer == QMessageBox::Yes)
        return fileSave();
    return answer == QMessageBox::No;
}

bool CMainFrame::openDocument(const QString& path)
{
    if (runPending)
        return false;
    releaseResults();
    QString message;
    if (!doc->open(path, &message)) {
        showError(message);
        return false;
    }
    refreshMenus();
    return true;
}

void CMainFrame::fileNew()
{
    if (runPending || !maybeSave())
        return;
    releaseResults();
    doc->newDocument(true);
    refreshMenus();
}

void CMainFrame::fileOpen()
{
    if (runPending || !maybeSave())
        return;
    const QString folder = doc->path().isEmpty() ? QDir::currentPath() : QFileInfo(doc->path()).absolutePath();
    const QString path = QFileDialog::getOpenFileName(this, QStringLiteral("Open"), folder,
                                                      QStringLiteral("%1;;All Files (*)").arg(QLatin1String(DOCUMENT_FILTER)));
    if (!path.isEmpty())
        openDocument(path);
}

bool CMainFrame::fileSave()
{
    if (active == VIEW_ANALYSIS)
        return true;
    if (doc->path().isEmpty())
        return fileSaveAs();
    QString message;
    if (!doc->saveAs(doc->path(), &message)) {
        showError(message);
        return false;
    }
    return true;
}

bool CMainFrame::fileSaveAs()
{
    if (active == VIEW_ANALYSIS) {
        saveListingAs();
        return true;
    }
    QFileDialog dialog(this, QStringLiteral("Save As"));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setNameFilter(QLatin1String(DOCUMENT_FILTER));
    dialog.setDefaultSuffix(QStringLiteral("mxl"));
    dialog.selectFile(doc->path().isEmpty() ? QStringLiteral("Untitled.mxl") : doc->path());
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return false;
    QString message;
    if (!doc->saveAs(dialog.selectedFiles().first(), &message)) {
        showError(message);
        return false;
    }
    return true;
}

void CMainFrame::saveListingAs()
{
    const QString current = listing->listingPath();
    if (current.isEmpty())
        return;
    const QFileInfo info(current);
    QFileDialog dialog(this, QStringLiteral("Select analysis file name"), info.absolutePath());
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix(QStringLiteral("lst"));
    dialog.selectFile(info.completeBaseName());
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return;
    QString message;
    if (!listing->copyListing(dialog.selectedFiles().first(), &message))
        showError(message);
}

bool CMainFrame::insertFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const qint64 existing = editor->document()->characterCount();
    if (existing + file.size() + 1 > INSERT_FILE_MAX)
        return false;
    const QByteArray bytes = file.readAll();
    QTextCursor cursor = editor->textCursor();
    const int start = cursor.selectionStart();
    const int end = cursor.selectionEnd();
    QTextCursor insert(editor->document());
    insert.setPosition(start);
    insert.insertText(CMOXELDoc::decodeText(bytes));
    cursor.setPosition(start);
    cursor.setPosition(end, QTextCursor::KeepAnchor);
    editor->setTextCursor(cursor);
    editor->ensureCursorVisible();
    editor->document()->setModified(true);
    return true;
}

void CMainFrame::insertFileCommand()
{
    const QString path = QFileDialog::getOpenFileName(this, QStringLiteral("Insert file"), QDir::currentPath(),
                                                      QStringLiteral("All Files (*)"));
    if (!path.isEmpty())
        insertFile(path);
}
