// The document: the editor's text is the program; files are read whole and written
// through QSaveFile, so a failed save never damages the file on disk.
#include "app/document.h"

#include <QFile>
#include <QFileInfo>
#include <QPlainTextEdit>
#include <QSaveFile>

#include "plot/settings.h"

namespace {

const char UNTITLED[] = "Untitled";
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

void CMOXELDoc::newDocument()
{
    editor->clear();
    editor->document()->setModified(false);
    filePath.clear();
    emit pathChanged();
}

bool CMOXELDoc::open(const QString& path, QString* message)
{
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
